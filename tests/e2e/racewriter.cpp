// A writer of the same user that replaces a file as soon as it can open it:
// "racewriter TARGET REPLACEMENT STOPFILE" tries, again and again until
// STOPFILE exists, to open TARGET for writing (sharing everything) and
// write REPLACEMENT's bytes over it, and to rename a copy of REPLACEMENT
// over it. It prints how often each succeeded.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<char> ReadAll(const char* path) {
  std::vector<char> bytes;
  if (std::FILE* file = std::fopen(path, "rb")) {
    char block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
      bytes.insert(bytes.end(), block, block + n);
    std::fclose(file);
  }
  return bytes;
}

bool WriteOver(const char* target, const std::vector<char>& bytes) {
  HANDLE file = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && SetEndOfFile(file);
  CloseHandle(file);
  return done;
}

bool RenameOver(const char* target, const char* replacement) {
  std::string copy = std::string(target) + ".racer";
  if (!CopyFileA(replacement, copy.c_str(), FALSE)) return false;
  if (MoveFileExA(copy.c_str(), target, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileA(copy.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: racewriter TARGET REPLACEMENT STOPFILE\n");
    return 2;
  }
  const std::vector<char> bytes = ReadAll(argv[2]);
  if (bytes.empty()) {
    std::fprintf(stderr, "racewriter: cannot read %s\n", argv[2]);
    return 2;
  }
  long written = 0, renamed = 0, tries = 0;
  while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES) {
    if (GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES) {
      ++tries;
      if (WriteOver(argv[1], bytes)) ++written;
      if (RenameOver(argv[1], argv[2])) ++renamed;
    }
    Sleep(0);
  }
  std::printf("tries %ld written %ld renamed %ld\n", tries, written, renamed);
  return 0;
}
