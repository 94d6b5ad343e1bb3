// The progress controls on the host: their range and position, and the text
// bar that stands for every visible one of a visible dialog on standard
// error, redrawn in place as the position moves.
#include <cstdio>
#include <string>

#include "host/ui.h"

namespace host::ui {

namespace {

constexpr int kBarCells = 20;

std::string BarLine(const Window& dialog) {
  std::string line;
  for (OsHandle h : dialog.controls) {
    const Window* c = Find(h);
    if (c == nullptr || c->kind != Kind::Progress || !c->visible) continue;
    long long span = static_cast<long long>(c->high) - c->low;
    long long done = static_cast<long long>(c->position) - c->low;
    int cells = span > 0 ? static_cast<int>(done * kBarCells / span) : 0;
    int percent = span > 0 ? static_cast<int>(done * 100 / span) : 0;
    char numbers[16];
    std::snprintf(numbers, sizeof numbers, "] %3d%%", percent);
    line += (line.empty() ? dialog.text + " [" : " [") + std::string(cells, '#') + std::string(kBarCells - cells, '.') +
            numbers;
  }
  return line;
}

std::int32_t Clamp(std::int32_t value, std::int32_t low, std::int32_t high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

std::intptr_t Packed(std::int32_t low, std::int32_t high) {
  return static_cast<std::intptr_t>((static_cast<std::uint32_t>(high & 0xFFFF) << 16) |
                                    static_cast<std::uint32_t>(low & 0xFFFF));
}

}  // namespace

void DrawBar(Window& dialog) {
  if (!dialog.visible) return;
  std::string line = BarLine(dialog);
  if (line.empty() || line == dialog.bar) return;
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  dialog.bar = line;
}

void EndBar(Window& dialog) {
  if (dialog.bar.empty()) return;
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  dialog.bar.clear();
}

void SetVisible(Window& w, bool visible) {
  w.visible = visible;
  Window* dialog = w.kind == Kind::Dialog ? &w : Dialog(w.parent);
  if (dialog == nullptr) return;
  if (dialog->visible)
    DrawBar(*dialog);
  else
    EndBar(*dialog);
}

std::intptr_t ProgressMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::intptr_t answer = w.position;
  switch (message) {
    case kPbmSetRange:
      answer = Packed(w.low, w.high);
      w.low = static_cast<std::int32_t>(lParam & 0xFFFF);
      w.high = static_cast<std::int32_t>((lParam >> 16) & 0xFFFF);
      break;
    case kPbmSetRange32:
      answer = Packed(w.low, w.high);
      w.low = static_cast<std::int32_t>(wParam);
      w.high = static_cast<std::int32_t>(lParam);
      break;
    case kPbmSetPos: w.position = static_cast<std::int32_t>(wParam); break;
    case kPbmDeltaPos: w.position += static_cast<std::int32_t>(wParam); break;
    case kPbmGetPos: return w.position;
    case kPbmGetRange:
      if (lParam) {
        std::int32_t* range = reinterpret_cast<std::int32_t*>(lParam);
        range[0] = w.low;
        range[1] = w.high;
      }
      return wParam ? w.low : w.high;
    default: return 0;
  }
  if (w.high < w.low) w.high = w.low;
  w.position = Clamp(w.position, w.low, w.high);
  if (Window* dialog = Dialog(w.parent)) DrawBar(*dialog);
  return answer;
}

}  // namespace host::ui
