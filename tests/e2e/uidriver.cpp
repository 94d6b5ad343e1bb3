// Test driver: does what a person at the screen would do with the program's
// windows. It waits for a visible top-level window by its caption, reports
// its texts, types into its edits and presses its buttons.
//
//   uidriver answer CAPTION BUTTON [TIMEOUT_MS]   wait, report, press BUTTON
//   uidriver wait CAPTION [TIMEOUT_MS]            wait and report
//   uidriver absent CAPTION MS                    succeed if it never shows
//   uidriver type CAPTION CONTROL_ID TEXT [MS]    set an edit's text
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
  const char* caption;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
  Search* search = reinterpret_cast<Search*>(parameter);
  if (!IsWindowVisible(window)) return TRUE;
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  if (std::string(text) == search->caption) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitFor(const char* caption, DWORD timeout) {
  DWORD start = GetTickCount();
  for (;;) {
    Search search = {caption, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if (GetTickCount() - start > timeout) return nullptr;
    Sleep(50);
  }
}

std::string Plain(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '&') out += c;
  return out;
}

struct Child {
  HWND window;
  std::string className;
  std::string text;
  int id;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM parameter) {
  auto* children = reinterpret_cast<std::vector<Child>*>(parameter);
  char className[128] = {};
  char text[4096] = {};
  GetClassNameA(window, className, sizeof className);
  GetWindowTextA(window, text, sizeof text);
  children->push_back({window, className, text, GetDlgCtrlID(window)});
  return TRUE;
}

std::vector<Child> Children(HWND window) {
  std::vector<Child> children;
  EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

void Report(HWND window) {
  char caption[512] = {};
  GetWindowTextA(window, caption, sizeof caption);
  std::printf("caption: %s\n", caption);
  for (const Child& child : Children(window)) {
    if (child.text.empty()) continue;
    std::printf("%s %d: %s\n", child.className.c_str(), child.id, child.text.c_str());
  }
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr, "usage: uidriver answer|wait|absent|type CAPTION ...\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string verb = argv[1];
  const char* caption = argv[2];
  if (verb == "absent") {
    DWORD ms = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000;
    HWND window = WaitFor(caption, ms);
    if (window) {
      Report(window);
      return 1;
    }
    return 0;
  }
  if (verb == "wait") {
    DWORD ms = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 30000;
    HWND window = WaitFor(caption, ms);
    if (!window) {
      std::printf("timeout waiting for '%s'\n", caption);
      return 2;
    }
    Report(window);
    return 0;
  }
  if (verb == "answer" && argc >= 4) {
    DWORD ms = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 30000;
    HWND window = WaitFor(caption, ms);
    if (!window) {
      std::printf("timeout waiting for '%s'\n", caption);
      return 2;
    }
    Sleep(100);  // let the box finish laying itself out
    Report(window);
    for (const Child& child : Children(window)) {
      if (child.className == "Button" && Plain(child.text) == Plain(argv[3])) {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(child.id, BN_CLICKED), reinterpret_cast<LPARAM>(child.window));
        std::printf("pressed: %s\n", argv[3]);
        return 0;
      }
    }
    std::printf("no button '%s'\n", argv[3]);
    return 3;
  }
  if (verb == "type" && argc >= 5) {
    DWORD ms = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 30000;
    HWND window = WaitFor(caption, ms);
    if (!window) return 2;
    HWND edit = GetDlgItem(window, std::atoi(argv[3]));
    if (!edit) return 3;
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
    return 0;
  }
  return Usage();
}
