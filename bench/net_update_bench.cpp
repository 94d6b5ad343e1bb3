// Benchmark of the update's download: UpdateDownload of a signed installer
// into the product's folder, hashed as it arrives and verified at the end,
// then the verification alone.
//
//   net_update_bench URL FOLDER KEY SIGNATURE ENTRY VERSION [RUNS]
// FOLDER is the product's folder (a Windows path ending in '\'), KEY the
// maker's public key as 130 hex digits, SIGNATURE the entry's '5' record
// text; a KEY of "-" downloads as a product without a key (no hash, no
// verification). Prints one line per run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "update/update.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Hex(const char* text, unsigned char* out, std::size_t count) {
  if (std::strlen(text) != 2 * count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
    out[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: net_update_bench URL FOLDER KEY SIGNATURE ENTRY VERSION [RUNS]\n");
    return 64;
  }
  int runs = argc > 7 ? std::atoi(argv[7]) : 1;
  unsigned char key[65];
  bool keyed = std::strcmp(argv[3], "-") != 0;
  if (keyed && !Hex(argv[3], key, sizeof key)) {
    std::fprintf(stderr, "net_update_bench: the key is 130 hex digits\n");
    return 64;
  }
  MemoryInit(kHeapNoLimit, 0);
  SocketStartup();
  static InstallSettings settings;
  StrCopyBounded(settings.InstallPath, argv[2]);
  OsCreateFolder(argv[2]);
  UpdateEntry entry;
  StrCopyBounded(entry.key, argv[5]);
  StrCopyBounded(entry.versionText, argv[6]);
  StrCopyBounded(entry.signature, argv[4]);
  entry.signatures = 1;
  UpdateUseKey(keyed ? key : nullptr);
  UpdateUseEntry(entry);
  char* buffer = static_cast<char*>(MemoryAlloc(kUpdateBufferSize, "net_update_bench", __LINE__));
  int failed = 0;
  for (int run = 0; run < runs && !failed; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (!UpdateDownload(&settings, argv[1], 0, buffer, kUpdateBufferSize)) {
      std::fprintf(stderr, "net_update_bench: the download failed (refusal %d)\n", UpdateRefusal());
      failed = 1;
      break;
    }
    double seconds = Seconds(start);
    OsHeldClose(UpdateHeldInstaller());
    // The verification alone, on the saved file's hash (not timed).
    static char piece[1 << 20];
    unsigned char hash[32] = {};
    long long bytes = 0;
    OsHashState state;
    OsHashBegin(&state);
    if (std::FILE* file = OsOpenFile(UpdateSavePath(), "rb")) {
      for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, file)) > 0; bytes += static_cast<long long>(n))
        OsHashData(&state, piece, static_cast<std::uint32_t>(n));
      std::fclose(file);
    }
    OsHashEnd(&state, hash);
    auto verifyStart = std::chrono::steady_clock::now();
    if (keyed && !UpdateVerifyEntry(key, entry, hash)) failed = 1;
    double verify = Seconds(verifyStart);
    std::printf("net_update_bench bytes=%lld seconds=%.6f MB/s=%.1f verify_ms=%.3f\n", bytes, seconds,
                bytes / seconds / 1e6, verify * 1000);
    OsDeleteFile(UpdateSavePath());
  }
  MemoryFree(&buffer, kUpdateBufferSize, "net_update_bench", __LINE__);
  SocketCleanup();
  return failed;
}
