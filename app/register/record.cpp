// The registration record: cleared, loaded from and saved under the
// installer key of the current user, so the form comes back filled.
#include "register.h"

#include <cstring>

#include "registry.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "appinfo.h"
#include "problems.h"

RegistrationRecord Registration = {};
char RegistrationCaption[kRegistrationCaption] = {};

namespace {

constexpr const char* kUnit = "register";

// The stored texts, in the order they are read and written.
struct StoredText {
  const char* name;
  char* field;
  std::size_t capacity;
};

template <std::size_t N>
StoredText Text(const char* name, char (&field)[N]) {
  return {name, field, N};
}

void StoredTexts(StoredText (&out)[9]) {
  RegistrationRecord& r = Registration;
  StoredText all[9] = {Text("First Name", r.FirstName),
                       Text("Last Name", r.LastName),
                       Text("Address", r.Address),
                       Text("City", r.City),
                       Text("State", r.State),
                       Text("Country", r.Country),
                       Text("Zip", r.Zip),
                       Text("Email", r.Email),
                       Text("Phone", r.Phone)};
  for (int i = 0; i < 9; ++i) out[i] = all[i];
}

}  // namespace

std::int32_t RegistrationClear() {
  std::memset(&Registration, 0, sizeof Registration);
  return 1;
}

std::int32_t RegistrationLoad() {
  RegistrationClear();
  if (!RegistryKeyExists(RegistryCurrentUser, AppInfo.installerKey) && !RegistrationSave())
    FATAL(kUnit, "Unable to save defaults in config load\n");
  RegistryKey key = kRegistryNoKey;
  if (!RegistryOpenKey(&key, RegistryCurrentUser, AppInfo.installerKey)) FATAL(kUnit, "Unable to open key\n");
  StoredText texts[9];
  StoredTexts(texts);
  // A stored text longer than its field is refused as not found, so no
  // field is ever written past.
  for (const StoredText& t : texts) RegistryGetString(key, t.name, t.field, t.capacity);
  RegistryGetInteger(key, "ListServer", &Registration.ListServer);
  RegistryCloseKey(&key);
  return 1;
}

std::int32_t RegistrationSave() {
  RegistryKey key = kRegistryNoKey;
  if (RegistryKeyExists(RegistryCurrentUser, AppInfo.installerKey)) {
    if (!RegistryOpenKey(&key, RegistryCurrentUser, AppInfo.installerKey)) FATAL(kUnit, "Unable to open key\n");
  } else if (!RegistryCreateKey(&key, RegistryCurrentUser, AppInfo.installerKey)) {
    FATAL(kUnit, "Unable to create key\n");
  }
  StoredText texts[9];
  StoredTexts(texts);
  for (const StoredText& t : texts) RegistrySetString(key, t.name, t.field);
  RegistrySetInteger(key, "ListServer", Registration.ListServer);
  RegistryCloseKey(&key);
  return 1;
}
