// A program that raises a fatal report, for the whole-program tests: a null
// pointer check after the log has started with the program's own switches.
#include "os.h"
#include "tessel-core.h"

#if defined(_WIN32)
#include <windows.h>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
#else
namespace host {
void SetCommandLine(int argc, char** argv);
}
int main(int argc, char** argv) {
  host::SetCommandLine(argc, argv);
  const char* tail = FindArgument(OsCommandLine(), 1, nullptr);
  const char* arguments = tail ? tail : "";
#endif
  std::uint32_t flags = 0;
  LogParseSwitches(&flags, arguments);
  LogInit("debug.log", flags);
  LogPrint("fatalprobe running\n");
  SetErrorLocation("fatalprobe", 42);
  CheckPointer(nullptr);
  LogPrint("not reached\n");
  return 0;
}
