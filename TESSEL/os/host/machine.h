// The host's stand-in for a Windows machine: a folder laid out like a Wine
// prefix. drive_c/ is C:, drive_<x>/ any other drive letter, and Z: is the
// host's own root. Chosen by TESSEL_MACHINE, by default ~/.tessel-machine.
#pragma once

#include <string>

namespace host {

// The machine root folder (host path, no trailing '/'); created on first use
// with the Windows, system, temporary and Start-menu folders.
const std::string& MachineRoot();
// The user name the machine's folders are laid out for.
const std::string& UserName();
// A Windows path (absolute, drive-relative or relative to the current
// folder) as a host path.
std::string HostPath(const char* windowsPath);
// A host path as a Windows path: under drive_<x>/ it is on that drive,
// anywhere else on Z:.
std::string WindowsPath(const std::string& hostPath);
// The process's current folder, a Windows path ending in '\'.
std::string& CurrentFolder();
// Creates a host folder and its parents.
void MakeFolders(const std::string& hostPath);

}  // namespace host
