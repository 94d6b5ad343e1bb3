// The registration: profile fields and their words, the scrambled and
// encoded body, the form's checks and its answers, and the record under the
// installer key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/handlers.h"
#include "register/register.h"
#include "registry.h"
#include "resource.h"
#include "support.h"
#include "tessel-core.h"
#include "winhelpr.h"
#include "winmain.h"

namespace {

// One field written at the start of a buffer: the bytes up to the new
// position, and the position's distance from the start.
std::pair<std::string, long> Field(std::int32_t number, const char* value) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  char* p = buffer;
  ProfileAddField(&p, number, "%s", value);
  return {std::string(buffer, static_cast<std::size_t>(p - buffer)), static_cast<long>(p - buffer)};
}

RegistrationRecord Filled() {
  RegistrationRecord r = {};
  r.ListServer = ListServerNo;
  const char* values[10] = {"Jane", "Doe",   "12 Harbour Road",  "Portsmouth",   "NH",
                            "USA",  "03801", "jane@example.com", "555-123-4567", "A friend"};
  char* fields[10] = {r.FirstName, r.LastName, r.Address, r.City,  r.State,
                      r.Country,   r.Zip,      r.Email,   r.Phone, r.HowFound};
  for (int i = 0; i < 10; ++i) std::strcpy(fields[i], values[i]);
  return r;
}

}  // namespace

TEST(RegisterProfile, FieldsAreTrimmedOrLeftOut) {
  struct Case {
    const char* value;
    std::string bytes;
  } cases[] = {
      {"abc", std::string("\x02"
                          "007abc")},
      {"abc  \r\n", std::string("\x02"
                                "007abc")},
      {"a b\t\x01", std::string("\x02"
                                "007a b")},
      {"   ", std::string("\x02"
                          "007")},  // present, with an empty value
      {"", std::string()},          // left out
  };
  for (const Case& c : cases) {
    auto [bytes, moved] = Field(7, c.value);
    EXPECT_EQ(bytes, c.bytes) << "value '" << c.value << "'";
    EXPECT_EQ(moved, static_cast<long>(c.bytes.size()));
  }
  // The next field starts at the terminator of the last.
  char buffer[64];
  char* p = buffer;
  ProfileAddField(&p, 7, "%s", "abc");
  EXPECT_EQ(*p, '\0');
  ProfileAddField(&p, 8, "%s", "");
  ProfileAddField(&p, 401, "%d", 12);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(p - buffer)), std::string("\x02"
                                                                                   "007abc\x02"
                                                                                   "40112"));
}

TEST(RegisterProfile, ModeAndListServerWords) {
  EXPECT_STREQ(RegistrationModeName(RunModeRegister), "Standalone");
  EXPECT_STREQ(RegistrationModeName(RunModeInstallerRegister), "Installer");
  for (std::int32_t mode : {0, 3, 5, 7}) EXPECT_STREQ(RegistrationModeName(mode), "Unknown") << mode;
  const char* words[] = {"No answer", "Yes", "Already", "No", "Unknown"};
  for (std::int32_t value = 0; value < 5; ++value) EXPECT_STREQ(ListServerWord(value), words[value]);
  EXPECT_STREQ(ListServerWord(-1), "Unknown");
}

TEST(RegisterProfile, OperatingSystemTexts) {
  struct Case {
    OsVersionInfo version;
    const char* text;
  } cases[] = {
      {{4, 10, 0x040A08AEu, 1, ""}, "Microsoft Windows 98 4.10.2222 "},  // only the low word of the build
      {{4, 0, 0x040003B6u, 1, " C"}, "Microsoft Windows 95 4.0.950  C"},
      {{4, 10, 0x040A08AEu, 2, "Service Pack 6"}, "Microsoft Windows NT 4.10.67766446 Service Pack 6"},
      {{3, 10, 0x20000, 0, "x"}, "Microsoft Windows 3.1 3.10.0 x"},
      {{5, 1, 2600, 3, ""}, "[3] 5.1.2600 "},
  };
  for (const Case& c : cases) {
    char text[320];
    OperatingSystemText(&c.version, text, sizeof text);
    EXPECT_STREQ(text, c.text);
  }
  char text[320];
  OperatingSystemText(nullptr, text, sizeof text);
  EXPECT_STREQ(text, "Unknown");
}

TEST(RegisterPayload, ScramblingIsItsOwnInverse) {
  unsigned char bytes[4] = {0x41, 0x41, 0x41, 0x41};
  RegistrationScramble(bytes, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string("\x41\x40\x42\x45"));
  unsigned char key[200] = {};
  RegistrationScramble(key, 200);
  const int expected[][2] = {{0, 0}, {1, 1}, {2, 3}, {10, 15}, {31, 47}, {168, 254}, {169, 0}};
  for (const auto& e : expected) EXPECT_EQ(key[e[0]], e[1]) << "k(" << e[0] << ")";
  RegistrationScramble(key, 200);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(key[i], 0) << i;
}

TEST(RegisterPayload, BodyHeaderAndEncodedProfile) {
  unsigned char profile[300];
  for (int i = 0; i < 300; ++i) profile[i] = static_cast<unsigned char>(i * 7 + 3);
  char body[600];
  std::memset(body, '#', sizeof body);
  std::int32_t total = 0;
  ASSERT_EQ(RegistrationBody(profile, 300, body, &total), 1);
  EXPECT_EQ(total, 446);
  std::string text(body, static_cast<std::size_t>(total));
  EXPECT_EQ(text.substr(0, 10), "000001BE04");
  EXPECT_EQ(text.substr(10, 4), "1.50");
  EXPECT_EQ(text.substr(14, 16), "0000012C00000198");
  std::string encoded = text.substr(38);
  char crc[9];
  std::snprintf(crc, sizeof crc, "%.8X", Crc32(encoded.data(), static_cast<std::uint32_t>(encoded.size())));
  EXPECT_EQ(text.substr(30, 8), crc);
  EXPECT_EQ(encoded.substr(0, 8), "0000012C");
  for (char c : encoded.substr(8)) ASSERT_TRUE(c >= '!' && c <= '`') << c;
  // Read back by the receiver's decoder, the same codec.
  unsigned char decoded[300];
  std::int32_t length = 0;
  ASSERT_EQ(DecodeSixBit(encoded.data(), static_cast<std::int32_t>(encoded.size()), decoded, 300, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), static_cast<std::size_t>(length)),
            std::string(reinterpret_cast<char*>(profile), 300));
  EXPECT_EQ(body[total], '\0');  // the encoder's terminator, inside the buffer
  EXPECT_EQ(body[total + 1], '#');
}

// A profile too short for the body's 2 x n bytes ends the run before the
// encoder could write past the buffer.
TEST(RegisterPayloadDeathTest, EncoderRoomIsCheckedFirst) {
  std::string path = TempPath("register-encoder.log");
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        unsigned char profile[60] = {};
        char body[120];
        std::int32_t total = 0;
        RegistrationBody(profile, 60, body, &total);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(path).find("Encoder failed (60 / 82)!\n"), std::string::npos) << LogText(path);
  // Just enough room: 76 bytes need 8 + 4 x 26 and a terminator, 114 are there.
  unsigned char profile[76] = {};
  char body[152];
  std::int32_t total = 0;
  EXPECT_EQ(RegistrationBody(profile, 76, body, &total), 1);
  EXPECT_EQ(total, 38 + 112);
}

TEST(RegisterForm, ChecksInOrder) {
  RegistrationRecord r = Filled();
  EXPECT_EQ(RegistrationFormProblem(r), nullptr);
  struct Case {
    void (*change)(RegistrationRecord&);
    const char* problem;
  } cases[] = {
      // No answer comes first, even with every field empty.
      {[](RegistrationRecord& x) { x = RegistrationRecord{}; },
       "You must choose if you wish to receive updates or not."},
      {[](RegistrationRecord& x) { x.ListServer = -2; }, "You must choose if you wish to receive updates or not."},
      {[](RegistrationRecord& x) { x.HowFound[0] = '\0'; }, "All fields must be filled in correctly."},
      {[](RegistrationRecord& x) {
         x.FirstName[0] = '\0';
         std::strcpy(x.Email, "bad");
       },
       "All fields must be filled in correctly."},
      {[](RegistrationRecord& x) { std::strcpy(x.Email, "jane@example.c0m"); },
       "The email address does not appear to be valid."},
      {[](RegistrationRecord& x) { std::strcpy(x.Email, "jane@x.y"); },
       "The email address does not appear to be valid."},
      {[](RegistrationRecord& x) { std::strcpy(x.Email, "jane@@example.com"); },
       "The email address does not appear to be valid."},
      {[](RegistrationRecord& x) { std::strcpy(x.Email, "j.a+n_e@ex-ample.com"); }, nullptr},
      {[](RegistrationRecord& x) { std::strcpy(x.Phone, " "); }, nullptr},  // a blank counts as filled
      {[](RegistrationRecord& x) { x.ListServer = ListServerAlready; }, nullptr},
  };
  for (const Case& c : cases) {
    RegistrationRecord x = Filled();
    c.change(x);
    const char* problem = RegistrationFormProblem(x);
    EXPECT_STREQ(problem ? problem : "(accepted)", c.problem ? c.problem : "(accepted)");
  }
}

// The form's own procedure on a real dialog, where one can be made.
TEST(RegisterForm, AnswersAreExclusiveAndAlreadyNeedsAnEarlierAnswer) {
  RegistrationClear();
  OsHandle form = OsCreateDialog(0, IDD_REGISTRATION, 0, RegistrationFormProcedure, 0);
  if (form == 0) GTEST_SKIP() << "no window can be created here (no display)";
  auto checked = [&form](std::int32_t id) {
    std::int32_t state = 0;
    GetCheckBox(form, id, &state);
    return state;
  };
  auto click = [&form](std::int32_t id) { SendItemMessage(form, id, kBmClick, 0, 0); };
  EXPECT_FALSE(OsIsWindowEnabled(OsDialogItem(form, IDC_REG_NEWS_ALREADY)));
  EXPECT_EQ(checked(IDC_REG_NEWS_YES) + checked(IDC_REG_NEWS_NO) + checked(IDC_REG_NEWS_ALREADY), 0);
  click(IDC_REG_NEWS_YES);
  EXPECT_EQ(checked(IDC_REG_NEWS_YES), 1);
  click(IDC_REG_NEWS_NO);
  EXPECT_EQ(checked(IDC_REG_NEWS_YES), 0);
  EXPECT_EQ(checked(IDC_REG_NEWS_NO), 1);
  click(IDC_REG_NEWS_NO);  // the checked box again: none is left
  EXPECT_EQ(checked(IDC_REG_NEWS_YES) + checked(IDC_REG_NEWS_NO) + checked(IDC_REG_NEWS_ALREADY), 0);
  OsDestroyWindow(form);

  // An earlier "no": that box checked, all three offered.
  Registration.ListServer = ListServerNo;
  std::strcpy(Registration.City, "Portsmouth");
  form = OsCreateDialog(0, IDD_REGISTRATION, 0, RegistrationFormProcedure, 0);
  ASSERT_NE(form, 0u);
  EXPECT_TRUE(OsIsWindowEnabled(OsDialogItem(form, IDC_REG_NEWS_ALREADY)));
  EXPECT_EQ(checked(IDC_REG_NEWS_NO), 1);
  EXPECT_EQ(SendItemMessage(form, IDC_REG_FIRST_NAME, kEmGetLimitText, 0, 0), 80);
  EXPECT_EQ(SendItemMessage(form, IDC_REG_ADDRESS, kEmGetLimitText, 0, 0), 160);
  EXPECT_EQ(SendItemMessage(form, IDC_REG_HOW_FOUND, kEmGetLimitText, 0, 0), 320);
  char city[80];
  GetDialogItemText(form, IDC_REG_CITY, city, sizeof city);
  EXPECT_STREQ(city, "Portsmouth");
  OsDestroyWindow(form);
  RegistrationClear();
}

TEST(RegisterRecord, FirstLoadWritesDefaultsAndOverlongValuesAreRefused) {
  RegistryDeleteKey(RegistryCurrentUser, AppInfo.installerKey);
  Registration.ListServer = 5;
  std::strcpy(Registration.HowFound, "typed last run");
  ASSERT_EQ(RegistrationLoad(), 1);
  EXPECT_EQ(Registration.ListServer, 0);
  EXPECT_STREQ(Registration.HowFound, "");
  RegistryKey key = kRegistryNoKey;
  ASSERT_EQ(RegistryOpenKey(&key, RegistryCurrentUser, AppInfo.installerKey), 1);
  char text[160] = "?";
  std::int32_t number = -1;
  for (const char* name : {"First Name", "Last Name", "Address", "City", "State", "Country", "Zip", "Email", "Phone"}) {
    std::strcpy(text, "?");
    EXPECT_EQ(RegistryGetString(key, name, text), 1) << name;
    EXPECT_STREQ(text, "") << name;
  }
  EXPECT_EQ(RegistryGetInteger(key, "ListServer", &number), 1);
  EXPECT_EQ(number, 0);
  // Another program's value of 100 characters does not fit the 80-byte field.
  RegistrySetString(key, "First Name", std::string(100, 'F').c_str());
  RegistrySetString(key, "Address", std::string(150, 'A').c_str());
  RegistrySetString(key, "Email", "jane@example.com");
  RegistrySetInteger(key, "ListServer", 3);
  RegistryCloseKey(&key);
  ASSERT_EQ(RegistrationLoad(), 1);
  EXPECT_STREQ(Registration.FirstName, "");
  EXPECT_EQ(std::string(Registration.Address), std::string(150, 'A'));
  EXPECT_STREQ(Registration.Email, "jane@example.com");
  EXPECT_EQ(Registration.ListServer, 3);
  RegistryDeleteKey(RegistryCurrentUser, AppInfo.installerKey);
  RegistrationClear();
}

TEST(RegisterHandler, OtherModesConsumeTheArgumentsAndEmptyText) {
  for (RunMode mode : {RunModeUninstall, RunModeUpdate, RunModeNone}) {
    InstallSettings settings{};
    settings.Mode = mode;
    std::strcpy(settings.Text, "VIEWER-STD");
    const char* arguments = "http://reg.example/r\x01label\x01Register now?\x01rest";
    std::int32_t consumed = 0;
    EXPECT_EQ(HandleRegister(&settings, arguments, &consumed), 1);
    EXPECT_EQ(consumed, static_cast<std::int32_t>(std::strlen("http://reg.example/r\x01label\x01Register now?\x01")));
    EXPECT_EQ(settings.Mode, mode);
    EXPECT_STREQ(settings.Text, "");
  }
}

TEST(RegisterHandler, ACutUrlIsNeverPostedTo) {
  // 200 characters do not fit the 160 of the field: the cut text would name
  // another server.
  const std::string url = "http://reg.example/" + std::string(200, 'r');
  const std::string arguments = url + "\x01label\x01Register now?\x01";
  InstallSettings settings{};
  settings.Mode = RunModeRegister;
  const std::string logPath = TempPath("register-cut.log");
  StartLog(logPath, LogFile);
  std::int32_t consumed = 0;
  EXPECT_EQ(HandleRegister(&settings, arguments.c_str(), &consumed), 1);
  StopLog();
  EXPECT_EQ(settings.Mode, RunModeNone);
  std::string log = LogText(logPath);
  EXPECT_NE(log.find("Unable to use registration URL 'http://reg.example/rrr"), std::string::npos) << log;
  EXPECT_EQ(log.find("Send registration"), std::string::npos) << log;
}
