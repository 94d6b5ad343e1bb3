// The registration profile: numbered fields describing this program, the
// product, the user's answers and the machine, gathered as they are
// written.
#include "register.h"

#include <cstdarg>
#include <cstdio>

#include "appinfo.h"
#include "problems.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "register";
constexpr int kRegistryWork = 320;
// The largest value a field holds: a settings text, a record field, a
// registry read or the operating-system text all stay far below it.
constexpr int kFieldRoom = 1024;

const char* const kProcessorKey = "Hardware\\Description\\System\\CentralProcessor\\0";
const char* const kOwnerKey = "Software\\Microsoft\\Windows\\CurrentVersion";

std::int32_t Kilobytes(std::uint64_t bytes) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes >> 10));
}

}  // namespace

std::int32_t ProfileAddField(char** position, std::int32_t number, const char* format, ...) {
  CHECK_POINTER(kUnit, position);
  CHECK_POINTER(kUnit, *position);
  CHECK_POINTER(kUnit, format);
  char* at = *position;
  // 0x02 and the number in exactly three digits.
  std::uint32_t digits = static_cast<std::uint32_t>(number) % 1000u;
  at[0] = '\x02';
  at[1] = static_cast<char>('0' + digits / 100);
  at[2] = static_cast<char>('0' + digits / 10 % 10);
  at[3] = static_cast<char>('0' + digits % 10);
  char* value = at + 4;
  va_list values;
  va_start(values, format);
  std::vsnprintf(value, kFieldRoom, format, values);
  va_end(values);
  if (value[0] == '\0') {
    at[0] = '\0';  // the field vanishes; the next one is written over it
    return 1;
  }
  char* end = value + StrLength(value);
  while (end > value && static_cast<unsigned char>(end[-1]) <= 0x20) --end;
  *end = '\0';
  *position = end;
  return 1;
}

std::int32_t ProfileAddRegistryValue(char** position, std::int32_t number, RegistryKey key, const char* name) {
  char text[kRegistryWork] = {};
  if (!RegistryGetString(key, name, text)) StrCopyBounded(text, "Unknown");
  return ProfileAddField(position, number, "%s", text);
}

const char* RegistrationModeName(std::int32_t mode) {
  if (mode == RunModeRegister) return "Standalone";
  if (mode == RunModeInstallerRegister) return "Installer";
  return "Unknown";
}

const char* ListServerWord(std::int32_t listServer) {
  switch (listServer) {
    case ListServerNoAnswer: return "No answer";
    case ListServerYes: return "Yes";
    case ListServerAlready: return "Already";
    case ListServerNo: return "No";
    default: return "Unknown";
  }
}

void OperatingSystemText(const OsVersionInfo* version, char* out, std::size_t capacity) {
  if (version == nullptr) {
    StrCopyBounded(out, capacity, "Unknown");
    return;
  }
  const OsVersionInfo& v = *version;
  int major = static_cast<int>(v.major), minor = static_cast<int>(v.minor);
  int build = static_cast<int>(v.build);
  int lowBuild = static_cast<int>(v.build & 0xFFFF);
  switch (v.platform) {
    case 0:
      StrFormatBounded(out, capacity, "Microsoft Windows 3.1 %d.%d.%d %s", major, minor, lowBuild, v.servicePack);
      break;
    case 1:
      StrFormatBounded(out, capacity,
                       v.minor == 0 ? "Microsoft Windows 95 %d.%d.%d %s" : "Microsoft Windows 98 %d.%d.%d %s", major,
                       minor, lowBuild, v.servicePack);
      break;
    case 2:
      StrFormatBounded(out, capacity, "Microsoft Windows NT %d.%d.%d %s", major, minor, build, v.servicePack);
      break;
    default:
      StrFormatBounded(out, capacity, "[%d] %d.%d.%d %s", static_cast<int>(v.platform), major, minor, build,
                       v.servicePack);
      break;
  }
}

std::int32_t RegistrationProfile(const InstallSettings* settings, const char* label, char* buffer,
                                 std::int32_t* length) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, label);
  CHECK_POINTER(kUnit, buffer);
  CHECK_POINTER(kUnit, length);
  const RegistrationRecord& r = Registration;
  char* p = buffer;
  ProfileAddField(&p, 0, "v%s (%s)", AppInfo.version, AppInfo.build);
  ProfileAddField(&p, 1, "%s", RegistrationModeName(settings->Mode));
  ProfileAddField(&p, 2, "%s", label);
  ProfileAddField(&p, 100, "%s", settings->Text);
  ProfileAddField(&p, 101, "%s", settings->CompanyName);
  ProfileAddField(&p, 102, "%s", settings->ProductName);
  ProfileAddField(&p, 103, "%s", settings->ProductVersion);
  const char* answers[10] = {r.FirstName, r.LastName, r.Address, r.City,  r.State,
                             r.Country,   r.Zip,      r.Email,   r.Phone, r.HowFound};
  for (int i = 0; i < 10; ++i) ProfileAddField(&p, 200 + i, "%s", answers[i]);

  // The machine, measured as it is written.
  HostAddress local = {};
  HostLocal(&local);
  ProfileAddField(&p, 300, "%d.%d.%d.%d", local.address[0], local.address[1], local.address[2], local.address[3]);
  ProfileAddField(&p, 301, "%s", local.name);
  RegistryKey key = kRegistryNoKey;
  if (RegistryOpenKey(&key, RegistryLocalMachine, kProcessorKey)) {
    ProfileAddRegistryValue(&p, 302, key, "Identifier");
    ProfileAddRegistryValue(&p, 303, key, "~MHz");
    ProfileAddRegistryValue(&p, 304, key, "MMXIdentifier");
    ProfileAddRegistryValue(&p, 305, key, "VendorIdentifier");
    RegistryCloseKey(&key);
  }
  std::int32_t width = 0, height = 0, bits = 0;
  OsScreenMeasures(&width, &height, &bits);
  ProfileAddField(&p, 306, "%d,%d", width, height);
  ProfileAddField(&p, 307, "%d", bits);
  if (RegistryOpenKey(&key, RegistryLocalMachine, kOwnerKey)) {
    ProfileAddRegistryValue(&p, 308, key, "RegisteredOwner");
    ProfileAddRegistryValue(&p, 309, key, "RegisteredOrganization");
    RegistryCloseKey(&key);
  }
  OsVersionInfo version = {};
  char system[kRegistryWork];
  OperatingSystemText(OsVersionQuery(&version) ? &version : nullptr, system, sizeof system);
  ProfileAddField(&p, 310, "%s", system);
  std::uint64_t physical = 0, paging = 0;
  OsMemoryTotals(&physical, &paging);
  ProfileAddField(&p, 311, "%dk", Kilobytes(physical));
  ProfileAddField(&p, 312, "%dk", Kilobytes(paging));

  ProfileAddField(&p, 400, "%s", ListServerWord(r.ListServer));
  ProfileAddField(&p, 401, "%d", settings->ListServerNumber);
  ProfileAddField(&p, 402, "%s", settings->ListServerName);
  ProfileAddField(&p, 403, "%s", settings->ListServerText);
  *length = static_cast<std::int32_t>(p - buffer);
  return 1;
}
