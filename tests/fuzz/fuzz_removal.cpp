// Fuzz target: a script run in the uninstall mode, answered Yes, against a
// throw-away host machine holding the installed product and the files of
// others around it. After each run nothing may be gone but the product's
// own files (below its folder), the folders they left empty, the shortcuts
// below the programs folder, and what the script's path variables name;
// never a protected folder, the machine's own files or anything outside
// the machine root. Links are planted too, inside the product and out, to
// the user's files, the system folder and beyond the root, with a second
// drive letter for C: and shell folders that are one folder under two
// names: a link may go as a link, but what it leads to is never touched.
// Files outside the product are shared: one with a usage count of one may
// go, one counted twice stays (its count lowered once), one the system
// protects stays whatever its count, and one without a count stays.
// Anything else gone aborts the run. The machine is a temporary folder of
// the target's own, removed when it ends.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/machine.h"
#include "os.h"
#include "paths.h"
#include "held.h"
#include "scriptrun.h"
#include "shared.h"
#include "shortcuts.h"

namespace {

const std::string kProduct = "C:\\Program Files\\Acme Viewer";
const std::string kStartFolder = "C:\\Work\\";

std::string Profile() {
  const char* user = std::getenv("USER");
  return "C:\\users\\" + std::string(user && *user ? user : "user");
}
std::string ProgramsFolder() {
  char folder[260] = {};
  OsProgramsFolder(folder, sizeof folder);
  return folder;
}

// The files laid out before each run: the product's, and others' in the
// places an uninstall must leave alone.
std::vector<std::string> Files() {
  std::string profile = Profile();
  return {kProduct + "\\bin\\viewer.exe",
          kProduct + "\\bin\\plugins\\jpeg.vpl",
          kProduct + "\\help\\viewer.chm",
          kProduct + "\\readme.txt",
          kProduct + "\\license.txt",
          kProduct + "\\install.log",
          kProduct + "\\Uninstall.exe",
          "C:\\Program Files\\Other Product\\other.exe",
          "C:\\Program Files\\Common Files\\Acme\\acmeshell.dll",
          "C:\\readme.txt",
          "C:\\license.txt",
          "C:\\Work\\report.doc",
          "C:\\Work\\bin\\viewer.exe",
          "C:\\windows\\system32\\kernel32.dll",
          "C:\\windows\\win.ini",
          profile + "\\Documents\\letter.txt",
          profile + "\\Desktop\\notes.txt",
          profile + "\\AppData\\Local\\cache.dat",
          profile + "\\Temp\\others.tmp",
          ProgramsFolder() + "\\Acme\\Viewer\\Acme Viewer.lnk",
          ProgramsFolder() + "\\Other\\Other.lnk"};
}

// Folders that never go, even when emptied.
std::vector<std::string> Protected() {
  std::string profile = Profile();
  return {"C:\\",
          "C:\\windows",
          "C:\\windows\\system32",
          "C:\\Program Files",
          "C:\\Program Files\\Common Files",
          "C:\\users",
          profile,
          profile + "\\Temp",
          profile + "\\Documents",
          profile + "\\Desktop",
          profile + "\\Music",
          profile + "\\AppData",
          profile + "\\AppData\\Local",
          profile + "\\AppData\\Roaming",
          profile + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
          ProgramsFolder()};
}

// Files of others outside the machine root, beside it.
std::string Outside() { return host::MachineRoot() + "-outside"; }
std::vector<std::string> OutsideFiles() { return {Outside() + "/viewer.exe", Outside() + "/data/keep.txt"}; }

void MakeFile(const std::string& path) {
  if (OsFileExists(path.c_str())) return;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\' && i > 2) OsCreateFolder(path.substr(0, i).c_str());
  }
  std::FILE* file = OsOpenFile(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "fuzz_removal: cannot lay out %s\n", path.c_str());
    std::abort();
  }
  std::fputs("not to be removed lightly", file);
  std::fclose(file);
}

void SetString(std::uint32_t root, const char* key, const char* name, const std::string& value) {
  OsKey handle = 0;
  if (OsRegCreateKey(root, key, &handle) != kErrorSuccess) return;
  OsRegSetValue(handle, name, kRegSz, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
  OsRegCloseKey(handle);
}

void SetCount(const std::string& path, std::uint32_t count) {
  OsKey handle = 0;
  if (OsRegCreateKey(kHkeyLocalMachine, kSharedDllsKey, &handle) != kErrorSuccess) return;
  unsigned char data[4] = {static_cast<unsigned char>(count), 0, 0, 0};
  OsRegSetValue(handle, path.c_str(), kRegDword, data, sizeof data);
  OsRegCloseKey(handle);
}

// Shared files and their usage counts: the component of the product's
// maker, used by it alone; the Windows folder's win.ini, used by two; the
// system's kernel32.dll, counted once but protected by the system.
const std::string kLastUse = "C:\\Program Files\\Common Files\\Acme\\acmeshell.dll";
const std::string kTwoUses = "C:\\windows\\win.ini";
const std::string kGuarded = "C:\\windows\\system32\\kernel32.dll";

// Links on the machine: (where, what it leads to) as host paths, and
// whether it lies inside the product, so that it may go as a link.
struct Link {
  std::string at;
  std::string to;
  bool inProduct;
};
std::vector<Link> Links() {
  auto host = [](const std::string& path) { return host::HostPath(path.c_str()); };
  std::string profile = Profile();
  return {{host(kProduct + "\\docs"), host("C:\\Work\\shared"), true},
          {host(kProduct + "\\notes.txt"), host(profile + "\\Documents\\letter.txt"), true},
          {host(kProduct + "\\bin\\ext"), Outside() + "/data", true},
          {host(kProduct + "\\help\\system"), host("C:\\windows\\system32"), true},
          {host("C:\\Work\\sys"), host("C:\\windows\\system32"), false},
          {host(profile + "\\Music"), host(profile + "\\Documents"), false},
          {host::MachineRoot() + "/drive_d", host::MachineRoot() + "/drive_c", false}};
}
// What the links lead to, each of which must stay as it is unless a path
// variable names it by its own name (a product may list "$2x.dll"): as
// Windows paths, and beyond the machine root as host paths.
std::vector<std::string> LinkTargets() {
  return {"C:\\Work\\shared\\manual.txt", Profile() + "\\Documents\\letter.txt", "C:\\windows\\system32\\kernel32.dll"};
}
std::vector<std::string> OutsideTargets() { return {Outside() + "/data/keep.txt"}; }

bool IsLink(const std::string& hostPath) {
  struct stat info;
  return lstat(hostPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

void PlantLinks() {
  MakeFile("C:\\Work\\shared\\manual.txt");
  for (const Link& link : Links()) {
    if (IsLink(link.at)) continue;
    if (symlink(link.to.c_str(), link.at.c_str()) != 0) {
      std::fprintf(stderr, "fuzz_removal: cannot plant the link %s\n", link.at.c_str());
      std::abort();
    }
  }
}

bool MayGo(const std::string& path, const std::vector<std::string>& targets);

void CheckLinks(const std::vector<std::string>& targets) {
  std::vector<std::string> kept = OutsideTargets();
  for (const std::string& target : LinkTargets())
    if (!MayGo(host::CanonicalText(target.c_str()), targets)) kept.push_back(host::HostPath(target.c_str()));
  for (const std::string& target : kept) {
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) continue;
    std::fprintf(stderr, "fuzz_removal: the target %s of a link was touched\n", target.c_str());
    std::abort();
  }
  for (const Link& link : Links()) {
    if (link.inProduct || IsLink(link.at)) continue;
    std::fprintf(stderr, "fuzz_removal: the link %s went\n", link.at.c_str());
    std::abort();
  }
}

void LayOut() {
  for (const std::string& file : Files()) MakeFile(file);
  PlantLinks();
  host::MakeFolders(Outside() + "/data");
  for (const std::string& file : OutsideFiles()) {
    if (access(file.c_str(), F_OK) == 0) continue;
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) close(fd);
  }
  SetString(kHkeyCurrentUser, "Software\\Acme\\Viewer", "Install Path", kProduct + "\\");
  // Products recorded by another name: the second drive letter, and a
  // folder link to the system folder.
  SetString(kHkeyCurrentUser, "Software\\Acme\\Alias", "Install Path", "D:\\Program Files\\Acme Viewer\\");
  SetString(kHkeyCurrentUser, "Software\\Acme\\Linked", "Install Path", "C:\\Work\\sys\\");
  SetString(kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Acme Viewer", "DisplayName",
            "Acme Viewer");
  SetCount(kLastUse, 1);
  SetCount(kTwoUses, 2);
  SetCount(kGuarded, 1);
  // The program's current folder, without moving the process's own (the
  // fuzzer reads its corpus by relative paths).
  host::CurrentFolder() = kStartFolder;
}

// What the script's path variables name: every "$<digit>" text up to the
// end of its argument, expanded as the program expands it.
std::vector<std::string> VariableTargets(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> targets;
  InstallSettings settings = {};
  for (std::size_t i = 0; i + 1 < size; ++i) {
    if (data[i] != '$' || data[i + 1] < '0' || data[i + 1] > '5') continue;
    std::string text;
    for (std::size_t j = i; j < size && data[j] >= 0x20 && data[j] != ',' && data[j] != '|'; ++j)
      text += static_cast<char>(data[j]);
    char path[kPathQueryCapacity] = {};
    std::uint32_t flags = 0;
    if (text.size() < 1000 && ExpandPath(&settings, text.c_str(), path, sizeof path, &flags))
      targets.push_back(host::CanonicalText(path));
  }
  return targets;
}

bool Below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '\\';
}

bool MayGo(const std::string& path, const std::vector<std::string>& targets) {
  for (const std::string& folder : Protected())
    if (host::CanonicalText(folder.c_str()) == path) return false;
  if (path == kProduct || Below(path, kProduct) || Below(path, ProgramsFolder())) return true;
  // Outside the product only the file whose last use was the product's,
  // and the folder it leaves empty, when the script names it.
  for (const std::string& target : targets) {
    if (target != host::CanonicalText(kLastUse.c_str())) continue;
    if (path == target || Below(target, path)) return true;
  }
  return false;
}

// The counted files after a run: win.ini was lowered once at most, the
// protected file and its count are as they were.
void CheckCounts() {
  OsKey key = 0;
  std::uint32_t twoUses = 0;
  std::uint32_t guarded = 0;
  if (OsRegOpenKey(kHkeyLocalMachine, kSharedDllsKey, &key) == kErrorSuccess) {
    for (std::uint32_t index = 0;; ++index) {
      char name[512];
      std::uint32_t nameLength = sizeof name;
      std::uint32_t type = 0;
      unsigned char data[4] = {};
      std::uint32_t dataLength = sizeof data;
      if (OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength) == kErrorNoMoreItems) break;
      if (kTwoUses == name) twoUses = data[0];
      if (kGuarded == name) guarded = data[0];
    }
    OsRegCloseKey(key);
  }
  if (twoUses < 1 || guarded != 1) {
    std::fprintf(stderr, "fuzz_removal: a usage count went wrong (win.ini %u, kernel32.dll %u)\n", twoUses, guarded);
    std::abort();
  }
}

void Check(const std::uint8_t* data, std::size_t size) {
  // "$5" names the current folder, which the removal's folder climb moves
  // to the drive's root: an entry may have meant either.
  std::string current = host::CurrentFolder();
  host::CurrentFolder() = kStartFolder;
  std::vector<std::string> targets = VariableTargets(data, size);
  host::CurrentFolder() = "C:\\";
  for (const std::string& target : VariableTargets(data, size)) targets.push_back(target);
  host::CurrentFolder() = current;
  std::vector<std::string> paths = Files();
  for (const std::string& file : Files()) {
    for (std::size_t i = file.find('\\', 3); i != std::string::npos; i = file.find('\\', i + 1))
      paths.push_back(file.substr(0, i));
  }
  for (const std::string& folder : Protected()) paths.push_back(folder);
  for (const std::string& path : paths) {
    if (OsFileExists(path.c_str()) || MayGo(host::CanonicalText(path.c_str()), targets)) continue;
    std::fprintf(stderr, "fuzz_removal: the uninstall removed '%s'\n", path.c_str());
    std::abort();
  }
  for (const std::string& file : OutsideFiles()) {
    if (access(file.c_str(), F_OK) == 0) continue;
    std::fprintf(stderr, "fuzz_removal: the uninstall removed %s outside the machine root\n", file.c_str());
    std::abort();
  }
  CheckLinks(targets);
  CheckCounts();
  if (access((host::MachineRoot() + "/registry.txt").c_str(), F_OK) != 0) {
    std::fprintf(stderr, "fuzz_removal: the machine's registry file went\n");
    std::abort();
  }
}

// Every question is answered Yes: standard input is a pipe that a thread
// keeps full of "y" lines. The boxes' texts go nowhere.
void AnswerYes() {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  dup2(fds[0], 0);
  close(fds[0]);
  int writer = fds[1];
  std::thread([writer] {
    for (;;)
      if (write(writer, "y\ny\ny\ny\n", 8) < 0) return;
  }).detach();
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, 1);
}

// The target's own machine, a fresh temporary folder: never the user's.
std::string g_machine;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveMachine() {
  if (!g_machine.empty()) nftw(g_machine.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void UseOwnMachine() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz_removal-XXXXXX";
  std::vector<char> folder(pattern.begin(), pattern.end());
  folder.push_back('\0');
  if (mkdtemp(folder.data()) == nullptr) std::abort();
  g_machine = folder.data();
  setenv("TESSEL_MACHINE", (g_machine + "/machine").c_str(), 1);
  std::atexit(RemoveMachine);
  // The system's catalogue of files it protects.
  host::MakeFolders(g_machine + "/machine");
  std::FILE* list = std::fopen((g_machine + "/machine/protected-files.txt").c_str(), "w");
  if (list == nullptr) std::abort();
  std::fprintf(list, "%s\n", kGuarded.c_str());
  std::fclose(list);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UseOwnMachine();
  FuzzRuntimeInit();
  AnswerYes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  LayOut();
  ShortcutsInit();
  // What the program forgets when it unloads a script: a component held
  // for a Yes that never came, and what the last run decided.
  HeldActionsDiscard();
  SharedFilesReset();
  FuzzRunScript(data, size, RunModeUninstall);
  Check(data, size);
  return 0;
}
