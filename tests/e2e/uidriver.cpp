// Test driver: does what a person at the screen would do with the program's
// windows. It waits for a visible top-level window by its caption, reports
// its texts, types into its edits and presses its buttons.
//
//   uidriver answer CAPTION BUTTON [TIMEOUT_MS]   wait, report, press BUTTON
//   uidriver wait CAPTION [TIMEOUT_MS]            wait and report
//   uidriver absent CAPTION MS                    succeed if it never shows
//   uidriver type CAPTION CONTROL_ID TEXT [MS]    set an edit's text
//   uidriver hold FILE MS                         keep a file open, unshared
//   uidriver steps STEP...                        several steps in one go:
//       CAPTION=BUTTON  wait for the window, report it, press BUTTON
//       CAPTION=        wait for the window and report it
//       !CAPTION=MS     succeed only if it does not show within MS, or
//                       before every program of the prefix but Wine's own
//                       and the driver has ended (no window can come then)
//       CAPTION=@ID     click the control ID as the mouse would (a check
//                       box toggles itself)
//       CAPTION#ID=TEXT type TEXT into the edit ID
//   A step that presses or types waits for a window of that caption which
//   has the button or control, so a message box over a dialog of the same
//   caption is told apart.
#include <windows.h>
// (needs windows.h before it)
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
  const char* caption;
  HWND found;
  const char* button;  // when set, the window must have this button
  int control;         // when not 0, the window must have this control
};

bool HasButton(HWND window, const char* button);

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
  Search* search = reinterpret_cast<Search*>(parameter);
  if (!IsWindowVisible(window)) return TRUE;
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  if (std::string(text) == search->caption && (!search->button || HasButton(window, search->button)) &&
      (search->control == 0 || GetDlgItem(window, search->control) != nullptr)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitFor(const char* caption, DWORD timeout, const char* button = nullptr, int control = 0) {
  DWORD start = GetTickCount();
  for (;;) {
    Search search = {caption, nullptr, button, control};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if (GetTickCount() - start > timeout) return nullptr;
    Sleep(20);
  }
}

// Whether a program of the prefix runs besides Wine's own (from the Windows
// folder) and this driver: the program under test, the copy it started, what
// a scenario planted. A process whose image cannot be read counts.
bool ProgramsRunning() {
  char windows[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool running = false;
  for (BOOL more = Process32First(snapshot, &entry); more && !running; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) continue;
    char image[MAX_PATH] = {};
    DWORD size = sizeof image;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    bool known = process && QueryFullProcessImageNameA(process, 0, image, &size);
    if (process) CloseHandle(process);
    if (!known || length == 0 || _strnicmp(image, windows, length) != 0 || image[length] != '\\') running = true;
  }
  CloseHandle(snapshot);
  return running;
}

// An absence ends early once the programs that could show the window have
// ended; only after one was seen, as the driver may start before them.
HWND WaitForAbsence(const char* caption, DWORD timeout, bool& programSeen) {
  DWORD start = GetTickCount();
  for (;;) {
    bool running = ProgramsRunning();
    programSeen = programSeen || running;
    Search search = {caption, nullptr, nullptr, 0};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if ((programSeen && !running) || GetTickCount() - start > timeout) return nullptr;
    Sleep(20);
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
  // WM_GETTEXT rather than GetWindowText, which gives no edit's text
  // across processes.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
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

int Usage();

bool HasButton(HWND window, const char* button) {
  if (button[0] == '@') return GetDlgItem(window, std::atoi(button + 1)) != nullptr;
  for (const Child& child : Children(window))
    if (child.className == "Button" && Plain(child.text) == Plain(button)) return true;
  return false;
}

bool Press(HWND window, const std::string& button) {
  if (!button.empty() && button[0] == '@') {
    HWND control = GetDlgItem(window, std::atoi(button.c_str() + 1));
    if (!control) {
      std::printf("no control %s\n", button.c_str() + 1);
      return false;
    }
    PostMessageA(control, BM_CLICK, 0, 0);
    std::printf("clicked: %s\n", button.c_str() + 1);
    std::fflush(stdout);
    return true;
  }
  for (const Child& child : Children(window)) {
    if (child.className == "Button" && Plain(child.text) == Plain(button)) {
      PostMessageA(window, WM_COMMAND, MAKEWPARAM(child.id, BN_CLICKED), reinterpret_cast<LPARAM>(child.window));
      std::printf("pressed: %s\n", button.c_str());
      std::fflush(stdout);
      return true;
    }
  }
  std::printf("no button '%s'\n", button.c_str());
  return false;
}

int Steps(int count, char** steps) {
  bool programSeen = false;  // a window found or a program seen running
  for (int i = 0; i < count; ++i) {
    std::string step = steps[i];
    std::size_t hash = step.find('#');
    std::size_t typed = step.find('=', hash == std::string::npos ? 0 : hash);
    if (hash != std::string::npos && typed != std::string::npos && step[0] != '!') {
      std::string caption = step.substr(0, hash);
      int id = std::atoi(step.substr(hash + 1, typed - hash - 1).c_str());
      HWND window = WaitFor(caption.c_str(), 60000, nullptr, id);
      if (!window) {
        std::printf("timeout waiting for '%s' with control %d\n", caption.c_str(), id);
        return 2;
      }
      SendMessageA(GetDlgItem(window, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(step.c_str() + typed + 1));
      std::printf("typed: %d\n", id);
      std::fflush(stdout);
      continue;
    }
    std::size_t equals = step.rfind('=');
    if (equals == std::string::npos) return Usage();
    std::string caption = step.substr(0, equals);
    std::string rest = step.substr(equals + 1);
    if (!caption.empty() && caption[0] == '!') {
      HWND window = WaitForAbsence(caption.c_str() + 1, rest.empty() ? 2000 : std::strtoul(rest.c_str(), nullptr, 10),
                                   programSeen);
      if (window) {
        std::printf("unexpected window:\n");
        Report(window);
        return 1;
      }
      std::printf("absent: %s\n", caption.c_str() + 1);
      continue;
    }
    // "+caption" waits ten minutes for a window that a long transfer brings.
    DWORD patience = 60000;
    if (!caption.empty() && caption[0] == '+') {
      caption.erase(0, 1);
      patience = 600000;
    }
    HWND window = WaitFor(caption.c_str(), patience, rest.empty() ? nullptr : rest.c_str());
    if (!window) {
      std::printf("timeout waiting for '%s'\n", caption.c_str());
      return 2;
    }
    programSeen = true;
    if (rest.empty()) {
      Report(window);
      continue;
    }
    Sleep(100);  // let the box finish laying itself out
    Report(window);
    if (!Press(window, rest)) return 3;
    // Wait for the box to go, so that the next step sees the next window;
    // a click on a control of a dialog that stays needs only its moment.
    if (rest[0] == '@') {
      Sleep(200);
      continue;
    }
    for (int wait = 0; wait < 500 && IsWindow(window) && IsWindowVisible(window); ++wait) Sleep(10);
  }
  return 0;
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
  if (verb == "steps") return Steps(argc - 2, argv + 2);
  if (verb == "hold") {
    // Open the file as another program would, without sharing its deletion.
    HANDLE file = CreateFileA(caption, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::printf("cannot open '%s' (%lu)\n", caption, GetLastError());
      return 2;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10000);
    CloseHandle(file);
    return 0;
  }
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
