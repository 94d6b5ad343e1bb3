// What the receiver's tests share: bodies made by the program's own
// profile and encoder, a PostgreSQL server of their own, raw HTTP
// connections, and regserver run as its own process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store.h"

struct Person {
  const char* first;
  const char* email;
  std::int32_t listServer;
};

// The news answer "No" (the program's ListServerNo).
extern const std::int32_t kNoNews;
extern const Person kJane;
extern const Person kJoan;

// The body the program sends for the person, through its own profile,
// scrambling and framing.
std::string ProgramBody(const Person& person, const char* product = "Viewer");
// A body around a profile given in clear, framed by the program's codec.
std::string Framed(std::string profile);

// The tests' PostgreSQL server: its connection URI, or empty with why.
struct TestPostgres {
  static std::string uri;
  static std::string why;
  static std::string data;  // its data folder
};
// A fresh database on it: the receiver's tables dropped.
void EmptyPostgres();

// Both kinds of database, fresh for each test.
std::string FreshDatabase(const std::string& kind, const std::string& name);
void RemoveDatabase(const std::string& db);

// The request as the program writes it: HTTP/1.0, its Connection word.
std::string ProgramRequest(const std::string& path, const std::string& body);

// A raw connection to 127.0.0.1:port, from the given source address
// (any of 127.0.0.0/8), or -1.
int Connect(int port, const char* from = nullptr);
// Writes the text, then reads until the server closes (or seconds pass):
// the reply and the seconds it took.
std::pair<std::string, double> Exchange(int port, const std::string& request, double seconds = 5);
// The reply's status, 0 when there is none.
int Status(const std::string& reply);
// Whether the server has closed the connection (reads what is left).
bool Closed(int fd, int waitMillis);

// regserver as the maker runs it, its standard error in a file.
struct RegserverProcess {
  pid_t pid = -1;
  int port = 0;
  std::string log;
  std::string firstLine;
  bool Start(const std::vector<std::string>& arguments, const std::string& logFile, int umaskBits = 022);
  void Stop();  // SIGTERM, waits
  ~RegserverProcess() { Stop(); }
};
// regserver COMMAND ...: its exit code and what it wrote (both streams).
int RunRegserver(const std::vector<std::string>& arguments, std::string* output);
std::string ReadFile(const std::string& path);
