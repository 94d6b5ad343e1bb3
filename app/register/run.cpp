// The registration as the "REGISTER" command runs it: the question, the
// form and the e-mail confirmation, the profile, and the submission by
// phases (through the proxy, directly, then directly again on request).
#include "register.h"

#include "handlers.h"
#include "progress.h"
#include "resource.h"
#include "settings.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "appinfo.h"
#include "problems.h"

namespace {

constexpr const char* kUnit = "register";
bool g_confirmed = false;

// The form until it is accepted or declined; a cancelled e-mail
// confirmation brings it back with everything typed. 1 when accepted.
std::int32_t AskForm(OsHandle owner) {
  for (;;) {
    std::intptr_t form = OsDialogBox(AppInfo.instance, IDD_REGISTRATION, owner, RegistrationFormProcedure, 0);
    if (form != 1) return 0;  // declined, or the form could not be shown
    if (Registration.ListServer != ListServerYes) return 1;
    if (OsDialogBox(AppInfo.instance, IDD_EMAIL_VERIFY, owner, EmailVerifyProcedure, 0) == 1) return 1;
  }
}

}  // namespace

std::int32_t RegistrationConfirmed() { return g_confirmed ? 1 : 0; }

std::int32_t RegistrationReplyConfirms(const char* reply) {
  char* at = nullptr;
  return StrFindNoCase(reply, "RegSuccess", &at);
}

std::int32_t RegistrationSubmit(const char* url, std::int32_t proxy, const unsigned char* profile, std::int32_t n) {
  CHECK_POINTER(kUnit, url);
  CHECK_POINTER(kUnit, profile);
  char* reply = static_cast<char*>(MemoryAlloc(kRegistrationReply, kUnit, __LINE__));
  std::int32_t bodyRoom = 2 * n;
  char* body = static_cast<char*>(MemoryAlloc(bodyRoom, kUnit, __LINE__));
  std::int32_t total = 0;
  RegistrationBody(profile, n, body, &total);
  char agent[kRegistrationCaption];
  StrFormatBounded(agent, sizeof agent, "Quillon Register %s (%s)", AppInfo.name, kMakerWebHost);
  std::int32_t result = RegistrationPost(url, proxy, agent, body, total, reply, kRegistrationReply);
  MemoryFree(&body, bodyRoom, kUnit, __LINE__);
  MemoryFree(&reply, kRegistrationReply, kUnit, __LINE__);
  return result;
}

std::int32_t RegistrationRun(OsHandle owner, const char* question, const char* url, const char* label,
                             InstallSettings* settings) {
  CHECK_POINTER(kUnit, question);
  CHECK_POINTER(kUnit, url);
  CHECK_POINTER(kUnit, label);
  CHECK_POINTER(kUnit, settings);
  g_confirmed = false;
  StrFormatBounded(RegistrationCaption, sizeof RegistrationCaption, "%s %s Registration...", settings->CompanyName,
                   settings->ProductName);
  if (!AskYesNo(question, RegistrationCaption)) return 0;
  if (settings->Text[0] == '\0') StrCopyBounded(settings->Text, "REG");
  RegistrationLoad();
  if (!AskForm(owner)) return 0;

  ProgressWindowSet(0.0);
  ProgressWindowShow(1);
  unsigned char* profile = static_cast<unsigned char*>(MemoryAlloc(kProfileBuffer, kUnit, __LINE__));
  std::int32_t n = 0;
  RegistrationProfile(settings, label, reinterpret_cast<char*>(profile), &n);
  RegistrationScramble(profile, n);
  LogPrint("Send registration to '%s' (%d)\n", url, n);

  std::int32_t result = 0;
  std::int32_t phase = 0;
  for (;;) {
    LogPrint("Submission on phase %d\n", phase);
    if (phase < 2) {
      // Through the user's proxy first, then directly.
      result = RegistrationSubmit(url, phase == 0 ? 1 : 0, profile, n);
      if (result == 1) break;
      phase = phase == 0 ? 1 : 2;
    } else if (AskYesNo("There was a problem sending your registration, would you like to try again?",
                        RegistrationCaption)) {
      phase = 1;  // a retry always goes directly
    } else {
      result = 0;
      break;
    }
  }
  // The next form offers the already-subscribed answer.
  if (result == 1 && Registration.ListServer == ListServerYes && settings->ListServerName[0] != '\0') {
    Registration.ListServer = ListServerAlready;
    RegistrationSave();
  }
  MemoryFree(&profile, kProfileBuffer, kUnit, __LINE__);
  ProgressWindowShow(0);
  if (result == 1) {
    g_confirmed = true;
    ShowProblem("Your registration has been successfully sent!  Thank you!", RegistrationCaption);
  }
  return result;
}

std::int32_t HandleRegister(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  char url[kSettingsText];
  char label[kSettingsText];
  char question[kSettingsText];
  std::int32_t urlFits = ReadArgument(arguments, url, consumed);
  ReadArgument(arguments, label, consumed);
  ReadArgument(arguments, question, consumed);
  if (settings->Mode == RunModeRegister || settings->Mode == RunModeInstallerRegister) {
    // A cut URL names another server: nothing is sent to it.
    if (!urlFits) {
      LogPrint("Unable to use registration URL '%s...'\n", url);
      settings->Mode = RunModeNone;
    } else if (!RegistrationRun(settings->OwnerWindow, question, url, label, settings)) {
      settings->Mode = RunModeNone;
    }
  }
  settings->Text[0] = '\0';
  return 1;
}
