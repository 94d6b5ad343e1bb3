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

