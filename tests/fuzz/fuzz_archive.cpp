// Fuzz target: an executable file as the program finds it, read through
// the archive reader and, when it carries an archive, its script run in no
// mode (the property commands store, the action commands stay silent).
// The seed corpus has signed programs too: PE32 and PE32+ headers whose
// security directory names the certificate table after the archive, and
// one whose directory runs past the end of the file.
#include <cstdint>
#include <cstdio>
#include <string>

#include "ffs.h"
#include "keywords.h"
#include "os.h"
#include "script.h"
#include "tessel-core.h"

namespace {

const char* Path() {
  static std::string path;
  if (path.empty()) {
    char folder[260] = {};
    OsTempPath(folder, sizeof folder);
    path = std::string(folder) + "fuzz-archive.exe";
  }
  return path.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogInit("debug.log", 0);
  MemoryInit(kHeapNoLimit, 0);
  KeywordTableInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = OsOpenFile(Path(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  if (FfsInit(Path())) {
    InstallSettings* script = nullptr;
    if (ScriptLoad(&script, "install.dat", RunModeNone)) {
      ScriptRun(script, 0);
      ScriptUnload(&script);
    }
  }
  FfsRemove();
  return 0;
}
