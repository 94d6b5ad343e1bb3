// Fuzz target: what an update server sends. The input is read as a
// version-list reply (its body found, the entry searched, the box that
// follows shown to no one) and, cut into pieces of a size its first byte
// chooses, as the reply to a download. The download must never keep a byte
// that a usable 200 reply did not frame, nor more than its bound.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "settings.h"
#include "tessel-core.h"
#include "update/update.h"

namespace {

struct Kept {
  bool started = false;
  std::int64_t expected = 0;
  std::string body;
};

std::int32_t Start(void* context, std::int64_t expected) {
  static_cast<Kept*>(context)->started = true;
  static_cast<Kept*>(context)->expected = expected;
  return 1;
}

std::int32_t Write(void* context, const char* data, std::int32_t count) {
  Kept* kept = static_cast<Kept*>(context);
  if (!kept->started) __builtin_trap();
  kept->body.append(data, static_cast<std::size_t>(count));
  return 1;
}

void AsVersionList(const std::uint8_t* data, std::size_t size) {
  static char reply[1 << 16];
  std::memcpy(reply, data, size);
  reply[size] = '\0';
  std::int32_t body = 0;
  if (!UpdateReplyBody(reply, static_cast<std::int32_t>(size), &body)) return;
  if (body < 0 || static_cast<std::size_t>(body) > size) __builtin_trap();
  static InstallSettings settings;
  std::strcpy(settings.CompanyName, "Acme");
  std::strcpy(settings.ProductName, "Viewer");
  std::strcpy(settings.ProductVersion, "99999");  // never older: no offer, the "latest" box only
  UpdateParseReply(&settings, reply + body);
  UpdateEntry entry;
  if (UpdateFindEntry(&settings, reply + body, &entry)) {
    unsigned char key[65] = {0x04};
    unsigned char hash[32] = {};
    if (UpdateVerifyEntry(key, entry, hash)) __builtin_trap();
  }
}

void AsDownload(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  std::size_t piece = 1 + data[0];
  static char buffer[1024];
  DownloadReceiver receiver;
  receiver.buffer = buffer;
  receiver.size = sizeof buffer;
  receiver.limit = 4096;
  Kept kept;
  receiver.start = Start;
  receiver.write = Write;
  receiver.context = &kept;
  for (std::size_t at = 1; at < size && !DownloadHasAll(receiver);) {
    std::int32_t room = 0;
    char* slot = DownloadSlot(&receiver, &room);
    std::size_t count = std::min(piece, size - at);
    if (room <= 0) __builtin_trap();
    count = std::min(count, static_cast<std::size_t>(room));
    std::memcpy(slot, data + at, count);
    at += count;
    if (!DownloadPiece(&receiver, static_cast<std::int32_t>(count))) break;
  }
  if (receiver.received != static_cast<std::int64_t>(kept.body.size())) __builtin_trap();
  if (receiver.received > receiver.limit) __builtin_trap();
  if (DownloadComplete(receiver, true)) {
    if (!kept.started || receiver.head.status != 200 || !receiver.head.usable) __builtin_trap();
    if (receiver.head.hasLength && kept.body.size() != receiver.head.length) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogInit("debug.log", 0);
  MemoryInit(kHeapNoLimit, 0);
  // The boxes of the host build talk on standard input and output: no one
  // answers here.
  if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= 1 << 16) return 0;
  AsVersionList(data, size);
  AsDownload(data, size);
  return 0;
}
