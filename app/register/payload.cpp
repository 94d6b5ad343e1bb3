// The registration body: the profile scrambled byte by byte, encoded into
// printable characters and framed by a header of lengths, the program's
// version and the CRC-32 of the encoded text. The codec itself is shared
// with the maker's receiver (TESSEL/codec).
#include "register.h"

#include <cstring>

#include "tessel-core.h"
#include "appinfo.h"
#include "problems.h"

namespace {

constexpr const char* kUnit = "register";

}  // namespace

std::int32_t RegistrationBody(const unsigned char* profile, std::int32_t n, char* body, std::int32_t* total) {
  CHECK_POINTER(kUnit, profile);
  CHECK_POINTER(kUnit, body);
  CHECK_POINTER(kUnit, total);
  std::int32_t h = RegistrationHeaderLength(static_cast<std::int32_t>(std::strlen(AppInfo.version)));
  if (!RegistrationFrame(profile, n, AppInfo.version, body, 2 * n, total))
    FATAL(kUnit, "Encoder failed (%d / %d)!\n", n, 2 * n - h);
  return 1;
}
