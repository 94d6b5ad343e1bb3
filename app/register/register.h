// The user's registration: the record kept under the installer key, the
// form and the e-mail confirmation, the profile of product, user and
// machine with its scrambled and encoded body, and the submission.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"
#include "os.h"
#include "registry.h"

struct InstallSettings;

// ---- the record (record.cpp) ---------------------------------------------
constexpr int kRegistrationText = 80;
constexpr int kRegistrationAddress = 160;
constexpr int kRegistrationHowFound = 320;
constexpr int kRegistrationCaption = 120;

// ListServer: the answer to the question about news.
constexpr std::int32_t ListServerNoAnswer = 0;
constexpr std::int32_t ListServerYes = 1;
constexpr std::int32_t ListServerAlready = 2;
constexpr std::int32_t ListServerNo = 3;

struct RegistrationRecord {
  std::int32_t ListServer;
  char FirstName[kRegistrationText];
  char LastName[kRegistrationText];
  char Address[kRegistrationAddress];
  char City[kRegistrationText];
  char State[kRegistrationText];
  char Country[kRegistrationText];
  char Zip[kRegistrationText];
  char Email[kRegistrationText];
  char Phone[kRegistrationText];
  char HowFound[kRegistrationHowFound];  // sent, never stored
};

extern RegistrationRecord Registration;
// The title of both dialogs and of every box the registration shows.
extern char RegistrationCaption[kRegistrationCaption];

std::int32_t RegistrationClear();
std::int32_t RegistrationLoad();
std::int32_t RegistrationSave();

// ---- the dialogs (dialogs.cpp) -------------------------------------------
std::intptr_t RegistrationFormProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam);
std::intptr_t EmailVerifyProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
// What the form says about the record when "Register Now!" is pressed, in
// the order it checks: null when the input is accepted.
const char* RegistrationFormProblem(const RegistrationRecord& record);

// ---- the profile (profile.cpp) -------------------------------------------
std::int32_t ProfileAddField(char** position, std::int32_t number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::int32_t ProfileAddRegistryValue(char** position, std::int32_t number, RegistryKey key, const char* name);
std::int32_t RegistrationProfile(const InstallSettings* settings, const char* label, char* buffer,
                                 std::int32_t* length);
// The words and texts the profile sends.
const char* RegistrationModeName(std::int32_t mode);
const char* ListServerWord(std::int32_t listServer);
// Field 310 from the system's version query.
void OperatingSystemText(const OsVersionInfo* version, char* out, std::size_t capacity);

// ---- the body (payload.cpp) ----------------------------------------------
// RegistrationScramble: in the codec (codec/codec.h).
// The POST body: header of lengths, version and CRC-32, then the encoded
// profile. The buffer holds 2 x n bytes; ends the process when the encoded
// text would not fit.
std::int32_t RegistrationBody(const unsigned char* profile, std::int32_t n, char* body, std::int32_t* total);

// ---- the submission (run.cpp, post.cpp) ----------------------------------
constexpr std::int32_t kRegistrationReply = 20480;

std::int32_t RegistrationRun(OsHandle owner, const char* question, const char* url, const char* label,
                             InstallSettings* settings);
std::int32_t RegistrationSubmit(const char* url, std::int32_t proxy, const unsigned char* profile, std::int32_t n);
// The one HTTP exchange: posts the body to the URL (through the user's
// proxy when proxy is 1) with the user agent and reads the reply into the
// buffer. 1 only when the reply confirmed the registration.
std::int32_t RegistrationPost(const char* url, std::int32_t proxy, const char* agent, const char* body,
                              std::int32_t length, char* reply, std::int32_t replyCapacity);
// Whether the reply received so far confirms the registration.
std::int32_t RegistrationReplyConfirms(const char* reply);
// Whether this run's registration was confirmed by the server: the
// shortcut that offered it may go only then.
std::int32_t RegistrationConfirmed();
