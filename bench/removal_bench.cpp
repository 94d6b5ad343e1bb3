// Benchmark of the file removal: n product files deleted one by one, each
// followed by the climb over the folders it may have emptied, against a
// bare delete loop over the same tree, interleaved round by round so that
// the machine's other work weighs on both alike.
//
//   removal_bench FOLDER FILES FOLDERS [ROUNDS] [--caller-makes-trees]
// FOLDER is a Windows path of a scratch folder. Each round makes the tree
// and times the removal, makes it again and times the bare loop (every
// other round the bare loop first). Prints a line per run, then the best and
// the median of each, their ratios, and the seam's file-system calls per
// file of each (OsFileSystemCalls, the tree's making not counted).
// With --caller-makes-trees the program prints "make-tree FOLDER\tree" and
// reads a line from its input before each timed run: the caller makes the
// tree (d<folder>\file<n>.dat, as below) by faster means than Wine's own,
// which lists the whole folder for every new name.
#include <algorithm>
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

// The tree's paths; made here, or by the caller when byCaller.
std::vector<std::string> MakeTree(const std::string& base, int files, int folders, bool byCaller) {
  if (byCaller) {
    std::printf("make-tree %s\n", base.c_str());
    std::fflush(stdout);
    char answer[64];
    if (!std::fgets(answer, sizeof answer, stdin)) {
      std::fprintf(stderr, "removal_bench: no tree made\n");
      std::exit(1);
    }
  } else {
    OsCreateFolder(base.c_str());
    for (int f = 0; f < folders; ++f) OsCreateFolder((base + "\\d" + std::to_string(f)).c_str());
  }
  std::vector<std::string> paths;
  for (int i = 0; i < files; ++i) {
    // Folder by folder, as a product's file list runs.
    int folder = static_cast<int>(static_cast<long long>(i) * folders / files);
    std::string path = base + "\\d" + std::to_string(folder) + "\\file" + std::to_string(i) + ".dat";
    if (!byCaller) {
      std::FILE* file = OsOpenFile(path.c_str(), "wb");
      if (file) {
        std::fputs("x", file);
        std::fclose(file);
      }
    }
    paths.push_back(path);
  }
  return paths;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Run {
  double seconds;
  double callsPerFile;
};

// The program's removal of the tree, as an uninstall runs it.
Run Removal(const std::string& scratch, const std::vector<std::string>& paths, bool* gone) {
  std::uint64_t calls = OsFileSystemCalls();
  auto start = std::chrono::steady_clock::now();
  RemovalUseProductFolder(scratch.c_str());
  RemovalBatchBegin();
  for (const std::string& path : paths) DeleteProductFile(path.c_str());
  RemovalBatchEnd();
  Run run{Seconds(start), 0};
  run.callsPerFile = static_cast<double>(OsFileSystemCalls() - calls) / static_cast<double>(paths.size());
  *gone = !OsFileExists(scratch.c_str());
  return run;
}

// Each file by its path, then the folders, then the tree's own folder.
Run Bare(const std::string& scratch, const std::vector<std::string>& paths, int folders) {
  std::uint64_t calls = OsFileSystemCalls();
  auto start = std::chrono::steady_clock::now();
  for (const std::string& path : paths) OsDeleteFile(path.c_str());
  for (int f = 0; f < folders; ++f) OsRemoveFolder((scratch + "\\d" + std::to_string(f)).c_str());
  OsRemoveFolder(scratch.c_str());
  Run run{Seconds(start), 0};
  run.callsPerFile = static_cast<double>(OsFileSystemCalls() - calls) / static_cast<double>(paths.size());
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  host::SetCommandLine(argc, argv);
#endif
  bool callerMakesTrees = argc > 4 && std::string(argv[argc - 1]) == "--caller-makes-trees";
  if (callerMakesTrees) --argc;
  if (argc < 4) {
    std::fprintf(stderr, "usage: removal_bench FOLDER FILES FOLDERS [ROUNDS] [--caller-makes-trees]\n");
    return 64;
  }
  std::string base = argv[1];
  int files = std::atoi(argv[2]);
  int folders = std::atoi(argv[3]);
  int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  if (files < 1 || folders < 1 || rounds < 1) {
    std::fprintf(stderr, "removal_bench: FILES, FOLDERS and ROUNDS are at least 1\n");
    return 64;
  }
  LogInit("debug.log", std::getenv("BENCH_LOG") ? LogFile : 0);  // the log off, as in a normal run
  MemoryInit(kHeapNoLimit, 0);

  // The keeper file keeps the scratch folder itself, as a product's parent
  // folder ("Program Files") is kept.
  std::string scratch = base + "\\tree";
  OsCreateFolder(base.c_str());
  std::FILE* keeper = OsOpenFile((base + "\\keep").c_str(), "wb");
  if (keeper) std::fclose(keeper);

  // A small untimed removal first: it pays the one-time start-up costs (the
  // system's protected folders, learnt before the first folder goes), which
  // the program has paid already at its first shortcut command.
  bool gone = false;
  Removal(scratch, MakeTree(scratch, 4, 2, false), &gone);  // this small one the program makes itself

  std::vector<double> removal;
  std::vector<double> bare;
  double removalCalls = 0;
  double bareCalls = 0;
  bool allGone = gone;
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < 2; ++step) {
      std::vector<std::string> paths = MakeTree(scratch, files, folders, callerMakesTrees);
      if ((step == 0) == (round % 2 == 0)) {
        Run run = Removal(scratch, paths, &gone);
        allGone = allGone && gone;
        removal.push_back(run.seconds);
        removalCalls = run.callsPerFile;
        std::printf("round=%d removal=%.3fs calls/file=%.2f tree-removed=%s\n", round + 1, run.seconds,
                    run.callsPerFile, gone ? "yes" : "NO");
      } else {
        Run run = Bare(scratch, paths, folders);
        bare.push_back(run.seconds);
        bareCalls = run.callsPerFile;
        std::printf("round=%d bare=%.3fs calls/file=%.2f\n", round + 1, run.seconds, run.callsPerFile);
      }
      std::fflush(stdout);
    }
  }
  std::printf(
      "files=%d folders=%d rounds=%d removal-best=%.3fs removal-median=%.3fs bare-best=%.3fs "
      "bare-median=%.3fs ratio-best=%.2f ratio-median=%.2f removal-calls/file=%.2f bare-calls/file=%.2f "
      "tree-removed=%s\n",
      files, folders, rounds, Best(removal), Median(removal), Best(bare), Median(bare), Best(removal) / Best(bare),
      Median(removal) / Median(bare), removalCalls, bareCalls, allGone ? "yes" : "NO");
  OsDeleteFile((base + "\\keep").c_str());
  OsRemoveFolder(base.c_str());
  MemoryRemove();
  return allGone ? 0 : 1;
}
