// The registration body: the profile scrambled byte by byte, encoded into
// printable characters and framed by a header of lengths, the program's
// version and the CRC-32 of the encoded text.
#include "register.h"

#include <cstdio>
#include <cstring>

#include "tessel-core.h"
#include "tessel-str.h"
#include "appinfo.h"
#include "problems.h"

namespace {

constexpr const char* kUnit = "register";

// "%.8X%.2X%s%.8X%.8X%.8X": total, version length, version, n, e, CRC.
int FormatHeader(char* out, std::size_t capacity, std::uint32_t total, std::uint32_t n, std::uint32_t e,
                 std::uint32_t crc) {
  return std::snprintf(out, capacity, "%.8X%.2X%s%.8X%.8X%.8X", total,
                       static_cast<unsigned>(std::strlen(AppInfo.version)), AppInfo.version, n, e, crc);
}

}  // namespace

void RegistrationScramble(unsigned char* profile, std::int32_t length) {
  for (std::int32_t i = 0; i < length; ++i)
    profile[i] ^= static_cast<unsigned char>((static_cast<std::uint32_t>(i) * 47u / 31u) & 0xFFu);
}

std::int32_t RegistrationBody(const unsigned char* profile, std::int32_t n, char* body, std::int32_t* total) {
  CHECK_POINTER(kUnit, profile);
  CHECK_POINTER(kUnit, body);
  CHECK_POINTER(kUnit, total);
  char header[80];
  int h = FormatHeader(header, sizeof header, 0, 0, 0, 0);
  std::int32_t room = 2 * n - h;
  // The encoder looks at its room only after each full group; the whole
  // encoded text and its terminator must fit before it starts.
  std::int32_t needed = 8 + 4 * ((n + 2) / 3) + 1;
  std::int32_t e = room;
  if (room < needed || !EncodeSixBit(profile, n, body + h, &e)) FATAL(kUnit, "Encoder failed (%d / %d)!\n", n, room);
  std::uint32_t crc = Crc32(body + h, static_cast<std::uint32_t>(e));
  FormatHeader(header, sizeof header, static_cast<std::uint32_t>(h + e), static_cast<std::uint32_t>(n),
               static_cast<std::uint32_t>(e), crc);
  std::memcpy(body, header, static_cast<std::size_t>(h));
  *total = h + e;
  return 1;
}
