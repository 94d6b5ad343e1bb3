// The seam's host stand-ins: process, temporary folder, lock, console,
// message boxes.
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "machine.h"
#include "os.h"

extern char** environ;

namespace {

thread_local std::uint32_t g_lastError = 0;

std::string g_commandLine;

std::uint32_t WindowsError(int error) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EEXIST: return kErrorAlreadyExists;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EBUSY: return kErrorSharingViolation;
    default: return kErrorInvalidParameter;
  }
}

void SetError(int error) { g_lastError = WindowsError(error); }

std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  return "\"" + argument + "\"";
}

// Splits a command line the way the program reads one: blanks separate
// arguments, quotes group them.
std::vector<std::string> SplitCommandLine(const char* text) {
  std::vector<std::string> arguments;
  const char* p = text;
  while (*p) {
    while (*p && static_cast<unsigned char>(*p) <= 32) ++p;
    if (!*p) break;
    std::string argument;
    bool inQuotes = false;
    for (; *p && (inQuotes || static_cast<unsigned char>(*p) > 32); ++p) {
      if (*p == '"')
        inQuotes = !inQuotes;
      else
        argument += *p;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

std::string ModulePath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  buffer[n] = '\0';
  return buffer;
}

}  // namespace

namespace host {

void SetLastErrorFromErrno(int error) { SetError(error); }
void SetLastErrorCode(std::uint32_t code) { g_lastError = code; }

// Called by the host entry (and the test mains) with the process's own
// arguments; the program path is given as a Windows path.
void SetCommandLine(int argc, char** argv) {
  std::string module = ModulePath();
  g_commandLine = Quote(module.empty() ? std::string(argc > 0 ? argv[0] : "") : WindowsPath(module));
  for (int i = 1; i < argc; ++i) g_commandLine += " " + Quote(argv[i]);
}

}  // namespace host

const char* OsCommandLine() {
  if (g_commandLine.empty()) {
    std::string module = ModulePath();
    g_commandLine = Quote(host::WindowsPath(module));
  }
  return g_commandLine.c_str();
}

std::uint32_t OsModuleFileName(char* out, std::uint32_t capacity) {
  std::string path = host::WindowsPath(ModulePath());
  if (capacity == 0 || path.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return static_cast<std::uint32_t>(path.size());
}

std::uint32_t OsLastError() { return g_lastError; }

OsHandle OsOpenOwnProcessForChild() { return static_cast<OsHandle>(getpid()); }

void OsCloseHandle(OsHandle) {}

int OsStartProcess(const char* commandLine, OsHandle* process) {
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) {
    g_lastError = kErrorInvalidParameter;
    return 0;
  }
  std::string program = host::HostPath(arguments[0].c_str());
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) {
    SetError(error);
    return 0;
  }
  if (process) *process = static_cast<OsHandle>(pid);
  return 1;
}

void OsSleep(std::uint32_t milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

void OsExitProcess(int code) {
  std::fflush(stdout);
  std::exit(code);
}

std::uint32_t OsTempPath(char* out, std::uint32_t capacity) {
  host::MachineRoot();
  std::string path = "C:\\users\\" + host::UserName() + "\\Temp\\";
  if (capacity == 0 || path.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return static_cast<std::uint32_t>(path.size());
}

OsHandle OsMutexCreate() { return reinterpret_cast<OsHandle>(new std::recursive_mutex); }
void OsMutexLock(OsHandle mutex) { reinterpret_cast<std::recursive_mutex*>(mutex)->lock(); }
void OsMutexUnlock(OsHandle mutex) { reinterpret_cast<std::recursive_mutex*>(mutex)->unlock(); }
void OsMutexDestroy(OsHandle mutex) { delete reinterpret_cast<std::recursive_mutex*>(mutex); }

// The console is the terminal's standard output.
OsHandle OsConsoleOpen() { return 1; }
void OsConsoleTitle(const char*) {}
void OsConsoleWrite(OsHandle, const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

std::int32_t OsCoInitialize() { return 0; }
std::int32_t OsOleInitialize() { return 0; }
void OsOleUninitialize() {}
void OsCoUninitialize() {}
