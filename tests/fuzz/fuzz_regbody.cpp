// Fuzz target: what a registration receiver is sent. The input is read as
// a body by the program's codec; a body it accepts must hold a profile of
// fields only, and framing that profile again must give the same body.
// The input is also taken as a profile and framed, so that the reading of
// fields is reached behind a right CRC.
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/codec.h"

namespace {

// The input as a profile in clear, framed as the program frames it (the
// CRC right, so that the reading goes past it): read back, it is either
// the same bytes or refused as no run of fields.
void AsProfile(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(kProfileBuffer)) return;
  std::vector<unsigned char> scrambled(data, data + size);
  RegistrationScramble(scrambled.data(), static_cast<std::int32_t>(size));
  std::vector<char> body(static_cast<std::size_t>(kRegistrationBodyMax) + 1);
  std::int32_t total = 0;
  if (!RegistrationFrame(scrambled.data(), static_cast<std::int32_t>(size), "1.50", body.data(),
                         static_cast<std::int32_t>(body.size()), &total))
    __builtin_trap();
  std::vector<unsigned char> profile(kProfileBuffer);
  char version[kRegistrationVersionMax + 1];
  std::int32_t n = -1;
  RegistrationFault fault = RegistrationUnframe(body.data(), total, version, profile.data(), &n);
  if (fault == BodyAccepted) {
    if (static_cast<std::size_t>(n) != size || std::memcmp(profile.data(), data, size) != 0) __builtin_trap();
  } else if (fault != ProfileFields) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AsProfile(data, size);
  if (size > static_cast<std::size_t>(kRegistrationBodyMax)) return 0;
  std::vector<unsigned char> profile(kProfileBuffer);
  char version[kRegistrationVersionMax + 1];
  std::int32_t n = -1;
  const char* body = reinterpret_cast<const char*>(data);
  if (RegistrationUnframe(body, static_cast<std::int32_t>(size), version, profile.data(), &n) != BodyAccepted) return 0;
  if (n <= 0 || n > kProfileBuffer) __builtin_trap();
  std::int32_t position = 0, fields = 0, step;
  ProfileField field;
  while ((step = ProfileNextField(profile.data(), n, &position, &field)) == 1) {
    if (field.number < 0 || field.number > 999 || field.value + field.length > profile.data() + n) __builtin_trap();
    ++fields;
  }
  if (step != 0 || fields == 0 || position != n) __builtin_trap();
  RegistrationScramble(profile.data(), n);
  std::vector<char> again(size + 1);
  std::int32_t total = 0;
  if (!RegistrationFrame(profile.data(), n, version, again.data(), static_cast<std::int32_t>(again.size()), &total) ||
      static_cast<std::size_t>(total) != size || std::memcmp(again.data(), data, size) != 0)
    __builtin_trap();
  return 0;
}
