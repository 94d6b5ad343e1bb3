// Shared files: what the script names outside the product's folder belongs
// to other programs too. Windows keeps how many installed programs use such
// a file under HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs,
// one REG_DWORD value named by the file's full path; a file goes only when
// this product was its last user.
#pragma once

#include <cstdint>

// Whether a path lies inside the product's folder, judged by what its
// folders are (another name of the product's folder counts), not by how it
// is written.
bool IsProductFile(const char* path);

// Gives up this product's use of a shared file below the root folder (a
// path variable's): with a usage count above one the count goes down and
// the file stays; at one the count goes and so does the file; without a
// count, or when the system protects the file, the file stays. 1 when this
// product is done with the file (each of those), 0 when a count could not
// be changed or the file could not be removed.
std::int32_t ReleaseSharedFile(const char* root, const char* path);

// Reverses a shared component's registration (registerFlag as for
// RegisterComponent) only when this product was its last user and the
// component lies in a system folder: then it is called, and its count and
// file go. Otherwise it is not loaded, and a count above one goes down.
void ReverseSharedComponent(const char* root, const char* path, std::int32_t registerFlag);

// Forgets what this run decided about shared files. A run gives up the
// product's use of a file once, however many times the script names it or
// runs "INSTALL".
void SharedFilesReset();

// Where usage counts are kept.
constexpr const char* kSharedDllsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
