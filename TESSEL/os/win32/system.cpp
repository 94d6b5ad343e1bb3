// The seam over Win32: process, files, lock, console, message boxes, COM.
#include <windows.h>
#include <objbase.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>

#include "os.h"

const char* OsCommandLine() { return GetCommandLineA(); }

std::uint32_t OsModuleFileName(char* out, std::uint32_t capacity) {
  DWORD n = GetModuleFileNameA(nullptr, out, capacity);
  // A path that filled the buffer was cut: report it as a failure.
  if (n == 0 || n >= capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return n;
}

std::uint32_t OsLastError() { return GetLastError(); }

OsHandle OsOpenOwnProcessForChild() {
  return reinterpret_cast<OsHandle>(OpenProcess(SYNCHRONIZE, TRUE, GetCurrentProcessId()));
}

void OsCloseHandle(OsHandle handle) {
  if (handle) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

int OsStartProcess(const char* commandLine, OsHandle* handle) {
  // CreateProcessA may write into the command line; give it its own copy.
  std::size_t length = 0;
  while (commandLine[length]) ++length;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  for (std::size_t i = 0; i <= length; ++i) copy[i] = commandLine[i];
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  BOOL ok = CreateProcessA(nullptr, copy, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  DWORD error = GetLastError();
  std::free(copy);
  if (!ok) {
    SetLastError(error);
    return 0;
  }
  CloseHandle(process.hThread);
  if (handle)
    *handle = reinterpret_cast<OsHandle>(process.hProcess);
  else
    CloseHandle(process.hProcess);
  return 1;
}

void OsSleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

void OsExitProcess(int code) { std::exit(code); }

std::uint32_t OsTempPath(char* out, std::uint32_t capacity) {
  DWORD n = GetTempPathA(capacity, out);
  if (n == 0 || n >= capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return n;
}

int OsTempFileName(const char* dir, const char* prefix, char* out) {
  OsCountFileSystemCall();
  return GetTempFileNameA(dir, prefix, 0, out) != 0;
}

int OsCopyFile(const char* from, const char* to) {
  OsCountFileSystemCall();
  return CopyFileA(from, to, FALSE) != 0;
}

int OsDeleteFile(const char* path) {
  OsCountFileSystemCall();
  return std::remove(path) == 0;
}

std::FILE* OsOpenFile(const char* path, const char* mode) {
  OsCountFileSystemCall();
  return std::fopen(path, mode);
}

int OsTruncateTextFile(const char* path) {
  std::FILE* f = std::fopen(path, "wt");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

int OsAppendTextFile(const char* path, const char* text, std::size_t length) {
  std::FILE* f = std::fopen(path, "at+");
  if (f == nullptr) return 0;
  std::fwrite(text, 1, length, f);
  std::fclose(f);
  return 1;
}

// The library lock is taken around every check, log line and heap call. A
// critical section is the same re-entrant, process-wide lock as an unnamed
// mutex, but it is taken without a call into the kernel (under Wine, without
// a round trip to the wineserver), which keeps a check as cheap as it should be.
OsHandle OsMutexCreate() {
  CRITICAL_SECTION* section = new CRITICAL_SECTION;
  InitializeCriticalSection(section);
  return reinterpret_cast<OsHandle>(section);
}
void OsMutexLock(OsHandle mutex) { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex)); }
void OsMutexUnlock(OsHandle mutex) { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex)); }
void OsMutexDestroy(OsHandle mutex) {
  CRITICAL_SECTION* section = reinterpret_cast<CRITICAL_SECTION*>(mutex);
  DeleteCriticalSection(section);
  delete section;
}

OsHandle OsConsoleOpen() {
  AllocConsole();
  return reinterpret_cast<OsHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

void OsConsoleTitle(const char* title) { SetConsoleTitleA(title); }

void OsConsoleWrite(OsHandle console, const char* text, std::size_t length) {
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(console), text, static_cast<DWORD>(length), &written, nullptr);
}

int OsMessageBox(const char* text, const char* caption, std::uint32_t style) {
  return MessageBoxA(nullptr, text, caption, style);
}

std::int32_t OsCoInitialize() { return CoInitialize(nullptr); }
std::int32_t OsOleInitialize() { return OleInitialize(nullptr); }
void OsOleUninitialize() { OleUninitialize(); }
void OsCoUninitialize() { CoUninitialize(); }
