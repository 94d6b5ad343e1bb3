// The registration body, both ways: the CRC-32, the six-bit text, the
// profile's scrambling and the framing of the body, shared by the program
// (which builds the body) and the maker's receiver (which reads it back).
// Nothing here allocates, logs or ends the process: the callers decide.
#pragma once

#include <cstddef>
#include <cstdint>

std::uint32_t Crc32(const void* buffer, std::uint32_t length);

// Bytes into text of the characters "!" to "`": the source length as eight
// hexadecimal digits, then four characters per three bytes, the last group
// padded with zero bytes, and a terminator. capacity is the room in and
// the characters written (terminator excluded) out; 0 when the room ran out.
std::int32_t EncodeSixBit(const unsigned char* source, std::int32_t length, char* destination, std::int32_t* capacity);
// The encoder's text of textLength characters back into bytes: 1 with
// *length bytes in destination (capacity bytes of room); 0 when the text is
// not exactly what the encoder writes for its announced length.
std::int32_t DecodeSixBit(const char* text, std::int32_t textLength, unsigned char* destination, std::int32_t capacity,
                          std::int32_t* length);

// XORs every byte with a key byte of its position; twice gives it back.
void RegistrationScramble(unsigned char* profile, std::int32_t length);

// The program's profile buffer: no profile is longer.
constexpr std::int32_t kProfileBuffer = 20480;
// The version text's length is sent as two hexadecimal digits.
constexpr std::int32_t kRegistrationVersionMax = 255;

constexpr std::int32_t RegistrationEncodedLength(std::int32_t n) { return 8 + 4 * ((n + 2) / 3); }
constexpr std::int32_t RegistrationHeaderLength(std::int32_t versionLength) { return 34 + versionLength; }
// The longest body a program can send.
constexpr std::int32_t kRegistrationBodyMax =
    RegistrationHeaderLength(kRegistrationVersionMax) + RegistrationEncodedLength(kProfileBuffer);

// The body of the scrambled profile of n bytes: "%.8X%.2X%s%.8X%.8X%.8X"
// (total, version length, version, n, encoded length, CRC-32 of the encoded
// text), then the encoded text and a terminator, in capacity bytes. 0 when
// they would not fit (nothing is written past capacity).
std::int32_t RegistrationFrame(const unsigned char* scrambled, std::int32_t n, const char* version, char* body,
                               std::int32_t capacity, std::int32_t* total);

// What is wrong with a body, in the order the reader finds it.
enum RegistrationFault : std::int32_t {
  BodyAccepted = 0,
  BodyShort,          // shorter than its header
  BodyHeaderDigits,   // a length or the CRC is not upper-case hexadecimal
  BodyVersion,        // the version text holds a zero byte
  BodyTotal,          // the announced total is not the length received
  BodyTooLarge,       // the profile is longer than any program sends
  BodyEncodedLength,  // the encoded length does not fit the profile length
  BodyCrc,            // the CRC-32 of the encoded text does not match
  BodyEncoding,       // the encoded text is not what the encoder writes
  ProfileFields,      // the profile is not a run of numbered fields
};
const char* RegistrationFaultText(RegistrationFault fault);

// Checks a body of length bytes and reads it back: the version text (into
// version, kRegistrationVersionMax + 1 bytes, terminated) and the profile,
// descrambled, into profile (kProfileBuffer bytes), *n its length.
RegistrationFault RegistrationUnframe(const char* body, std::int32_t length, char* version, unsigned char* profile,
                                      std::int32_t* n);

// One field of a profile: its number and its value (not terminated).
struct ProfileField {
  std::int32_t number;
  const unsigned char* value;
  std::int32_t length;
};
// The field at *position of a profile of n bytes; *position moves past it.
// 1 with a field, 0 at the end, -1 where no field starts (0x02 and three
// digits). A 0x02 inside a value that is not followed by three digits is
// taken as part of the value: a user may have typed it.
std::int32_t ProfileNextField(const unsigned char* profile, std::int32_t n, std::int32_t* position,
                              ProfileField* field);
