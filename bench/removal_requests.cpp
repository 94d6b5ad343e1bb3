// What one file's removal costs in Wine server requests, and why the
// program cannot do it in fewer. Times, per file, in one folder:
//   delete-file   DeleteFile by path: open with delete-on-close, close (2)
//   open-mark     open by name below the folder, mark, close (3)
//   program       open by name below the folder, ask its object name, mark,
//                 close (4): what the removal does
// interleaved over ROUNDS, and gives the median of each. With LINK (a link
// the caller made to TARGET, both Windows paths), it also shows what each
// way does to the target of a link found where a file is expected.
//
//   removal_requests FOLDER FILES ROUNDS [LINK TARGET]
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kSynchronous = 0x20;
constexpr ULONG kNonDirectory = 0x40;
constexpr ULONG kDeleteOnClose = 0x1000;
constexpr ULONG kBackupIntent = 0x4000;
constexpr ULONG kReparsePoint = 0x200000;

HANDLE OpenBelow(HANDLE folder, const std::wstring& name, ULONG extra) {
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE handle = nullptr;
  NTSTATUS status =
      NtCreateFile(&handle, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr, 0, kShareAll,
                   FILE_OPEN, kSynchronous | kNonDirectory | kBackupIntent | kReparsePoint | extra, nullptr, 0);
  return status == 0 ? handle : nullptr;
}

std::wstring ObjectName(HANDLE handle) {
  alignas(8) unsigned char buffer[4096];
  ULONG length = 0;
  if (NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(1), buffer, sizeof buffer, &length) != 0) return L"";
  UNICODE_STRING name;
  std::memcpy(&name, buffer, sizeof name);
  return std::wstring(name.Buffer, name.Length / sizeof(wchar_t));
}

bool Mark(HANDLE handle, BOOL remove) {
  FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(remove)};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

std::wstring Widen(const char* text) {
  wchar_t wide[MAX_PATH];
  return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH) > 0 ? wide : L"";
}

enum Way { kDeleteFile, kOpenMark, kProgram, kWays };
const char* const kNames[kWays] = {"delete-file", "open-mark", "program"};

// Makes the folder's files, removes them one way, gives seconds per file.
double Time(const std::wstring& folder, int files, Way way) {
  CreateDirectoryW(folder.c_str(), nullptr);
  std::vector<std::wstring> names;
  for (int i = 0; i < files; ++i) {
    names.push_back(L"file" + std::to_wstring(i) + L".dat");
    HANDLE file =
        CreateFileW((folder + L"\\" + names.back()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
  }
  HANDLE parent = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                              kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (const std::wstring& name : names) {
    if (way == kDeleteFile) {
      failed += DeleteFileW((folder + L"\\" + name).c_str()) ? 0 : 1;
      continue;
    }
    HANDLE file = OpenBelow(parent, name, 0);
    if (file == nullptr || (way == kProgram && ObjectName(file).empty())) {
      ++failed;
      if (file) CloseHandle(file);
      continue;
    }
    failed += Mark(file, TRUE) ? 0 : 1;
    CloseHandle(file);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CloseHandle(parent);
  RemoveDirectoryW(folder.c_str());
  if (failed) std::printf("%s: %d files not removed\n", kNames[way], failed);
  return seconds / files;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What each way does to the target of a link in place of a file.
void Links(const std::wstring& link, const std::wstring& target) {
  auto remake = [&] {
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
  };
  auto kept = [&] { return GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES; };
  std::size_t cut = link.rfind(L'\\');
  std::wstring folderText = link.substr(0, cut);
  std::wstring name = link.substr(cut + 1);
  HANDLE folder = CreateFileW(folderText.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  std::wstring folderName = ObjectName(folder);

  remake();
  DeleteFileW(link.c_str());
  std::printf("link: DeleteFile through the link: target %s\n", kept() ? "kept" : "deleted");

  // Delete-on-close, which would save the mark's request, cannot be taken
  // back once the check finds a link.
  remake();
  HANDLE file = OpenBelow(folder, name, kDeleteOnClose);
  bool entry = file && ObjectName(file) == folderName + L"\\" + name;
  bool withdrawn = file && Mark(file, FALSE);
  if (file) CloseHandle(file);
  std::printf("link: opened delete-on-close, its own entry %s, withdrawn %s: target %s\n", entry ? "yes" : "no",
              withdrawn ? "yes" : "no", kept() ? "kept" : "deleted");

  remake();
  file = OpenBelow(folder, name, 0);
  entry = file && ObjectName(file) == folderName + L"\\" + name;
  if (file && entry) Mark(file, TRUE);
  if (file) CloseHandle(file);
  std::printf("link: the program's way, its own entry %s: target %s\n", entry ? "yes" : "no",
              kept() ? "kept" : "deleted");
  CloseHandle(folder);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: removal_requests FOLDER FILES ROUNDS [LINK TARGET]\n");
    return 64;
  }
  std::wstring folder = Widen(argv[1]);
  int files = std::atoi(argv[2]);
  int rounds = std::atoi(argv[3]);
  if (folder.empty() || files < 1 || rounds < 1) {
    std::fprintf(stderr, "removal_requests: a folder, and FILES and ROUNDS of at least 1\n");
    return 64;
  }
  std::vector<double> times[kWays];
  for (int round = 0; round < rounds; ++round)
    for (int step = 0; step < kWays; ++step) {
      Way way = static_cast<Way>((step + round) % kWays);  // each way takes its turn at going first
      times[way].push_back(Time(folder, files, way));
    }
  double base = Median(times[kDeleteFile]);
  for (int way = 0; way < kWays; ++way)
    std::printf("way=%s files=%d rounds=%d median=%.1fus/file ratio=%.2f\n", kNames[way], files, rounds,
                Median(times[way]) * 1e6, Median(times[way]) / base);
  if (argc == 6) {
    std::wstring link = Widen(argv[4]);
    std::wstring target = Widen(argv[5]);
    if (link.find(L'\\') == std::wstring::npos || target.empty()) {
      std::fprintf(stderr, "removal_requests: LINK and TARGET are full Windows paths\n");
      return 64;
    }
    Links(link, target);
  }
  return 0;
}
