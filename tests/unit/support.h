// Helpers shared by the unit tests.
#pragma once

#include <string>

// A fresh Windows path in the temporary folder (the file is removed first).
std::string TempPath(const std::string& name);
// A fresh Windows path in a scratch folder that is nobody's system folder,
// where a product's folder may lie (the temporary folder may not).
std::string ScratchPath(const std::string& name);
// The bytes of a file named by a Windows path; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
// Removes a file the tests' own programs left beside the build, which on the
// host lies outside the machine root, where the program may change nothing.
void RemoveBuildFile(const std::string& path);
// A log file's text with its CR LF line ends turned back into LF.
std::string LogText(const std::string& path);
// Starts the log into the given file with the given flags.
void StartLog(const std::string& path, unsigned flags);
// Back to the silent log that the test main starts with.
void StopLog();
