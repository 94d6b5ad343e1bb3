#include "receiver.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "codec/codec.h"

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

std::string UtcNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

std::string CsvLine(const std::vector<std::string>& values) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) line += ',';
    const std::string& v = values[i];
    if (v.find_first_of(",\"\r\n") == std::string::npos) {
      line += v;
      continue;
    }
    line += '"';
    for (char c : v) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line + "\r\n";
}

std::string SpreadsheetSafe(const std::string& value) {
  if (!value.empty() && std::string("=+-@\t\r").find(value[0]) != std::string::npos) return "'" + value;
  return value;
}

std::string LogSafe(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E || c == '\\') {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Decode(const std::string& body, const std::string& sender, const std::string& path, const std::string& agent,
            Registration* registration, Reply* refusal) {
  if (body.size() > static_cast<std::size_t>(kRegistrationBodyMax)) {
    *refusal = {413, "Registration refused: the body is longer than any program sends"};
    return false;
  }
  std::vector<unsigned char> profile(kProfileBuffer);
  char version[kRegistrationVersionMax + 1];
  std::int32_t n = 0;
  RegistrationFault fault =
      RegistrationUnframe(body.data(), static_cast<std::int32_t>(body.size()), version, profile.data(), &n);
  if (fault != BodyAccepted) {
    *refusal = {400, std::string("Registration refused: ") + RegistrationFaultText(fault)};
    return false;
  }
  Registration& r = *registration;
  r = Registration{};
  r.fields.resize(FieldColumns().size());
  std::int32_t position = 0;
  ProfileField field;
  std::vector<bool> seen(1000, false);
  while (ProfileNextField(profile.data(), n, &position, &field) == 1) {
    if (seen[static_cast<std::size_t>(field.number)]) {
      *refusal = {400, "Registration refused: field " + std::to_string(field.number) + " is sent twice"};
      return false;
    }
    seen[static_cast<std::size_t>(field.number)] = true;
    // Longer than the program writes: a made-up body, refused for good
    // (the database would refuse some of them, and a 503 asks for more).
    if (field.length > FieldMost(field.number)) {
      *refusal = {400, "Registration refused: field " + std::to_string(field.number) + " is longer than " +
                           std::to_string(FieldMost(field.number)) + " bytes"};
      return false;
    }
    std::string value = AnsiToUtf8(
        std::string_view(reinterpret_cast<const char*>(field.value), static_cast<std::size_t>(field.length)));
    int index = FieldIndex(field.number);
    if (index >= 0) {
      r.fields[static_cast<std::size_t>(index)] = value;
    } else {
      // A later program's field: kept, not lost.
      char number[8];
      std::snprintf(number, sizeof number, "%03d", field.number);
      r.other += std::string(number) + "=" + value + "\n";
    }
  }
  r.bodyHash = Sha256Hex(body);
  r.receivedAt = UtcNow();
  r.sender = sender;
  r.path = path;
  r.agent = AnsiToUtf8(agent);
  r.version = AnsiToUtf8(version);
  r.profileLength = n;
  return true;
}

Reply Answer(StoreResult outcome) {
  switch (outcome) {
    case StoreResult::Stored: return {200, "RegSuccess"};
    case StoreResult::Duplicate: return {200, "RegSuccess (already received)"};
    case StoreResult::Failed: break;
  }
  return {503, "Registration not stored, please try again later"};
}

Reply Receive(Store& store, const std::string& body, const std::string& sender, const std::string& path,
              const std::string& agent) {
  Registration r;
  Reply refusal;
  if (!Decode(body, sender, path, agent, &r, &refusal)) return refusal;
  std::string error;
  StoreResult outcome = store.Insert(r, &error);
  if (outcome == StoreResult::Failed) std::fprintf(stderr, "regserver: not stored: %s\n", LogSafe(error).c_str());
  return Answer(outcome);
}
