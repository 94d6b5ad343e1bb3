// The registration body's codec, both ways: the receiver must read back
// exactly what the program's encoder wrote, and refuse anything else.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "appinfo.h"
#include "codec/codec.h"
#include "register/register.h"

namespace {

std::string Encoded(const std::string& bytes) {
  std::vector<char> out(static_cast<std::size_t>(RegistrationEncodedLength(static_cast<std::int32_t>(bytes.size()))) +
                        1);
  std::int32_t room = static_cast<std::int32_t>(out.size());
  EncodeSixBit(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<std::int32_t>(bytes.size()),
               out.data(), &room);
  return std::string(out.data(), static_cast<std::size_t>(room));
}

// 1 and the bytes, or 0.
std::pair<std::int32_t, std::string> Decoded(const std::string& text) {
  unsigned char out[64];
  std::int32_t length = -1;
  std::int32_t ok = DecodeSixBit(text.data(), static_cast<std::int32_t>(text.size()), out, sizeof out, &length);
  return {ok, ok ? std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)) : ""};
}

// A body as the program frames it, around a profile given in clear.
std::string Body(std::string profile, const char* version = "1.50") {
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()));
  std::vector<char> body(static_cast<std::size_t>(kRegistrationBodyMax) + 1);
  std::int32_t total = 0;
  EXPECT_EQ(RegistrationFrame(reinterpret_cast<const unsigned char*>(profile.data()),
                              static_cast<std::int32_t>(profile.size()), version, body.data(),
                              static_cast<std::int32_t>(body.size()), &total),
            1);
  return std::string(body.data(), static_cast<std::size_t>(total));
}

struct Unframed {
  RegistrationFault fault;
  std::string version;
  std::string profile;
};

Unframed Unframe(const std::string& body) {
  std::vector<unsigned char> profile(kProfileBuffer);
  char version[kRegistrationVersionMax + 1] = "";
  std::int32_t n = 0;
  RegistrationFault fault =
      RegistrationUnframe(body.data(), static_cast<std::int32_t>(body.size()), version, profile.data(), &n);
  return {fault, version, std::string(reinterpret_cast<char*>(profile.data()), static_cast<std::size_t>(n))};
}

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%.8X", value);
  return text;
}

// The body with its header's CRC made right again for a changed text.
std::string WithCrc(std::string body, std::size_t header) {
  std::string crc = Hex8(Crc32(body.data() + header, static_cast<std::uint32_t>(body.size() - header)));
  return body.replace(header - 8, 8, crc);
}

// As long as a real profile (more than 130 bytes), so that the program's
// body buffer of twice its length holds it.
const std::string kProfile = std::string("\x02") + "000v1.50 (Release)" + "\x02" + "202" + std::string(120, 'a') +
                             "\x02" + "207jane@example.com" + "\x02" + "209" + "\x02" + "400No";

}  // namespace

TEST(CodecSixBit, DecodesWhatTheEncoderWrites) {
  EXPECT_EQ(Encoded("abc"), "0000000397*D");
  EXPECT_EQ(Encoded("abcd"), "0000000497*D:!!!");
  for (std::size_t n = 0; n <= 7; ++n) {
    std::string bytes;
    for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>(0xF0 + i);
    EXPECT_EQ(Decoded(Encoded(bytes)), std::make_pair(1, bytes)) << n;
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string text = Encoded(all);
  std::vector<unsigned char> back(256);
  std::int32_t length = 0;
  ASSERT_EQ(DecodeSixBit(text.data(), static_cast<std::int32_t>(text.size()), back.data(), 256, &length), 1);
  EXPECT_EQ(std::string(back.begin(), back.end()), all);
}

TEST(CodecSixBit, RefusesWhatTheEncoderNeverWrites) {
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "no length"},
      {"0000000397*", "a character short"},
      {"0000000397*D!", "a character over"},
      {"0000000497*D", "a group short of the announced length"},
      {"0000000297*D", "the padding is not zero"},
      {"0000000297*a", "a character past the set"},
      {"0000000397 D", "a character below the set"},
      {"0000000a97*D", "lower-case length digit"},
      {"+0000003097*D", "a sign in the length"},
      {"0000004097*D", "a length beyond the room"},
  };
  for (const auto& c : cases) EXPECT_EQ(Decoded(c.text).first, 0) << c.why;
}

TEST(CodecBody, ReadsBackTheProgramsBody) {
  // The program's own framing: RegistrationBody with its version.
  std::string profile = kProfile;
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()));
  std::vector<char> body(2 * profile.size());
  std::int32_t total = 0;
  ASSERT_EQ(RegistrationBody(reinterpret_cast<const unsigned char*>(profile.data()),
                             static_cast<std::int32_t>(profile.size()), body.data(), &total),
            1);
  Unframed back = Unframe(std::string(body.data(), static_cast<std::size_t>(total)));
  EXPECT_EQ(back.fault, BodyAccepted);
  EXPECT_EQ(back.version, AppInfo.version);
  EXPECT_EQ(back.profile, kProfile);

  // The known example: 300 bytes under "1.50".
  std::string framed = Body(std::string(300, 'a'));
  EXPECT_EQ(framed.size(), 446u);
  EXPECT_EQ(framed.substr(0, 30), "000001BE041.500000012C00000198");
}

TEST(CodecBody, RefusesDamagedBodies) {
  const std::string good = Body(kProfile);
  const std::size_t header = 38;  // "1.50"
  ASSERT_EQ(Unframe(good).fault, BodyAccepted);
  std::string overlong = good;
  overlong.replace(14, 8, Hex8(kProfileBuffer + 1));
  const struct {
    std::string body;
    RegistrationFault fault;
    const char* why;
  } cases[] = {
      {"", BodyShort, "empty"},
      {good.substr(0, 20), BodyShort, "cut inside the header"},
      {good.substr(0, good.size() - 4), BodyTotal, "the last group lost"},
      {good + "!!!!", BodyTotal, "a group more"},
      {std::string(good).replace(0, 8, Hex8(static_cast<std::uint32_t>(good.size() + 4))) + "!!!!", BodyEncodedLength,
       "a group more, announced"},
      {std::string(good).replace(0, 1, "x"), BodyHeaderDigits, "the total is not hexadecimal"},
      {std::string(good).replace(good.find("0000"), 1, " "), BodyHeaderDigits, "a blank in the total"},
      {std::string(good).replace(30, 1, "a"), BodyHeaderDigits, "lower-case CRC digit"},
      {std::string(good).replace(8, 2, "FF"), BodyShort, "a version longer than the body"},
      {std::string(good).replace(11, 1, std::string(1, '\0')), BodyVersion, "a zero byte in the version"},
      {std::string(good).replace(14, 8, Hex8(static_cast<std::uint32_t>(kProfile.size() + 3))), BodyEncodedLength,
       "a profile length for another group count"},
      {overlong, BodyTooLarge, "a profile longer than the program's buffer"},
      {std::string(good).replace(header + 9, 1, good[header + 9] == '!' ? "\"" : "!"), BodyCrc,
       "one character changed"},
      {WithCrc(std::string(good).replace(header + 9, 1, "a"), header), BodyEncoding,
       "a character outside the set, CRC made right"},
      {WithCrc(std::string(good).replace(header + 7, 1, good[header + 7] == '0' ? "1" : "0"), header), BodyEncoding,
       "the encoder's own length differs"},
      {Body(""), ProfileFields, "an empty profile"},
      {Body("hello"), ProfileFields, "no field at the start"},
      {Body(std::string("\x02") + "20"), ProfileFields, "a field number cut"},
      {Body(std::string("\x02") + "207jane" + std::string(1, '\0') + "x"), ProfileFields, "a zero byte in a value"},
  };
  for (const auto& c : cases) EXPECT_EQ(Unframe(c.body).fault, c.fault) << c.why;
}

TEST(CodecBody, TheLongestBodyFitsItsBound) {
  std::string profile(kProfileBuffer, 'x');
  profile[0] = 2;
  profile[1] = profile[2] = profile[3] = '9';
  std::string body = Body(profile, std::string(kRegistrationVersionMax, 'v').c_str());
  EXPECT_EQ(body.size(), static_cast<std::size_t>(kRegistrationBodyMax));
  EXPECT_EQ(Unframe(body).fault, BodyAccepted);
  std::vector<char> small(100);
  std::int32_t total = 0;
  EXPECT_EQ(RegistrationFrame(reinterpret_cast<const unsigned char*>(profile.data()), 60, "1.50", small.data(),
                              static_cast<std::int32_t>(small.size()), &total),
            0);
  EXPECT_EQ(RegistrationFrame(reinterpret_cast<const unsigned char*>(profile.data()), 1, std::string(256, 'v').c_str(),
                              body.data(), static_cast<std::int32_t>(body.size()), &total),
            0);
}

TEST(CodecProfile, FieldsInOrderAndMarksInsideValues) {
  const std::string profile =
      std::string("\x02") + "000v1.50" + "\x02" + "209" + "\x02" + "200Jo\x02" + "e" + "\x02" + "2015" + "\x02" + "12x";
  // "\x02" "12x" starts no field: it belongs to field 201.
  const std::vector<std::pair<int, std::string>> expected = {{0, "v1.50"},
                                                             {209, ""},
                                                             {200,
                                                              "Jo\x02"
                                                              "e"},
                                                             {201,
                                                              "5\x02"
                                                              "12x"}};
  std::vector<std::pair<int, std::string>> fields;
  std::int32_t position = 0;
  ProfileField field;
  const auto* bytes = reinterpret_cast<const unsigned char*>(profile.data());
  std::int32_t n = static_cast<std::int32_t>(profile.size());
  while (ProfileNextField(bytes, n, &position, &field) == 1)
    fields.push_back({field.number,
                      std::string(reinterpret_cast<const char*>(field.value), static_cast<std::size_t>(field.length))});
  EXPECT_EQ(fields, expected);
  EXPECT_EQ(position, n);
  position = 0;
  EXPECT_EQ(ProfileNextField(reinterpret_cast<const unsigned char*>("x"), 1, &position, &field), -1);
}
