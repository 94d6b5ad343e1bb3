// Benchmark of a download: one GET through HttpClient, the reply read with
// SocketReceive into a buffer of the update's size (1,024,000 bytes) until
// the server ends the connection.
//
//   net_bench URL [RUNS]
// Prints one line per run: the bytes received and the seconds taken.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "http.h"
#include "socket.h"
#include "tessel-core.h"

namespace {

constexpr std::int32_t kBufferSize = 1024000;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: net_bench URL [RUNS]\n");
    return 64;
  }
  int runs = argc > 2 ? std::atoi(argv[2]) : 1;
  MemoryInit(kHeapNoLimit, 0);
  SocketStartup();
  char* buffer = static_cast<char*>(MemoryAlloc(kBufferSize, "net_bench", __LINE__));
  int failed = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    SocketHandle* handle = nullptr;
    std::int32_t headerLength = 0;
    if (!HttpClient(argv[1], "Quillon Update Download Uninstall (www.quillon.example)", "GET", 0, 0, &handle, buffer,
                    kBufferSize, &headerLength) ||
        !SocketSendAll(handle, buffer, headerLength)) {
      std::fprintf(stderr, "net_bench: no request to %s\n", argv[1]);
      failed = 1;
      if (handle) SocketDelete(&handle);
      break;
    }
    long long total = 0;
    std::int32_t count = 0;
    long long receives = 0;
    while (SocketReceive(handle, buffer, kBufferSize, &count)) {
      total += count;
      ++receives;
    }
    double seconds = Seconds(start);
    SocketShutdown(handle);
    SocketClose(handle);
    SocketDelete(&handle);
    std::printf("net_bench bytes=%lld seconds=%.6f MB/s=%.1f receives=%lld\n", total, seconds, total / seconds / 1e6,
                receives);
  }
  MemoryFree(&buffer, kBufferSize, "net_bench", __LINE__);
  SocketCleanup();
  return failed;
}
