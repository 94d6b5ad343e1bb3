// Problems, questions and run modes.
#include "problems.h"

#include "os.h"

std::int32_t ShowProblem(const char* text, const char* caption) {
  OsMessageBox(text, caption ? caption : "Uninstall problem...", kMbOk);
  return 1;
}

std::int32_t AskYesNo(const char* text, const char* caption) {
  int answer = OsMessageBox(text, caption ? caption : "Uninstall...", kMbYesNo | kMbIconQuestion);
  // A box that could not be shown gave no consent.
  return answer == kIdYes ? 1 : 0;
}
