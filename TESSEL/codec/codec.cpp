#include "codec.h"

#include <cstdio>
#include <cstring>

namespace {

std::uint32_t Reflect(std::uint32_t value, int bits) {
  std::uint32_t result = 0;
  for (int i = 0; i < bits; ++i)
    if (value & (1u << i)) result |= 1u << (bits - 1 - i);
  return result;
}

// The table entry of the reflected CRC for one index, computed on the fly.
std::uint32_t CrcEntry(std::uint32_t index) {
  std::uint32_t value = Reflect(index, 8) << 24;
  for (int i = 0; i < 8; ++i) value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
  return Reflect(value, 32);
}

constexpr unsigned char kFieldMark = 0x02;

// Eight (or count) upper-case hexadecimal digits, as "%.8X" writes them.
bool ReadHex(const char* text, int count, std::uint32_t* value) {
  std::uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    char c = text[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    v = (v << 4) | digit;
  }
  *value = v;
  return true;
}

bool StartsField(const unsigned char* p, std::int32_t left) {
  return left >= 4 && p[0] == kFieldMark && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9' && p[3] >= '0' &&
         p[3] <= '9';
}

}  // namespace

std::uint32_t Crc32(const void* buffer, std::uint32_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint32_t i = 0; i < length; ++i) crc = (crc >> 8) ^ CrcEntry((crc ^ bytes[i]) & 0xFFu);
  return ~crc;
}

std::int32_t EncodeSixBit(const unsigned char* source, std::int32_t length, char* destination, std::int32_t* capacity) {
  char* out = destination + 8;
  char* end = destination + *capacity;
  auto group = [&out](const unsigned char* b) {
    std::uint32_t v = (static_cast<std::uint32_t>(b[0]) << 16) | (static_cast<std::uint32_t>(b[1]) << 8) | b[2];
    *out++ = static_cast<char>(((v >> 18) & 63) + 33);
    *out++ = static_cast<char>(((v >> 12) & 63) + 33);
    *out++ = static_cast<char>(((v >> 6) & 63) + 33);
    *out++ = static_cast<char>((v & 63) + 33);
  };
  std::int32_t remaining = length;
  const unsigned char* p = source;
  while (remaining > 3) {
    group(p);
    p += 3;
    remaining -= 3;
    if (out >= end) return 0;
  }
  if (remaining > 0) {
    unsigned char last[3] = {0, 0, 0};
    for (std::int32_t i = 0; i < remaining; ++i) last[i] = p[i];
    group(last);
  }
  *out = '\0';
  *capacity = static_cast<std::int32_t>(out - destination);
  char header[9];
  std::snprintf(header, sizeof header, "%.8X", static_cast<unsigned>(length));
  for (int i = 0; i < 8; ++i) destination[i] = header[i];
  return 1;
}

std::int32_t DecodeSixBit(const char* text, std::int32_t textLength, unsigned char* destination, std::int32_t capacity,
                          std::int32_t* length) {
  std::uint32_t announced = 0;
  if (textLength < 8 || !ReadHex(text, 8, &announced)) return 0;
  if (announced > static_cast<std::uint32_t>(capacity)) return 0;
  std::int32_t n = static_cast<std::int32_t>(announced);
  if (textLength != RegistrationEncodedLength(n)) return 0;
  std::int32_t written = 0;
  for (std::int32_t at = 8; at < textLength; at += 4) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned char c = static_cast<unsigned char>(text[at + k]);
      if (c < 33 || c > 96) return 0;
      v = (v << 6) | (c - 33u);
    }
    const unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                    static_cast<unsigned char>(v)};
    for (unsigned char b : bytes) {
      if (written < n) {
        destination[written++] = b;
      } else if (b != 0) {
        return 0;  // the encoder pads with zero bytes only
      }
    }
  }
  *length = n;
  return 1;
}

void RegistrationScramble(unsigned char* profile, std::int32_t length) {
  for (std::int32_t i = 0; i < length; ++i)
    profile[i] ^= static_cast<unsigned char>((static_cast<std::uint32_t>(i) * 47u / 31u) & 0xFFu);
}

std::int32_t RegistrationFrame(const unsigned char* scrambled, std::int32_t n, const char* version, char* body,
                               std::int32_t capacity, std::int32_t* total) {
  std::size_t v = std::strlen(version);
  if (n < 0 || v > static_cast<std::size_t>(kRegistrationVersionMax)) return 0;
  std::int32_t h = RegistrationHeaderLength(static_cast<std::int32_t>(v));
  std::int64_t e = 8 + 4 * ((static_cast<std::int64_t>(n) + 2) / 3);
  // The encoder looks at its room only after each full group: the whole
  // encoded text and its terminator must fit before it starts.
  if (static_cast<std::int64_t>(h) + e + 1 > capacity) return 0;
  std::int32_t encoded = capacity - h;
  if (!EncodeSixBit(scrambled, n, body + h, &encoded)) return 0;
  std::uint32_t crc = Crc32(body + h, static_cast<std::uint32_t>(encoded));
  char header[RegistrationHeaderLength(kRegistrationVersionMax) + 1];
  std::snprintf(header, sizeof header, "%.8X%.2X%s%.8X%.8X%.8X", static_cast<unsigned>(h + encoded),
                static_cast<unsigned>(v), version, static_cast<unsigned>(n), static_cast<unsigned>(encoded), crc);
  std::memcpy(body, header, static_cast<std::size_t>(h));
  *total = h + encoded;
  return 1;
}

const char* RegistrationFaultText(RegistrationFault fault) {
  switch (fault) {
    case BodyAccepted: return "accepted";
    case BodyShort: return "the body is shorter than its header";
    case BodyHeaderDigits: return "the header's lengths are not hexadecimal digits";
    case BodyVersion: return "the version text holds a zero byte";
    case BodyTotal: return "the announced length is not the length received";
    case BodyTooLarge: return "the profile is longer than any program sends";
    case BodyEncodedLength: return "the encoded length does not fit the profile's length";
    case BodyCrc: return "the CRC-32 of the encoded text does not match";
    case BodyEncoding: return "the encoded text is damaged";
    case ProfileFields: return "the profile is not a run of numbered fields";
  }
  return "unknown fault";
}

RegistrationFault RegistrationUnframe(const char* body, std::int32_t length, char* version, unsigned char* profile,
                                      std::int32_t* n) {
  std::uint32_t total = 0, v = 0, announced = 0, e = 0, crc = 0;
  if (length < 10) return BodyShort;
  if (!ReadHex(body, 8, &total) || !ReadHex(body + 8, 2, &v)) return BodyHeaderDigits;
  std::int32_t h = RegistrationHeaderLength(static_cast<std::int32_t>(v));
  if (length < h) return BodyShort;
  const char* lengths = body + 10 + v;
  if (!ReadHex(lengths, 8, &announced) || !ReadHex(lengths + 8, 8, &e) || !ReadHex(lengths + 16, 8, &crc))
    return BodyHeaderDigits;
  if (std::memchr(body + 10, 0, v) != nullptr) return BodyVersion;
  if (total != static_cast<std::uint32_t>(length)) return BodyTotal;
  if (announced > static_cast<std::uint32_t>(kProfileBuffer)) return BodyTooLarge;
  std::int32_t profileLength = static_cast<std::int32_t>(announced);
  if (e != static_cast<std::uint32_t>(length - h) ||
      e != static_cast<std::uint32_t>(RegistrationEncodedLength(profileLength)))
    return BodyEncodedLength;
  if (Crc32(body + h, e) != crc) return BodyCrc;
  std::int32_t decoded = 0;
  if (!DecodeSixBit(body + h, static_cast<std::int32_t>(e), profile, kProfileBuffer, &decoded) ||
      decoded != profileLength)
    return BodyEncoding;
  if (decoded == 0) return ProfileFields;
  RegistrationScramble(profile, decoded);
  // Values hold any byte but zero; the profile is fields from its start.
  if (decoded > 0 && std::memchr(profile, 0, static_cast<std::size_t>(decoded)) != nullptr) return ProfileFields;
  std::int32_t position = 0;
  ProfileField field;
  std::int32_t step;
  while ((step = ProfileNextField(profile, decoded, &position, &field)) == 1) {
  }
  if (step < 0) return ProfileFields;
  std::memcpy(version, body + 10, v);
  version[v] = '\0';
  *n = decoded;
  return BodyAccepted;
}

std::int32_t ProfileNextField(const unsigned char* profile, std::int32_t n, std::int32_t* position,
                              ProfileField* field) {
  std::int32_t at = *position;
  if (at >= n) return 0;
  if (!StartsField(profile + at, n - at)) return -1;
  field->number = (profile[at + 1] - '0') * 100 + (profile[at + 2] - '0') * 10 + (profile[at + 3] - '0');
  std::int32_t start = at + 4;
  std::int32_t end = start;
  while (end < n && !StartsField(profile + end, n - end)) ++end;
  field->value = profile + start;
  field->length = end - start;
  *position = end;
  return 1;
}
