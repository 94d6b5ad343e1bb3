// Message boxes on the host: the program's questions and notices go to the
// terminal, and the answers come from standard input.
#include <cstdio>
#include <iostream>
#include <string>

#include "os.h"

// A message box is its caption and text on standard output. A question is
// answered by a line on standard input (y or n); the end of input is no
// answer at all.
int OsMessageBox(const char* text, const char* caption, std::uint32_t style) {
  std::printf("[%s] %s\n", caption ? caption : "", text);
  if ((style & 0x0F) != kMbYesNo) {
    std::printf("[OK]\n");
    std::fflush(stdout);
    return kIdOk;
  }
  for (;;) {
    std::printf("(y/n)? ");
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) {
      std::printf("\n");
      return 0;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line == "y" || line == "Y" || line == "yes" || line == "Yes") return kIdYes;
    if (line == "n" || line == "N" || line == "no" || line == "No") return kIdNo;
  }
}
