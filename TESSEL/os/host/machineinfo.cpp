// The machine's description on the host: what the host really has. The
// host is no Windows: its version query fails (the profile says
// "Unknown"); the screen is the dialog model's desktop.
#include <ifaddrs.h>
#include <net/if.h>
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

// The host's name and the first address of an interface that is up and
// not the loopback; nothing is looked up on the network.
int OsLocalHost(char* name, std::uint32_t capacity, unsigned char address[4]) {
  std::memset(address, 0, 4);
  if (capacity == 0) return 0;
  name[0] = '\0';
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return 0;
  std::strncpy(name, host, capacity - 1);
  name[capacity - 1] = '\0';
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* a = list; a; a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
      if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      std::memcpy(address, &in->sin_addr.s_addr, 4);
      break;
    }
    freeifaddrs(list);
  }
  return 1;
}
