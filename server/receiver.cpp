#include "receiver.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "codec/codec.h"

namespace {

std::string EscapeRegex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

void Answer(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  res.set_content(reply.text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

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

Reply Receive(Store& store, const std::string& body, const std::string& sender, const std::string& path,
              const std::string& agent) {
  if (body.size() > static_cast<std::size_t>(kRegistrationBodyMax))
    return {413, "Registration refused: the body is longer than any program sends"};
  std::vector<unsigned char> profile(kProfileBuffer);
  char version[kRegistrationVersionMax + 1];
  std::int32_t n = 0;
  RegistrationFault fault =
      RegistrationUnframe(body.data(), static_cast<std::int32_t>(body.size()), version, profile.data(), &n);
  if (fault != BodyAccepted) return {400, std::string("Registration refused: ") + RegistrationFaultText(fault)};

  Registration r;
  r.fields.resize(FieldColumns().size());
  std::int32_t position = 0;
  ProfileField field;
  std::vector<bool> seen(1000, false);
  while (ProfileNextField(profile.data(), n, &position, &field) == 1) {
    if (seen[static_cast<std::size_t>(field.number)])
      return {400, "Registration refused: field " + std::to_string(field.number) + " is sent twice"};
    seen[static_cast<std::size_t>(field.number)] = true;
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
  std::string error;
  switch (store.Insert(r, &error)) {
    case StoreResult::Stored: return {200, "RegSuccess"};
    case StoreResult::Duplicate: return {200, "RegSuccess (already received)"};
    case StoreResult::Failed: break;
  }
  std::fprintf(stderr, "regserver: not stored: %s\n", error.c_str());
  return {503, "Registration not stored, please try again later"};
}

void Mount(httplib::Server& server, Store& store, const ReceiverOptions& options) {
  int threads = options.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  server.set_payload_max_length(static_cast<std::size_t>(kRegistrationBodyMax));
  server.set_read_timeout(options.timeout, 0);
  server.set_write_timeout(options.timeout, 0);
  server.set_keep_alive_timeout(options.timeout);
  server.set_keep_alive_max_count(100);
  std::string pattern = EscapeRegex(options.path);
  bool forwarded = options.forwarded;
  int bodySeconds = options.bodySeconds;
  Store* target = &store;
  server.Post(pattern, [target, forwarded, bodySeconds](const httplib::Request& req, httplib::Response& res,
                                                        const httplib::ContentReader& content) {
    // The body is read here, against one deadline for all of it: a sender
    // that trickles bytes just inside the read time-out is cut off too.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(bodySeconds);
    std::string body;
    bool tooLarge = false, tooSlow = false;
    const std::string announced = req.get_header_value("Content-Length");
    if (!announced.empty() && announced.find_first_not_of("0123456789") == std::string::npos &&
        (announced.size() > 9 || std::stol(announced) > kRegistrationBodyMax))
      tooLarge = true;
    bool read = !tooLarge && content([&](const char* data, std::size_t length) {
      if (std::chrono::steady_clock::now() > deadline) {
        tooSlow = true;
        return false;
      }
      if (body.size() + length > static_cast<std::size_t>(kRegistrationBodyMax)) {
        tooLarge = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (tooSlow) {
      res.set_header("Connection", "close");
      return Answer(res, {408, "Registration refused: the body came too slowly"});
    }
    if (tooLarge) {
      res.set_header("Connection", "close");
      return Answer(res, {413, "Registration refused: the body is longer than any program sends"});
    }
    if (!read) {
      res.set_header("Connection", "close");
      return Answer(res, {400, "Registration refused: the body could not be read"});
    }
    std::string sender = req.remote_addr;
    if (forwarded && (sender == "127.0.0.1" || sender == "::1") && req.has_header("X-Real-IP"))
      sender = req.get_header_value("X-Real-IP");
    Answer(res, Receive(*target, body, sender, req.path, req.get_header_value("User-Agent")));
  });
  auto notAllowed = [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "POST");
    Answer(res, {405, "Registrations are sent with POST"});
  };
  server.Get(pattern, notAllowed);
  server.Put(pattern, notAllowed);
  server.Patch(pattern, notAllowed);
  server.Delete(pattern, notAllowed);
  server.Options(pattern, notAllowed);
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const char* text = res.status == 404   ? "Not found"
                         : res.status == 413 ? "Registration refused: the body is longer than any program sends"
                                             : "Refused";
      res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
    }
  });
}
