// Problems, questions and run modes: the two standard message boxes that
// every unit of the program uses, and the mode the script runs in. It sits
// below the script engine and the command handlers, so that they need
// nothing from the entry.
#pragma once

#include <cstdint>

using RunMode = std::int32_t;
constexpr RunMode RunModeNone = 0;
constexpr RunMode RunModeUninstall = 3;
constexpr RunMode RunModeRegister = 4;
constexpr RunMode RunModeInstallerRegister = 6;
constexpr RunMode RunModeUpdate = 7;

// A box with no owner, the text, an OK button; caption "Uninstall
// problem..." when none is given. Gives 1.
std::int32_t ShowProblem(const char* text, const char* caption);
// Yes and No with the question icon; caption "Uninstall..." when none is
// given. 1 for Yes; 0 for No and for a box that gave no answer.
std::int32_t AskYesNo(const char* text, const char* caption);

// ---- unattended runs ------------------------------------------------------
// A run that nobody watches (-Quiet): the question is answered Yes, and the
// boxes are written to the log instead of being shown.
void SetUnattended(bool unattended);
bool Unattended();

// What an unattended run ends with, for the program that started it.
constexpr std::int32_t kExitRemoved = 0;
constexpr std::int32_t kExitFault = 1;
constexpr std::int32_t kExitNotInstalled = 2;
constexpr std::int32_t kExitIncomplete = 3;
constexpr std::int32_t kExitDamaged = 4;
// The program's copy in the temporary folder could not be made or started:
// nothing was done.
constexpr std::int32_t kExitNotStarted = 5;
constexpr std::int32_t kExitRestartNeeded = 3010;
// Records how the run went; of several reports the gravest stands (a fault,
// then a damaged script, nothing installed, an incomplete removal, a
// restart still needed, removed).
void ReportOutcome(std::int32_t code);
std::int32_t RunOutcome();
