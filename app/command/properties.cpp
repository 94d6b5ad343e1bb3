// The property commands: what the script says about the product is stored
// in the settings record for the action commands that follow.
#include <climits>
#include <cstdlib>

#include "handlers.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

void CheckHandler(const InstallSettings* settings, const char* arguments, const std::int32_t* consumed) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, consumed);
}

// A text people only read: cut when it does not fit.
template <std::size_t N>
std::int32_t StoreText(char (&field)[N], const char* arguments, std::int32_t* consumed) {
  ReadArgument(arguments, field, consumed);
  return 1;
}

// A path, key or URL: refused whole when it does not fit its room in the
// keyword table, the field kept.
template <KeywordId Id, std::size_t N>
std::int32_t StoreName(char (&field)[N], const char* arguments, std::int32_t* consumed) {
  constexpr std::size_t kRoom = KeywordRoom(Id, 1);
  static_assert(kRoom <= N, "the field holds what the table allows");
  char work[kRoom];
  if (!ReadArgument(arguments, work, consumed)) return RefuseOverlongArgument(Id, kRoom);
  StrCopy(field, work);
  return 1;
}

// The decimal value as the C library reads it; beyond 32 bits it saturates.
std::int32_t DecimalValue(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t HandleCompanyName(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreText(settings->CompanyName, arguments, consumed);
}

std::int32_t HandleProductName(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreText(settings->ProductName, arguments, consumed);
}

std::int32_t HandleProductVersion(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreText(settings->ProductVersion, arguments, consumed);
}

std::int32_t HandleText(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreText(settings->Text, arguments, consumed);
}

std::int32_t HandleRegistryPath(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreName<kKeywordRegistryPath>(settings->RegistryPath, arguments, consumed);
}

std::int32_t HandleUpdateUrl(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreName<kKeywordUpdateUrl>(settings->UpdateUrl, arguments, consumed);
}

std::int32_t HandleInstallName(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreName<kKeywordInstallName>(settings->InstallName, arguments, consumed);
}

std::int32_t HandleUninstallName(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  return StoreName<kKeywordUninstallName>(settings->UninstallName, arguments, consumed);
}

std::int32_t HandleInstallSize(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  char work[kSettingsText];
  ReadArgument(arguments, work, consumed);
  settings->InstallSize = DecimalValue(work);
  return 1;
}

std::int32_t HandleListServer(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  // The name field holds the number while it is read.
  ReadArgument(arguments, settings->ListServerName, consumed);
  settings->ListServerNumber = DecimalValue(settings->ListServerName);
  ReadArgument(arguments, settings->ListServerName, consumed);
  ReadArgument(arguments, settings->ListServerText, consumed);
  return 1;
}

std::int32_t HandleFileList(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CheckHandler(settings, arguments, consumed);
  // The list stays in the script text; only its entries are counted.
  settings->FileList = arguments + *consumed;
  settings->FileCount = 1;
  CountArgumentChar(arguments, ',', &settings->FileCount, consumed);
  return 1;
}
