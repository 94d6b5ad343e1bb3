// The diagnostic log, the checks and the fatal report.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "tessel-core";

struct LogState {
  std::uint32_t flags = 0;
  const char* errorFile = nullptr;
  std::int32_t errorLine = 0;
  OsHandle console = 0;
  char path[520] = {};
  char message[kMessageCapacity + 1] = {};
  OsHandle lock = 0;
  std::int32_t singleThreaded = 1;
};

LogState g_log;

// Formats into the message buffer at offset; never writes past it. Gives the
// length the whole text would have had.
int FormatInto(int offset, const char* format, va_list values) {
  int room = kMessageCapacity + 1 - offset;
  if (room <= 0) return 0;
  int n = std::vsnprintf(g_log.message + offset, static_cast<std::size_t>(room), format, values);
  return n < 0 ? 0 : n;
}

int FormatIntoV(int offset, const char* format, ...) TESSEL_PRINTF(2, 3);
int FormatIntoV(int offset, const char* format, ...) {
  va_list values;
  va_start(values, format);
  int n = FormatInto(offset, format, values);
  va_end(values);
  return n;
}

void CheckLength(int length) {
  if (length > kMessageCapacity) {
    SetErrorLocationUnlocked("Unknown", 0);
    Abort("Last string too large (%d > %d)\n", length, kMessageCapacity);
  }
}

[[noreturn]] void FatalReport(const char* prefix, const char* format, va_list values) {
  int length = FormatIntoV(0, "\n\n%s", prefix);
  length += FormatInto(length < kMessageCapacity ? length : kMessageCapacity, format, values);
  int at = length < kMessageCapacity ? length : kMessageCapacity;
  length += FormatIntoV(at, "       (%s/%d)\n", g_log.errorFile ? g_log.errorFile : "", g_log.errorLine);
  if (!(g_log.flags & LogNoBoxes)) OsMessageBox(g_log.message + 2, "Internal error...", kMbOk | kMbIconStop);
  LogWrite(g_log.message);
  CheckLength(length);
  UnlockLibrary();
  OsExitProcess(1);
}

}  // namespace

std::int32_t LockLibrary() {
  if (g_log.singleThreaded != 1 && g_log.lock != 0) OsMutexLock(g_log.lock);
  return 1;
}

std::int32_t UnlockLibrary() {
  if (g_log.singleThreaded != 1 && g_log.lock != 0) OsMutexUnlock(g_log.lock);
  return 1;
}

std::int32_t SetLibraryLockMode(std::int32_t singleThreaded) {
  LockLibrary();
  std::int32_t was = g_log.singleThreaded;
  g_log.singleThreaded = singleThreaded == 1 ? 1 : 0;
  // Release the lock taken above in the mode it was taken in.
  if (was != 1 && g_log.lock != 0) OsMutexUnlock(g_log.lock);
  return 1;
}

std::int32_t LogParseSwitches(std::uint32_t* flags, const char* arguments) {
  char* at = nullptr;
  *flags = 0;
  if (StrFindNoCase(arguments, "-debug", &at)) *flags = LogFile | LogReport;
  if (StrFindNoCase(arguments, "-window", &at)) *flags |= LogConsole;
  if (StrFindNoCase(arguments, "-append", &at)) *flags |= LogAppend;
  return 1;
}

std::int32_t LogInit(const char* logName, std::uint32_t flags) {
  if (g_log.lock == 0) g_log.lock = OsMutexCreate();
  g_log.singleThreaded = 0;
  g_log.flags = flags;

  const char* commandLine = OsCommandLine();
  if (commandLine == nullptr) {
    SetErrorLocation(kUnit, __LINE__);
    Abort("Unable to retrieve commandline!\n");
  }
  if (!GetArgument(commandLine, 0, g_log.path)) {
    SetErrorLocation(kUnit, __LINE__);
    Abort("No starting path was specified on commandline! [%s]\n", commandLine);
  }
  if (logName[0] != '\0' && logName[1] == ':') {
    StrCopyBounded(g_log.path, sizeof g_log.path, logName);
  } else {
    char* cut = g_log.path;
    for (char* p = g_log.path; *p; ++p)
      if (*p == '\\' || *p == '/') cut = p + 1;
    *cut = '\0';
    StrAppendBounded(g_log.path, sizeof g_log.path, StrLength(logName) > 1 ? logName : "debug.log");
  }
  if (flags == 0) return 1;

  if (flags & LogConsole) {
    g_log.console = OsConsoleOpen();
    OsConsoleTitle(g_log.path);
  }
  if ((flags & LogFile) && !(flags & LogAppend)) OsTruncateTextFile(g_log.path);
  if (flags & LogReport) LogPrint("Tessel v%s\n", kTesselVersion);
  return 1;
}

std::int32_t LogClose() {
  if (g_log.lock != 0) OsMutexDestroy(g_log.lock);
  g_log.lock = 0;
  g_log.singleThreaded = 1;
  return 1;
}

std::uint32_t LogFlags() { return g_log.flags; }
const char* LogFilePath() { return g_log.path; }

std::int32_t LogWrite(const char* text) {
  std::size_t length = std::strlen(text);
  if (g_log.flags & LogConsole) OsConsoleWrite(g_log.console, text, length);
  if (g_log.flags & LogFile) OsAppendTextFile(g_log.path, text, length);
  return 1;
}

std::int32_t LogPrint(const char* format, ...) {
  if ((g_log.flags & ~LogNoBoxes) == 0) return 1;
  LockLibrary();
  va_list values;
  va_start(values, format);
  int length = FormatInto(0, format, values);
  va_end(values);
  LogWrite(g_log.message);
  CheckLength(length);
  UnlockLibrary();
  return 1;
}

std::int32_t LogSection(const char* title) {
  if ((g_log.flags & ~LogNoBoxes) == 0) return 1;
  LockLibrary();
  int end;
  int length;
  if (title == nullptr) {
    length = FormatIntoV(0, "====");
    end = 79;
  } else {
    length = FormatIntoV(0, "\n====[%s]", title);
    end = 80;
  }
  if (length > kMessageCapacity) length = kMessageCapacity;
  while (length < end) g_log.message[length++] = '=';
  g_log.message[end] = '\n';
  g_log.message[end + 1] = '\0';
  LogWrite(g_log.message);
  UnlockLibrary();
  return 1;
}

std::int32_t SetErrorLocation(const char* file, std::int32_t line) {
  LockLibrary();
  g_log.errorFile = file;
  g_log.errorLine = line;
  return 1;
}

std::int32_t SetErrorLocationUnlocked(const char* file, std::int32_t line) {
  g_log.errorFile = file;
  g_log.errorLine = line;
  return 1;
}

std::int32_t CheckPointer(const void* pointer) {
  if (pointer != nullptr) {
    UnlockLibrary();
    return 1;
  }
  return Assert(0, "Pointer is NULL...\n");
}

std::int32_t Assert(std::int32_t condition, const char* format, ...) {
  if (condition) {
    UnlockLibrary();
    return 1;
  }
  va_list values;
  va_start(values, format);
  FatalReport("ASSERT:", format, values);
}

void Abort(const char* format, ...) {
  va_list values;
  va_start(values, format);
  FatalReport("ABORT: ", format, values);
}
