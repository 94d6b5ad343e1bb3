// A program planted at a name a careless relaunch might run. Whenever it
// runs it appends its command line to the file that PLANT_RECORD names;
// "plantexe sleep MS" then stays running for MS milliseconds, as a busy
// program holding its file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  std::string line = "ran";
  for (int i = 0; i < argc; ++i) line += std::string(" ") + argv[i];
  if (const char* record = std::getenv("PLANT_RECORD")) {
    if (std::FILE* file = std::fopen(record, "ab")) {
      std::fprintf(file, "%s\n", line.c_str());
      std::fclose(file);
    }
  }
  if (argc >= 3 && std::strcmp(argv[1], "sleep") == 0) {
    std::printf("running\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  }
  return 0;
}
