#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "os.h"
#include "tessel-core.h"
#if !defined(_WIN32)
#include "host/machine.h"
#endif

std::string TempPath(const std::string& name) {
  char folder[260] = {};
  OsTempPath(folder, sizeof folder);
  std::string path = std::string(folder) + "tessel-test-" + name;
  OsDeleteFile(path.c_str());
  return path;
}

std::string ScratchPath(const std::string& name) {
  OsCreateFolder("C:\\tessel-tests");
  std::string path = "C:\\tessel-tests\\" + name;
  OsDeleteFile(path.c_str());
  return path;
}

std::string ReadWholeFile(const std::string& path) {
  std::FILE* file = OsOpenFile(path.c_str(), "rb");
  if (file == nullptr) return std::string();
  std::string bytes;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = OsOpenFile(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string LogText(const std::string& path) {
  std::string raw = ReadWholeFile(path);
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) text += raw[i];
  return text;
}

void RemoveBuildFile(const std::string& path) {
#if defined(_WIN32)
  OsDeleteFile(path.c_str());
#else
  std::remove(host::HostPath(path.c_str()).c_str());
#endif
}

void StartLog(const std::string& path, unsigned flags) { LogInit(path.c_str(), flags); }

void StopLog() { LogInit("debug.log", 0); }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests re-run this program; keep their children simple.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  LogInit("debug.log", 0);
  return RUN_ALL_TESTS();
}
