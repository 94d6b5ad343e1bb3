// The product's settings as the installation script sets them.
#pragma once

#include <cstdint>

#include "os.h"
#include "problems.h"

constexpr int kSettingsText = 160;

struct InstallSettings {
  OsHandle OwnerWindow;
  RunMode Mode;
  char* ScriptText;
  std::int32_t ScriptLength;
  char Text[kSettingsText];
  char CompanyName[kSettingsText];
  char ProductName[kSettingsText];
  char ProductVersion[kSettingsText];
  std::int32_t ListServerNumber;
  char ListServerName[kSettingsText];
  char ListServerText[kSettingsText];
  char RegistryPath[kSettingsText];
  std::int32_t InstallSize;
  char InstallPath[kSettingsText];
  char InstallDir[kSettingsText];
  char InstallName[kSettingsText];
  char UninstallName[kSettingsText];
  char RegisterShortcut[kSettingsText];
  char UpdateUrl[kSettingsText];
  std::int32_t FileCount;
  const char* FileList;
  const char* ParsePosition;
  // Listed files that the uninstall could not remove; the final message
  // says so unless it is 0.
  std::int32_t FilesLeft;
};

// The handler contract: the record, the command's argument text and the
// consumed count; 1 lets the script go on, 0 stops it as failed.
using KeywordHandler = std::int32_t (*)(InstallSettings* settings, const char* arguments, std::int32_t* consumed);

// Copies the next argument into destination (capacity bytes) and consumes
// it with its terminating byte. The whole argument is always consumed; the
// result is 1 when it fitted, 0 when the copy had to be cut.
std::int32_t ReadArgument(const char* arguments, char* destination, std::size_t capacity, std::int32_t* consumed);
template <std::size_t N>
std::int32_t ReadArgument(const char* arguments, char (&destination)[N], std::int32_t* consumed) {
  return ReadArgument(arguments, destination, N, consumed);
}
// The end of the script text being run (its terminating zero byte), so
// that a zero byte before it separates arguments; null outside a run.
void SetScriptTextEnd(const char* end);
// Counts a character in the next argument without copying it; consumes the
// argument but not its terminating byte.
std::int32_t CountArgumentChar(const char* arguments, char character, std::int32_t* counter, std::int32_t* consumed);
// Refuses a command whose path, key or URL argument did not fit: logged,
// shown as a corrupted script, and the script stops.
std::int32_t RefuseOverlongArgument(const char* keyword, std::size_t capacity);
