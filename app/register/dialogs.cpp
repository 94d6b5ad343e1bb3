// The registration form and the e-mail confirmation: their dialog
// procedures and the checks the form makes before it accepts the input.
#include "register.h"

#include "resource.h"
#include "tessel-str.h"
#include "winhelpr.h"
#include "appinfo.h"
#include "problems.h"

namespace {

// An edit of the form, the field it fills and the field's room, which is
// also the edit's input limit.
struct FormEdit {
  std::int32_t id;
  char* field;
  std::int32_t capacity;
};

template <std::size_t N>
FormEdit Edit(std::int32_t id, char (&field)[N]) {
  return {id, field, static_cast<std::int32_t>(N)};
}

constexpr int kEditCount = 10;

// In the order the form fills, reads and checks them.
void FormEdits(FormEdit (&out)[kEditCount]) {
  RegistrationRecord& r = Registration;
  FormEdit all[kEditCount] = {Edit(IDC_REG_FIRST_NAME, r.FirstName),
                              Edit(IDC_REG_LAST_NAME, r.LastName),
                              Edit(IDC_REG_ADDRESS, r.Address),
                              Edit(IDC_REG_CITY, r.City),
                              Edit(IDC_REG_STATE, r.State),
                              Edit(IDC_REG_COUNTRY, r.Country),
                              Edit(IDC_REG_ZIP, r.Zip),
                              Edit(IDC_REG_EMAIL, r.Email),
                              Edit(IDC_REG_PHONE, r.Phone),
                              Edit(IDC_REG_HOW_FOUND, r.HowFound)};
  for (int i = 0; i < kEditCount; ++i) out[i] = all[i];
}

constexpr std::int32_t kAnswers[3] = {IDC_REG_NEWS_YES, IDC_REG_NEWS_NO, IDC_REG_NEWS_ALREADY};

void ClearAnswers(OsHandle dialog) {
  for (std::int32_t id : kAnswers) SetCheckBox(dialog, id, 0);
}

// A dialog ends itself through its own close handler, with the result in
// the low word.
void EndWith(OsHandle dialog, std::int32_t result) {
  OsSendMessage(dialog, kWmClose, 0, static_cast<std::intptr_t>(result & 0xFFFF));
}

std::intptr_t CloseWithLowWord(OsHandle dialog, std::intptr_t lParam) {
  OsEndDialog(dialog, static_cast<std::int16_t>(lParam & 0xFFFF));
  return 1;
}

void InitForm(OsHandle dialog) {
  OsSetWindowText(dialog, RegistrationCaption);
  ClearAnswers(dialog);
  // Only someone who answered before can say they are already subscribed.
  if (Registration.ListServer < ListServerYes) EnableDialogItem(dialog, IDC_REG_NEWS_ALREADY, 0);
  if (Registration.ListServer == ListServerYes) SetCheckBox(dialog, IDC_REG_NEWS_YES, 1);
  if (Registration.ListServer == ListServerAlready) SetCheckBox(dialog, IDC_REG_NEWS_ALREADY, 1);
  if (Registration.ListServer == ListServerNo) SetCheckBox(dialog, IDC_REG_NEWS_NO, 1);
  FormEdit edits[kEditCount];
  FormEdits(edits);
  for (const FormEdit& e : edits) SetEditText(dialog, e.id, e.field, e.capacity);
  // Over the dialog's parent, the script's owner window: none in this
  // program, so over the desktop.
  CenterWindow(dialog, 0);
}

void RegisterNow(OsHandle dialog) {
  std::int32_t yes = 0, already = 0, no = 0;
  GetCheckBox(dialog, IDC_REG_NEWS_YES, &yes);
  GetCheckBox(dialog, IDC_REG_NEWS_ALREADY, &already);
  GetCheckBox(dialog, IDC_REG_NEWS_NO, &no);
  Registration.ListServer = ListServerNoAnswer;
  if (yes) Registration.ListServer = ListServerYes;
  if (already) Registration.ListServer = ListServerAlready;
  if (no) Registration.ListServer = ListServerNo;
  FormEdit edits[kEditCount];
  FormEdits(edits);
  // Each text is read with its field's room: nothing typed or pasted can
  // reach past a field.
  for (const FormEdit& e : edits) GetDialogItemText(dialog, e.id, e.field, e.capacity);
  if (const char* problem = RegistrationFormProblem(Registration)) {
    ShowProblem(problem, RegistrationCaption);
    return;
  }
  RegistrationSave();
  EndWith(dialog, 1);
}

}  // namespace

const char* RegistrationFormProblem(const RegistrationRecord& record) {
  if (record.ListServer <= ListServerNoAnswer) return "You must choose if you wish to receive updates or not.";
  const char* texts[kEditCount] = {record.FirstName, record.LastName, record.Address, record.City,  record.State,
                                   record.Country,   record.Zip,      record.Email,   record.Phone, record.HowFound};
  for (const char* text : texts)
    if (text[0] == '\0') return "All fields must be filled in correctly.";
  if (!IsValidEmail(record.Email)) return "The email address does not appear to be valid.";
  return nullptr;
}

std::intptr_t RegistrationFormProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
  if (message == kWmInitDialog) {
    InitForm(dialog);
    return 0;
  }
  if (message == kWmClose) return CloseWithLowWord(dialog, lParam);
  if (message != kWmCommand) return 0;
  std::int32_t id = static_cast<std::int32_t>(wParam & 0xFFFF);
  switch (id) {
    case IDC_REG_NEWS_NO:
    case IDC_REG_NEWS_YES:
    case IDC_REG_NEWS_ALREADY: {
      // The box has toggled itself already; the others are cleared.
      std::int32_t state = 0;
      GetCheckBox(dialog, id, &state);
      ClearAnswers(dialog);
      SetCheckBox(dialog, id, state);
      return 1;
    }
    case kIdOk: RegisterNow(dialog); return 1;
    case kIdCancel:
      if (AskYesNo("Are you sure you don't want to register?", RegistrationCaption)) EndWith(dialog, 0);
      return 1;
    default: return 0;
  }
}

std::intptr_t EmailVerifyProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
  if (message == kWmInitDialog) {
    OsSetWindowText(dialog, RegistrationCaption);
    CenterWindow(dialog, 0);
    return 0;
  }
  if (message == kWmClose) return CloseWithLowWord(dialog, lParam);
  if (message != kWmCommand) return 0;
  switch (wParam & 0xFFFF) {
    case kIdOk: {
      char again[kRegistrationCaption];
      GetDialogItemText(dialog, IDC_VERIFY_EMAIL, again, sizeof again);
      if (!StrEqualNoCase(again, Registration.Email)) {
        ShowProblem("The email address you entered does not match, please check your email address again",
                    RegistrationCaption);
        return 1;
      }
      EndWith(dialog, 1);
      return 1;
    }
    case kIdCancel: EndWith(dialog, 0); return 1;
    default: return 0;
  }
}
