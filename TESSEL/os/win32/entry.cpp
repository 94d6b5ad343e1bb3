// The windowed program's entry on Win32.
#include <windows.h>

#include "os.h"

int AppMain(const char* arguments, OsHandle instance);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
  return AppMain(arguments, reinterpret_cast<OsHandle>(instance));
}
