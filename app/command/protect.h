// What a removal may touch: paths compared as the system sees them, the
// folders that are never removed, and the test of a product's folder.
#pragma once

#include <cstdint>

// Room of a canonical path.
constexpr int kCanonicalRoom = 320;

// The path as the system resolves it (see OsCanonicalPath); 0 when it has
// no such form or it does not fit.
std::int32_t CanonicalPath(const char* path, char* out, std::int32_t capacity);
// Whether the folder is never to be removed: a drive root, one of the
// system's own folders (the Windows, system and temporary folders, the
// program files folders, the user's profile and the folders the shell names
// in it, and their all-users counterparts) or a folder that holds one. A
// path without a canonical form counts as protected.
bool IsProtectedFolder(const char* folder);
// Whether path lies inside folder (the folder itself is not inside it),
// both compared in their canonical forms.
bool IsInsideFolder(const char* path, const char* folder);
// Whether a text may serve as the product's folder: a full path (a drive
// letter, ':' and '\', or a share and at least one folder below it) that
// names neither a drive root nor a protected folder.
bool IsUsableProductFolder(const char* folder);
// Forgets the protected set, so that the next question reads it afresh.
void ProtectedFoldersReset();
