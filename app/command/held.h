// Until the user has agreed to the uninstall, what the commands before the
// question would change (shortcuts and their group, component
// registrations) is held here in script order, and carried out right after
// the Yes; after a No, no answer or a closed box it is dropped.
#pragma once

#include <cstdint>

#include "settings.h"

// Whether the user has said Yes to this uninstall.
bool UninstallAgreed();
// The Yes: the held actions are carried out in the order they were given,
// and every later command acts when it is reached.
void UninstallAgree(InstallSettings* settings);
// Drops what is held and forgets the answer (after a No, a stop, and when
// the script is unloaded).
void HeldActionsDiscard();

void HoldGroup(const char* group);
void HoldShortcut(const char* target, const char* arguments, const char* item);
void HoldComponent(const char* action, const char* component);
