// The machine's description on the host: what the host really has. The
// host is no Windows: its version query fails (the profile says
// "Unknown"); the screen is the dialog model's desktop.
#include <netinet/in.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstring>

#include "os.h"

int OsVersionQuery(OsVersionInfo* version) {
  std::memset(version, 0, sizeof *version);
  return 0;
}

int OsScreenMeasures(std::int32_t* width, std::int32_t* height, std::int32_t* bitsPerPixel) {
  OsRect desktop = {};
  OsWindowRect(OsDesktopWindow(), &desktop);
  *width = desktop.right - desktop.left;
  *height = desktop.bottom - desktop.top;
  *bitsPerPixel = 24;  // the model draws in true colour, as the test displays do
  return 1;
}

int OsMemoryTotals(std::uint64_t* physical, std::uint64_t* pagingFile) {
  struct sysinfo info = {};
  if (sysinfo(&info) != 0) {
    *physical = *pagingFile = 0;
    return 0;
  }
  std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
  *physical = static_cast<std::uint64_t>(info.totalram) * unit;
  // What Windows calls the paging file's total is its commit limit: the
  // memory and the swap together.
  *pagingFile = (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit;
  return 1;
}
