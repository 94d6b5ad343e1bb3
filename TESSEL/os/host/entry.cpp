// The program's entry on the host: the process's arguments become a Windows
// command line, and the argument text is everything after the program path.
#include "os.h"
#include "tessel-core.h"

namespace host {
void SetCommandLine(int argc, char** argv);
}

int AppMain(const char* arguments, OsHandle instance);

int main(int argc, char** argv) {
  host::SetCommandLine(argc, argv);
  const char* tail = FindArgument(OsCommandLine(), 1, nullptr);
  return AppMain(tail ? tail : "", 0);
}
