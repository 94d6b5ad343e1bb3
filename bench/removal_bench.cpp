// Benchmark of the file removal: n product files deleted one by one, each
// followed by the climb over the folders it may have emptied, against a
// bare delete loop over the same tree.
//
//   removal_bench FOLDER FILES FOLDERS
// FOLDER is a Windows path of a scratch folder; the tree is made there, the
// removal timed, the tree made again and the bare loop timed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os.h"
#include "removal.h"
#include "tessel-core.h"

#if !defined(_WIN32)
namespace host {
void SetCommandLine(int argc, char** argv);
}
#endif

namespace {

std::vector<std::string> MakeTree(const std::string& base, int files, int folders) {
  OsCreateFolder(base.c_str());
  std::vector<std::string> paths;
  for (int f = 0; f < folders; ++f) OsCreateFolder((base + "\\d" + std::to_string(f)).c_str());
  for (int i = 0; i < files; ++i) {
    // Folder by folder, as a product's file list runs.
    int folder = static_cast<int>(static_cast<long long>(i) * folders / files);
    std::string path = base + "\\d" + std::to_string(folder) + "\\file" + std::to_string(i) + ".dat";
    std::FILE* file = OsOpenFile(path.c_str(), "wb");
    if (file) {
      std::fputs("x", file);
      std::fclose(file);
    }
    paths.push_back(path);
  }
  return paths;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  host::SetCommandLine(argc, argv);
#endif
  if (argc < 4) {
    std::fprintf(stderr, "usage: removal_bench FOLDER FILES FOLDERS\n");
    return 64;
  }
  std::string base = argv[1];
  int files = std::atoi(argv[2]);
  int folders = std::atoi(argv[3]);
  LogInit("debug.log", std::getenv("BENCH_LOG") ? LogFile : 0);  // the log off, as in a normal run
  MemoryInit(kHeapNoLimit, 0);

  // The keeper file keeps the scratch folder itself, as a product's parent
  // folder ("Program Files") is kept.
  std::string scratch = base + "\\tree";
  OsCreateFolder(base.c_str());
  std::FILE* keeper = OsOpenFile((base + "\\keep").c_str(), "wb");
  if (keeper) std::fclose(keeper);

  // A small untimed removal first: it pays the one-time start-up costs (the
  // shell's programs folder, looked up before the first folder goes), which
  // the program has paid already at its first shortcut command.
  std::vector<std::string> first = MakeTree(scratch, 4, 2);
  RemovalUseProductFolder(scratch.c_str());
  RemovalBatchBegin();
  for (const std::string& path : first) DeleteProductFile(path.c_str());
  RemovalBatchEnd();

  std::vector<std::string> paths = MakeTree(scratch, files, folders);
  auto start = std::chrono::steady_clock::now();
  RemovalUseProductFolder(scratch.c_str());
  RemovalBatchBegin();
  for (const std::string& path : paths) DeleteProductFile(path.c_str());
  RemovalBatchEnd();
  double removal = Seconds(start);
  bool gone = !OsFileExists(scratch.c_str());

  paths = MakeTree(scratch, files, folders);
  start = std::chrono::steady_clock::now();
  for (const std::string& path : paths) OsDeleteFile(path.c_str());
  for (int f = 0; f < folders; ++f) OsRemoveFolder((scratch + "\\d" + std::to_string(f)).c_str());
  OsRemoveFolder(scratch.c_str());
  double bare = Seconds(start);

  std::printf("files=%d folders=%d removal=%.3fs bare=%.3fs ratio=%.2f tree-removed=%s\n", files, folders, removal,
              bare, bare > 0 ? removal / bare : 0.0, gone ? "yes" : "NO");
  OsDeleteFile((base + "\\keep").c_str());
  OsRemoveFolder(base.c_str());
  MemoryRemove();
  return gone ? 0 : 1;
}
