// What the files of the update share: the run's fields, its limits, and a
// few helpers. Nothing outside app/update includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ffs.h"
#include "update.h"

namespace update {

constexpr const char* kUnit = "update";
constexpr const char* kCaption = "Electronic Update...";

// What the dialog shows and the download uses, set when the dialog opens.
struct Fields {
  char downloadUrl[kUpdateField];
  char savePath[kUpdateField];
  const char* webPage;
  const char* newVersion;
  InstallSettings* settings;
  std::int32_t dialogResult;
  UpdateEntry entry;  // the chosen entry, for its signatures
  bool hasKey;        // the program carries the maker's key
  bool keyDamaged;    // it carries one that cannot be read
  unsigned char key[FfsUpdateKeySize];
  std::int32_t refusal;  // UpdateRefusal's kinds
  char cause[256];       // why, as the user reads it
  OsHeldFile installer;  // the verified download, held until it has run
};
extern Fields g_update;
extern UpdateLimits g_limits;

// Records a refusal that no retry can mend: the kind and the user's text.
void Refuse(std::int32_t kind, const char* cause);

void UserAgent(const char* format, char* agent, std::size_t capacity);
void CloseConnection(SocketHandle** handle);
bool Sha256(const unsigned char* data, std::int32_t length, unsigned char digest[kUpdateHashSize]);

}  // namespace update
