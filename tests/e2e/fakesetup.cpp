// A stand-in for a product's new installer, served by the update tests: it
// appends its arguments to "<its own file>.args" and exits with the number
// in "exitcode.txt" beside it (1, the installers' success, when there is
// none).
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string self = argv[0];
  if (std::FILE* file = std::fopen((self + ".args").c_str(), "ab")) {
    for (int i = 1; i < argc; ++i) std::fprintf(file, "%s%s", i > 1 ? " " : "", argv[i]);
    std::fprintf(file, "\n");
    std::fclose(file);
  }
  std::size_t cut = self.find_last_of("\\/");
  std::string folder = cut == std::string::npos ? "" : self.substr(0, cut + 1);
  int code = 1;
  if (std::FILE* file = std::fopen((folder + "exitcode.txt").c_str(), "rb")) {
    if (std::fscanf(file, "%d", &code) != 1) code = 1;
    std::fclose(file);
  }
  return code;
}
