// The download of the new installer: a new file under a temporary name
// beside the final one, hashed as it arrives; once complete it is held so
// that nobody can change it, hashed again through the hold, checked (the
// maker's signature, a program) and renamed to its name, and stays held
// until it has run.
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "internal.h"
#include "paths.h"
#include "progress.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"

using update::g_limits;
using update::g_update;
using update::kUnit;
using update::Refuse;

namespace {

// Hashes the pieces of a download on a thread of its own, so that the hash
// of one piece costs no time while the next one is received: one piece at
// a time, and a new one only when the one before has been hashed.
class PieceHasher {
 public:
  explicit PieceHasher(OsHashState* state) : state_(state), worker_([this] { Run(); }) {}
  ~PieceHasher() { Finish(); }
  // Hands over a piece that stays untouched until the next Submit returns.
  void Submit(const char* data, std::int32_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    count_ = count;
    busy_.notify_one();
  }
  // Waits for the last piece and ends the thread; whether every piece was
  // hashed.
  bool Finish() {
    if (worker_.joinable()) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return data_ == nullptr; });
        stop_ = true;
        busy_.notify_one();
      }
      worker_.join();
    }
    return good_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      busy_.wait(lock, [this] { return data_ != nullptr || stop_; });
      if (data_ == nullptr) return;
      lock.unlock();
      bool hashed = OsHashData(state_, data_, static_cast<std::uint32_t>(count_)) != 0;
      lock.lock();
      good_ = good_ && hashed;
      data_ = nullptr;
      idle_.notify_one();
    }
  }
  OsHashState* state_;
  std::mutex mutex_;
  std::condition_variable busy_, idle_;
  const char* data_ = nullptr;
  std::int32_t count_ = 0;
  bool stop_ = false;
  bool good_ = true;
  std::thread worker_;
};

// The download's file, hashed as it is written.
struct DownloadFile {
  char path[kUpdateField];
  OsHeldFile held;
  bool created;
  bool hashing;
  OsHashState hash;
  std::unique_ptr<PieceHasher> hasher;
};

void RefuseSaving(const char* format, const char* path) {
  char cause[256];
  StrFormatBounded(cause, sizeof cause, format, path, OsLastError());
  Refuse(kRefusedLocal, cause);
}

std::int32_t StartFile(void* context, std::int64_t) {
  DownloadFile* download = static_cast<DownloadFile*>(context);
  if (!OsHeldCreate(download->path, &download->held)) {
    LogPrint("Unable to open file '%s'\n", download->path);
    RefuseSaving("The update could not be saved as '%s' (0x%.8X)", download->path);
    return 0;
  }
  download->created = true;
  if (!OsHashBegin(&download->hash)) {
    LogPrint("Update signature could not be checked (no SHA-256)\n");
    Refuse(kRefusedLocal, "The update could not be checked (this system offers no SHA-256)");
    return 0;
  }
  download->hashing = true;
  download->hasher = std::make_unique<PieceHasher>(&download->hash);
  return 1;
}

std::int32_t WriteFile(void* context, const char* data, std::int32_t count) {
  DownloadFile* download = static_cast<DownloadFile*>(context);
  if (!OsHeldWrite(&download->held, data, static_cast<std::uint32_t>(count))) {
    LogPrint("Unable to write file '%s'\n", download->path);
    RefuseSaving("The update could not be written to '%s' (0x%.8X)", download->path);
    return 0;
  }
  download->hasher->Submit(data, count);
  return 1;
}

// The temporary name: the final one and a fresh number, so that an earlier
// file is never opened.
bool TemporaryName(const char* savePath, char* path, std::size_t capacity) {
  return StrFormatBounded(path, capacity, "%s.%08X.part", savePath, static_cast<unsigned>(OsFreshNumber())) != 0;
}

// The largest body the disk of the folder takes, less a margin.
std::int64_t DownloadLimit(const char* folder) {
  std::int64_t limit = g_limits.largest;
  std::uint64_t free = 0;
  if (OsFreeSpace(folder, &free)) {
    std::uint64_t room = free > g_limits.spaceMargin ? free - g_limits.spaceMargin : 0;
    if (room < static_cast<std::uint64_t>(limit)) limit = static_cast<std::int64_t>(room);
  }
  return limit;
}

// The SHA-256 of the held file, read through its hold into the buffer.
bool HashHeld(OsHeldFile* held, char* buffer, std::int32_t size, unsigned char digest[kUpdateHashSize]) {
  OsHashState state;
  if (!OsHashBegin(&state)) return false;
  for (std::uint64_t offset = 0;;) {
    std::int32_t read = OsHeldRead(held, offset, buffer, static_cast<std::uint32_t>(size));
    if (read == 0) return OsHashEnd(&state, digest) != 0;
    if (read < 0 || !OsHashData(&state, buffer, static_cast<std::uint32_t>(read))) {
      OsHashAbandon(&state);
      return false;
    }
    offset += static_cast<std::uint64_t>(read);
  }
}

// The complete download, held from here on: hashed through the hold (the
// same bytes as came, and for a keyed product the maker's), a program, and
// renamed to its name. 0 with the refusal recorded.
bool HoldAndCheck(DownloadFile* download, const unsigned char streamDigest[kUpdateHashSize], char* buffer,
                  std::int32_t size) {
  OsHeldFile* held = &download->held;
  unsigned char digest[kUpdateHashSize];
  if (!OsHeldSeal(held) || !HashHeld(held, buffer, size, digest) ||
      std::memcmp(digest, streamDigest, kUpdateHashSize) != 0) {
    LogPrint("Unable to hold the download unchanged '%s' (0x%.8X)\n", download->path, OsLastError());
    Refuse(kRefusedChanged, "The saved update was changed before it could be checked");
    return false;
  }
  if (g_update.hasKey && !UpdateVerifyEntry(g_update.key, g_update.entry, digest)) {
    Refuse(kRefusedSignature, "The update could not be verified as its maker's");
    return false;
  }
  // A text page saved under a program's name would be handed to whatever
  // opens such files, and may never end.
  if (!OsHeldIsProgram(held)) {
    LogPrint("Unable to run '%s': the download is no program\n", g_update.savePath);
    Refuse(kRefusedNoProgram, "The downloaded update is not a program");
    return false;
  }
  if (!OsHeldRename(held, g_update.savePath)) {
    LogPrint("Unable to put the download in place '%s' (0x%.8X)\n", g_update.savePath, OsLastError());
    RefuseSaving("The update could not be put in place as '%s' (0x%.8X)", g_update.savePath);
    return false;
  }
  return true;
}

}  // namespace

std::int32_t UpdateDownload(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                            std::int32_t size) {
  g_update.refusal = 0;
  g_update.cause[0] = '\0';
  OsHeldClose(&g_update.installer);
  char name[kUpdateField];
  bool plain = DownloadFileName(url, name, sizeof name) != 0;
  // A name that is no plain file name of the product's folder (a path, a
  // path variable, a device, nothing at all) is never opened: the list
  // comes from the network and the program may run with the rights to
  // write anywhere. The log shows where the name would have led.
  bool inside = plain && UpdateSavePathOf(settings, name, g_update.savePath, sizeof g_update.savePath);
  std::uint32_t flags = 0;
  if (!inside && !ExpandPath(settings, name, g_update.savePath, sizeof g_update.savePath, &flags))
    StrCopyBounded(g_update.savePath, name);
  LogPrint("Save to -> [%s]\n", g_update.savePath);
  if (!inside) {
    LogPrint("Unable to open file '%s'\n", g_update.savePath);
    RefuseSaving("The update server names an installer that cannot be saved in the product's folder ('%s')", url);
    return 0;
  }
  if (UpdateIsProductFile(settings, g_update.savePath)) {
    LogPrint("Unable to save over the product's own file '%s'\n", g_update.savePath);
    RefuseSaving("The update would be saved over the product's uninstaller or its log ('%s')", g_update.savePath);
    return 0;
  }
  DownloadFile download = {};
  if (!TemporaryName(g_update.savePath, download.path, sizeof download.path)) {
    LogPrint("Unable to open file '%s'\n", g_update.savePath);
    RefuseSaving("The update's name is too long to be saved ('%s')", g_update.savePath);
    return 0;
  }
  char folder[kUpdateField];
  if (!ExpandPath(settings, "", folder, &flags)) folder[0] = '\0';

  char agent[256];
  update::UserAgent("Quillon Update Download %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  // The first byte comes within the silence limit of the start: the
  // connection, a proxy's tunnel and the handshake included.
  std::uint64_t heard = OsTickCount();
  if (!HttpClientUntil(url, agent, "GET", 0, proxy, heard + g_limits.downloadSilence, &handle, buffer, size,
                       &headerLength))
    return 0;
  DownloadReceiver receiver;
  receiver.buffer = buffer;
  receiver.size = size;
  receiver.limit = DownloadLimit(folder);
  receiver.start = StartFile;
  receiver.write = WriteFile;
  receiver.context = &download;
  bool closed = false;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    // However slowly it comes, a download goes on while bytes come; only a
    // silence as long as the limit ends it.
    while (!DownloadHasAll(receiver)) {
      std::int32_t room = 0;
      std::int32_t count = 0;
      char* slot = DownloadSlot(&receiver, &room);
      std::int32_t outcome = HttpReceive(handle, slot, room, heard + g_limits.downloadSilence, &count);
      if (outcome == kHttpClosed) closed = true;
      if (outcome != kHttpReceived) break;
      if (count == 0) continue;
      heard = OsTickCount();
      if (!DownloadPiece(&receiver, count)) break;
    }
  }
  update::CloseConnection(&handle);
  if (receiver.tooLarge) Refuse(kRefusedLocal, "The update is larger than the product's disk can take");
  bool complete = DownloadComplete(receiver, closed) != 0 && g_update.refusal == 0;
  unsigned char streamDigest[kUpdateHashSize];
  bool piecesHashed = !download.hasher || download.hasher->Finish();
  bool hashed = download.hashing && OsHashEnd(&download.hash, streamDigest) && piecesHashed;
  if (complete && !hashed) {
    LogPrint("Update signature could not be checked for '%s'\n", g_update.savePath);
    Refuse(kRefusedLocal, "The update could not be checked (its hash could not be taken)");
  }
  if (complete && hashed && HoldAndCheck(&download, streamDigest, buffer, size)) {
    g_update.installer = download.held;
    return 1;
  }
  if (download.created && !OsHeldDelete(&download.held))
    LogPrint("Unable to delete file '%s' (0x%.8X)\n", download.path, OsLastError());
  return 0;
}
