// The changes held back until the user agrees, in script order.
#include "held.h"

#include "handlers.h"
#include "shortcuts.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

enum class Kind : std::int32_t { Group, Shortcut, Component };

struct HeldAction {
  HeldAction* next;
  Kind kind;
  char first[kSettingsText];
  char second[kSettingsText];
  char third[kSettingsText];
};

struct Held {
  bool agreed = false;
  HeldAction* first = nullptr;
  HeldAction* last = nullptr;
};
Held g_held;

void Hold(Kind kind, const char* first, const char* second, const char* third) {
  HeldAction* action = static_cast<HeldAction*>(MemoryAlloc(sizeof(HeldAction), kUnit, __LINE__));
  action->kind = kind;
  // The handlers read each argument into a buffer of this size: all fit.
  StrCopyBounded(action->first, first);
  StrCopyBounded(action->second, second);
  StrCopyBounded(action->third, third);
  if (g_held.last)
    g_held.last->next = action;
  else
    g_held.first = action;
  g_held.last = action;
}

HeldAction* TakeFirst() {
  HeldAction* action = g_held.first;
  if (action) {
    g_held.first = action->next;
    if (g_held.first == nullptr) g_held.last = nullptr;
  }
  return action;
}

}  // namespace

bool UninstallAgreed() { return g_held.agreed; }

void UninstallAgree(InstallSettings* settings) {
  CHECK_POINTER(kUnit, settings);
  g_held.agreed = true;
  while (HeldAction* action = TakeFirst()) {
    switch (action->kind) {
      case Kind::Group: SelectGroup(action->first); break;
      case Kind::Shortcut: DeleteShortcut(action->first, action->second, action->third); break;
      case Kind::Component: ReverseComponent(settings, action->first, action->second); break;
    }
    MemoryFree(&action, sizeof(HeldAction), kUnit, __LINE__);
  }
}

void HeldActionsDiscard() {
  while (HeldAction* action = TakeFirst()) MemoryFree(&action, sizeof(HeldAction), kUnit, __LINE__);
  g_held.agreed = false;
}

void HoldGroup(const char* group) { Hold(Kind::Group, group, "", ""); }

void HoldShortcut(const char* target, const char* arguments, const char* item) {
  Hold(Kind::Shortcut, target, arguments, item);
}

void HoldComponent(const char* action, const char* component) { Hold(Kind::Component, action, component, ""); }
