// The seam's count of file-system calls. One thread removes files, so a
// plain counter does.
#include "os.h"

namespace {
std::uint64_t g_calls = 0;
}  // namespace

std::uint64_t OsFileSystemCalls() { return g_calls; }
void OsCountFileSystemCall() { ++g_calls; }
