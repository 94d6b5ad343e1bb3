// Dialog templates on the host: the generator tools/rcdialogs.py turns the
// DIALOGEX blocks of the resource scripts into these tables, so the host
// dialogs are built from the same description as the Win32 resources.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

struct DialogControlTemplate {
  std::int32_t id;
  const char* className;  // "Button", "Edit", "Static", "msctls_progress32", ...
  const char* text;
  std::uint32_t style;
  std::uint32_t exStyle;
  std::int32_t x, y, width, height;  // dialog units
};

struct DialogTemplate {
  std::int32_t id;
  std::uint32_t style;
  std::uint32_t exStyle;
  std::int32_t x, y, width, height;  // dialog units
  const char* caption;
  std::int32_t pointSize;
  const char* font;
  const DialogControlTemplate* controls;
  std::size_t controlCount;
};

struct DialogTemplateTable {
  const DialogTemplate* templates;
  std::size_t count;
  DialogTemplateTable* next;  // tables added with AddDialogTemplates
};

// The program's own dialogs (app/resources), generated into the seam.
extern DialogTemplateTable ProgramDialogs;
// A further table (a test program's own dialogs), searched after the
// program's.
void AddDialogTemplates(DialogTemplateTable* table);
const DialogTemplate* FindDialogTemplate(std::int32_t id);

}  // namespace host
