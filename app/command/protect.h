// What a removal may touch: paths compared as the system sees them, the
// folders that are never removed (known by identity), and the test of a
// product's folder.
#pragma once

#include <cstdint>

#include "os.h"

// Room of a canonical path.
constexpr int kCanonicalRoom = 320;

// The path as the system resolves it (see OsCanonicalPath); 0 when it has
// no such form or it does not fit.
std::int32_t CanonicalPath(const char* path, char* out, std::int32_t capacity);
// Whether an open folder is never to be removed nor taken for a product's
// folder: a drive or share root; anything at or below the Windows, system
// and temporary folders; a known folder of the shell (the user's and all
// users', read from the system), the profiles folder and every profile in
// it; a program files or common files folder; or a folder that holds one
// of these. Compared by final path and by identity, so another name of such
// a folder is protected too.
bool IsProtectedNode(const OsNode& folder);
// The same for a folder named by its path: its text, and where it exists,
// what it is. A path without a canonical form counts as protected.
bool IsProtectedFolder(const char* folder);
// The system's own program groups in the Start menu (Startup, Accessories,
// Administrative Tools and the like): never removed as a product's group.
bool IsShellGroupName(const char* name);
// Whether path lies inside folder (the folder itself is not inside it),
// both compared in their canonical forms.
bool IsInsideFolder(const char* path, const char* folder);
// Whether two folder texts are the same name (ASCII case ignored, final
// separators dropped).
bool SameFolderText(const char* a, const char* b);
// Whether a text may serve as the product's folder: a full path (a drive
// letter, ':' and '\', or a share and at least one folder below it) that
// names neither a drive root nor a protected folder.
bool IsUsableProductFolder(const char* folder);
// Forgets the protected set, so that the next question reads it afresh.
void ProtectedFoldersReset();
