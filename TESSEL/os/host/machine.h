// The host's stand-in for a Windows machine: a folder laid out like a Wine
// prefix. drive_c/ is C:, drive_<x>/ any other drive letter, unc/ the UNC
// shares, and Z: is the host's own root. Chosen by TESSEL_MACHINE, by
// default ~/.tessel-machine.
//
// The machine root is a sandbox: every Windows path is made canonical the
// way Windows makes it, so ".." never climbs above a drive's root, and a
// change (a write, a new file or folder, a deletion) is made only where the
// real location, symbolic links followed, lies inside one of the machine's
// drive folders. Z: can be read everywhere but changed nowhere else.
#pragma once

#include <string>
#include <vector>

namespace host {

// The machine root folder (host path, no trailing '/'); created on first use
// with the Windows, system, temporary and Start-menu folders.
const std::string& MachineRoot();
// The user name the machine's folders are laid out for.
const std::string& UserName();

// A Windows path taken apart as Windows takes it: the root ("C:" or
// "\\server\share", the share's names in names[0..1] of a UNC path) and the
// names below it. '/' is a separator like '\'; a "\\?\" prefix is
// understood; "." and ".." are resolved, ".." never above the root; a
// folder name loses one trailing dot and the last name its trailing dots
// and blanks; a path that is neither absolute nor drive-relative is taken
// from the current folder.
struct CanonicalPath {
  char drive = 0;  // 'c'..'z', or 0 for a UNC path
  std::vector<std::string> names;
  std::size_t rootNames = 0;  // 2 for a UNC path (server and share), else 0
  bool folder = false;        // written with a trailing separator
  bool sound = true;          // no name made of nothing but dots and blanks
};
CanonicalPath Canonical(const char* windowsPath);
// The canonical path written back as Windows text ("C:\a\b", "C:\"); the
// first form says whether the path was sound (see CanonicalPath::sound).
bool CanonicalText(const char* windowsPath, std::string* text);
std::string CanonicalText(const char* windowsPath);

// A Windows path as a host path (canonical first).
std::string HostPath(const char* windowsPath);
// A host path as a Windows path: under drive_<x>/ it is on that drive,
// anywhere else on Z:.
std::string WindowsPath(const std::string& hostPath);
// The process's current folder, a Windows path ending in '\'.
std::string& CurrentFolder();
// Creates a host folder and its parents.
void MakeFolders(const std::string& hostPath);

// Whether the host path (as HostPath gives it) may be changed: its folder's
// real location lies inside a drive folder of the machine root, and the
// path is not a drive folder itself. With followLink, a symbolic link at
// the path must lead inside too (a dangling one never does). When not, the
// last error is access denied.
bool MayChange(const std::string& hostPath, bool followLink);

}  // namespace host
