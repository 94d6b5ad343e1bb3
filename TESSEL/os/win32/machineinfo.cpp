// The machine's description over Win32: the version query, the screen, the
// memory status and the local name.
#include <windows.h>

#include <cstring>

#include "os.h"

int OsVersionQuery(OsVersionInfo* version) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 0;
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  version->platform = info.dwPlatformId;
  static_assert(sizeof version->servicePack == sizeof info.szCSDVersion);
  std::memcpy(version->servicePack, info.szCSDVersion, sizeof version->servicePack);
  version->servicePack[sizeof version->servicePack - 1] = '\0';
  return 1;
}

int OsScreenMeasures(std::int32_t* width, std::int32_t* height, std::int32_t* bitsPerPixel) {
  *width = *height = *bitsPerPixel = 0;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return 0;
  *width = GetDeviceCaps(screen, HORZRES);
  *height = GetDeviceCaps(screen, VERTRES);
  *bitsPerPixel = GetDeviceCaps(screen, BITSPIXEL);
  ReleaseDC(nullptr, screen);
  return 1;
}

int OsMemoryTotals(std::uint64_t* physical, std::uint64_t* pagingFile) {
  MEMORYSTATUS status = {};
  status.dwLength = sizeof status;
  GlobalMemoryStatus(&status);
  *physical = status.dwTotalPhys;
  *pagingFile = status.dwTotalPageFile;
  return 1;
}
