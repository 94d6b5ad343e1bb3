// Problems, questions and run modes.
#include "problems.h"

#include "os.h"
#include "tessel-core.h"

namespace {

bool g_unattended = false;
std::int32_t g_outcome = kExitRemoved;

// How grave an outcome is: the higher, the more the caller must know it.
int Gravity(std::int32_t code) {
  switch (code) {
    case kExitFault: return 5;
    case kExitDamaged: return 4;
    case kExitNotInstalled: return 3;
    case kExitIncomplete: return 2;
    case kExitRestartNeeded: return 1;
    default: return 0;
  }
}

}  // namespace

void SetUnattended(bool unattended) { g_unattended = unattended; }
bool Unattended() { return g_unattended; }

void ReportOutcome(std::int32_t code) {
  if (Gravity(code) > Gravity(g_outcome)) g_outcome = code;
}

std::int32_t RunOutcome() { return g_outcome; }

std::int32_t ShowProblem(const char* text, const char* caption) {
  if (caption == nullptr) caption = "Uninstall problem...";
  if (g_unattended) {
    LogPrint("[%s] %s\n", caption, text);
    return 1;
  }
  OsMessageBox(text, caption, kMbOk);
  return 1;
}

std::int32_t AskYesNo(const char* text, const char* caption) {
  if (caption == nullptr) caption = "Uninstall...";
  if (g_unattended) {
    // Whoever started an unattended run has already agreed.
    LogPrint("[%s] %s Yes\n", caption, text);
    return 1;
  }
  int answer = OsMessageBox(text, caption, kMbYesNo | kMbIconQuestion);
  // A box that could not be shown gave no consent.
  return answer == kIdYes ? 1 : 0;
}
