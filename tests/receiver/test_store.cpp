// The stores on SQLite and PostgreSQL: bodies made by the program's own
// profile and encoder are stored field by field, once; bad bodies are
// refused with nothing stored; a forgotten address leaves no copy in the
// database's files; the admin commands' stores only read.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "common.h"
#include "receiver.h"
#include "store.h"

namespace fs = std::filesystem;

namespace {

// ---- the stores -------------------------------------------------------------

class StoreTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "postgres" && TestPostgres::uri.empty())
      GTEST_SKIP() << "PostgreSQL: " << TestPostgres::why;
    db_ = FreshDatabase(GetParam(), "store");
    std::string error;
    store_ = OpenStore(db_, &error);
    ASSERT_TRUE(store_) << error;
  }

  void TearDown() override {
    store_.reset();
    RemoveDatabase(db_);
  }

  // Every row, by column name.
  std::vector<std::map<std::string, std::string>> Rows() {
    std::vector<std::map<std::string, std::string>> rows;
    std::vector<std::string> names = ExportColumns();
    std::string error;
    EXPECT_TRUE(store_->Each(
        [&](const std::vector<std::string>& values) {
          std::map<std::string, std::string> row;
          for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) row[names[i]] = values[i];
          rows.push_back(row);
        },
        &error))
        << error;
    return rows;
  }

  std::string db_;
  std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, StoresEveryFieldOfTheProgramsBodyOnce) {
  std::string body = ProgramBody(kJane);
  Reply first = Receive(*store_, body, "192.0.2.7", "/viewer/register", "Quillon Register Uninstall (example)");
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.text.find("RegSuccess"), std::string::npos);
  // The program's retry after a lost reply: the same body, one registration.
  Reply again = Receive(*store_, body, "192.0.2.7", "/viewer/register", "Quillon Register Uninstall (example)");
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.text.find("RegSuccess"), std::string::npos);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan), "192.0.2.8", "/viewer/register", "agent").status, 200);

  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  auto& r = rows[0];
  const std::map<std::string, std::string> expected = {{"sender", "192.0.2.7"},
                                                       {"path", "/viewer/register"},
                                                       {"user_agent", "Quillon Register Uninstall (example)"},
                                                       {"version", "1.50"},
                                                       {"program", "v1.50 (Release)"},
                                                       {"mode", "Standalone"},
                                                       {"label", "Acme Viewer 2.4"},
                                                       {"text", "REG"},
                                                       {"company", "Acme"},
                                                       {"product", "Viewer"},
                                                       {"product_version", "2.4"},
                                                       {"first_name", "Jane"},
                                                       {"last_name", "Doe"},
                                                       {"address", "12 Harbour Road"},
                                                       {"city", "Portsmouth"},
                                                       {"state", "NH"},
                                                       {"country", "USA"},
                                                       {"zip", "03801"},
                                                       {"email", "jane@example.com"},
                                                       {"phone", "555-123-4567"},
                                                       {"how_found", "A friend, \"Bob\", told me\xC3\xA9"},
                                                       {"list_server", "Yes"},
                                                       {"list_number", "12"},
                                                       {"list_name", "acme-news"},
                                                       {"list_text", ""},
                                                       {"other_fields", ""}};
  for (const auto& [name, value] : expected) EXPECT_EQ(r[name], value) << name;
  for (const char* machine : {"ip_address", "screen_size", "screen_bits", "os", "memory", "paging_file"})
    EXPECT_FALSE(r[machine].empty()) << machine;
  EXPECT_EQ(r["received_at"].size(), 24u) << r["received_at"];
  EXPECT_EQ(std::stoi(r["profile_length"]) > 130, true);
  EXPECT_EQ(rows[1]["first_name"], "Joan");
  EXPECT_EQ(rows[1]["list_server"], "No");
}

TEST_P(StoreTest, RefusesBadBodiesAndStoresNothing) {
  std::string good = ProgramBody(kJane);
  std::string twice = Framed(std::string("\x02") + "207a@example.com" + "\x02" + "207b@example.com");
  std::string flipped = good;
  flipped[50] = flipped[50] == '!' ? '"' : '!';
  const struct {
    std::string body;
    int status;
    const char* why;
  } cases[] = {
      {"", 400, "empty"},
      {good.substr(0, good.size() - 1), 400, "cut short"},
      {flipped, 400, "wrong CRC"},
      {twice, 400, "a field twice"},
      {good + std::string(static_cast<std::size_t>(kRegistrationBodyMax), '!'), 413, "larger than any profile"},
      // Longer than the program writes: refused for good, never a 503.
      {Framed("\x02"
              "207" +
              std::string(80, 'a')),
       400, "an 80-byte address"},
      {Framed("\x02"
              "207" +
              std::string(10000, 'a') + "@example.com"),
       400, "a 10 kB address"},
      {Framed("\x02"
              "202" +
              std::string(160, 'a')),
       400, "a 160-byte street"},
      {Framed("\x02"
              "555" +
              std::string(1024, 'a')),
       400, "a later field of 1024 bytes"},
  };
  for (const auto& c : cases) {
    Reply reply = Receive(*store_, c.body, "192.0.2.9", "/register", "agent");
    EXPECT_EQ(reply.status, c.status) << c.why << ": " << reply.text;
    EXPECT_EQ(reply.text.find("RegSuccess"), std::string::npos) << c.why;
  }
  EXPECT_TRUE(Rows().empty());
}

TEST_P(StoreTest, KeepsFieldsOfALaterProgramAndForgetsByAddress) {
  std::string later = Framed(std::string("\x02") + "207Ann@Example.com" + "\x02" + "555new" + "\x02" + "102Viewer");
  EXPECT_EQ(Receive(*store_, later, "::1", "/r", "a").status, 200);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan), "::1", "/r", "a").status, 200);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan, "Editor"), "::1", "/r", "a").status, 200);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["other_fields"], "555=new\n");
  EXPECT_EQ(rows[0]["first_name"], "");

  std::vector<std::pair<std::string, std::string>> stats;
  std::string error;
  ASSERT_TRUE(store_->Stats(&stats, &error)) << error;
  std::map<std::string, std::string> s(stats.begin(), stats.end());
  EXPECT_EQ(s["schema_version"], "1");
  EXPECT_EQ(s["registrations"], "3");
  EXPECT_EQ(s["distinct emails"], "2");
  EXPECT_EQ(s["product Acme Editor 2.4"], "1");

  EXPECT_EQ(store_->Forget("joan@EXAMPLE.com", &error), 2);
  EXPECT_EQ(store_->Forget("nobody@example.com", &error), 0);
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["email"], "Ann@Example.com");
}

TEST_P(StoreTest, TakesTheLongestFieldsTheProgramSends) {
  std::string longest = Framed(
      "\x02"
      "207" +
      std::string(79, 'a') +
      "\x02"
      "209" +
      std::string(319, '\xE9') +
      "\x02"
      "555" +
      std::string(1023, 'b'));
  Reply reply = Receive(*store_, longest, "192.0.2.9", "/register", "agent");
  EXPECT_EQ(reply.status, 200) << reply.text;
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_P(StoreTest, ABatchStoresEachBodyOnce) {
  Registration jane, joan, again;
  Reply refusal;
  ASSERT_TRUE(Decode(ProgramBody(kJane), "::1", "/r", "a", &jane, &refusal));
  ASSERT_TRUE(Decode(ProgramBody(kJoan), "::1", "/r", "a", &joan, &refusal));
  again = jane;
  std::string error;
  auto outcomes = store_->InsertBatch({&jane, &joan, &again}, &error);
  EXPECT_EQ(outcomes, (std::vector<StoreResult>{StoreResult::Stored, StoreResult::Stored, StoreResult::Duplicate}))
      << error;
  outcomes = store_->InsertBatch({&joan}, &error);
  EXPECT_EQ(outcomes, std::vector<StoreResult>{StoreResult::Duplicate});
  EXPECT_EQ(Rows().size(), 2u);
}

// Every byte of the database's own files: SQLite's file, log and shared
// memory; PostgreSQL's files of this database, after a checkpoint.
std::string DatabaseBytes(const std::string& db) {
  std::string bytes;
  if (!IsPostgresName(db)) {
    for (const char* end : {"", "-wal", "-shm"}) bytes += ReadFile(db + end);
    return bytes;
  }
  PGconn* c = PQconnectdb(db.c_str());
  PQclear(PQexec(c, "CHECKPOINT"));
  PGresult* r = PQexec(c, "SELECT oid FROM pg_database WHERE datname = current_database()");
  std::string folder = TestPostgres::data + "/base/" + PQgetvalue(r, 0, 0);
  PQclear(r);
  PQfinish(c);
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) bytes += ReadFile(entry.path().string());
  return bytes;
}

TEST_P(StoreTest, ForgetLeavesNoCopyOfTheAddressInTheFiles) {
  // Enough rows around it that pages split and are written again.
  const Person jorg = {"J\xF6rg", "J\xF6rg.\xC4rger@Example.com", kNoNews};
  std::vector<std::string> names(300);
  for (int i = 0; i < 300; ++i) {
    names[static_cast<std::size_t>(i)] = "person" + std::to_string(i) + "@example.org";
    if (i == 150) {
      ASSERT_EQ(Receive(*store_, ProgramBody(jorg), "::1", "/r", "a").status, 200);
    }
    Person p = {"Pat", names[static_cast<std::size_t>(i)].c_str(), kNoNews};
    ASSERT_EQ(Receive(*store_, ProgramBody(p), "::1", "/r", "a").status, 200);
  }
  ASSERT_EQ(Receive(*store_, ProgramBody(jorg, "Editor"), "::1", "/r", "a").status, 200);
  const std::string stored = "J\xC3\xB6rg.\xC3\x84rger@Example.com";
  ASSERT_NE(DatabaseBytes(db_).find(stored), std::string::npos) << "the address should be in the files at first";

  std::string error;
  // Typed on a UTF-8 terminal, every letter in the other case.
  EXPECT_EQ(store_->Forget("j\xC3\x96RG.\xC3\xA4RGER@eXAMPLE.COM", &error), 2) << error;
  std::string bytes = DatabaseBytes(db_);
  EXPECT_EQ(bytes.find("rger@Example.com"), std::string::npos);
  EXPECT_EQ(bytes.find("J\xC3\xB6rg"), std::string::npos);
  EXPECT_EQ(Rows().size(), 300u);
}

TEST_P(StoreTest, TheAdminCommandsOnlyRead) {
  store_.reset();
  std::string error;
  if (std::string(GetParam()) == "sqlite") {
    EXPECT_FALSE(OpenStore(db_ + ".typo", &error, Access::Read));
    EXPECT_FALSE(fs::exists(db_ + ".typo")) << "a missing database must not be made";
    EXPECT_FALSE(OpenStore(db_ + ".typo", &error, Access::Read));
  } else {
    EmptyPostgres();
    EXPECT_FALSE(OpenStore(db_, &error, Access::Read)) << "no tables: nothing to read";
    EXPECT_FALSE(OpenStore(db_, &error, Access::Read)) << "the tables must not have been made";
  }
  store_ = OpenStore(db_, &error);
  ASSERT_TRUE(store_) << error;
  EXPECT_EQ(Receive(*store_, ProgramBody(kJane), "::1", "/r", "a").status, 200);
  auto reader = OpenStore(db_, &error, Access::Read);
  ASSERT_TRUE(reader) << error;
  std::size_t rows = 0;
  EXPECT_TRUE(reader->Each([&](const std::vector<std::string>&) { ++rows; }, &error)) << error;
  EXPECT_EQ(rows, 1u);
  EXPECT_NE(Receive(*reader, ProgramBody(kJoan), "::1", "/r", "a").status, 200) << "a reader cannot write";
}

TEST_P(StoreTest, RefusesADatabaseOfAnotherSchemaVersion) {
  store_.reset();
  if (std::string(GetParam()) == "postgres") {
    PGconn* c = PQconnectdb(db_.c_str());
    PQclear(PQexec(c, "UPDATE meta SET value = '99' WHERE key = 'schema_version'"));
    PQfinish(c);
  } else {
    sqlite3* s = nullptr;
    sqlite3_open(db_.c_str(), &s);
    sqlite3_exec(s, "UPDATE meta SET value = '99' WHERE key = 'schema_version'", nullptr, nullptr, nullptr);
    sqlite3_close(s);
  }
  std::string error;
  EXPECT_FALSE(OpenStore(db_, &error));
  EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
}

TEST(Fields, AddressesAreComparedWithEveryLetterOfTheCodePageFolded) {
  const std::pair<const char*, const char*> cases[] = {
      {"JANE@EXAMPLE.COM", "jane@example.com"},
      {"J\xC3\x96RG@x", "j\xC3\xB6rg@x"},                                        // Ö
      {"\xC3\x80\xC3\x9E\xC3\x97", "\xC3\xA0\xC3\xBE\xC3\x97"},                  // À Þ, and × is no letter
      {"\xC5\xA0\xC5\x92\xC5\xBD\xC5\xB8", "\xC5\xA1\xC5\x93\xC5\xBE\xC3\xBF"},  // Š Œ Ž Ÿ
      {"\xC3\x9F\xE2\x82\xAC", "\xC3\x9F\xE2\x82\xAC"},                          // ß and € stay
      {"\xFF\xC3", "\xFF\xC3"},                                                  // not UTF-8: kept byte for byte
  };
  for (const auto& [text, folded] : cases) EXPECT_EQ(FoldCase(text), folded) << text;
  EXPECT_EQ(FoldCase(FoldCapitals()), FoldSmall());
}

TEST(Export, CsvQuotesAndDefusesFormulas) {
  EXPECT_EQ(CsvLine({"a", "b,c", "say \"hi\"", "two\nlines", ""}), "a,\"b,c\",\"say \"\"hi\"\"\",\"two\nlines\",\r\n");
  const std::pair<const char*, const char*> cases[] = {{"=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"},
                                                       {"+1 555", "'+1 555"},
                                                       {"-2", "'-2"},
                                                       {"@SUM(A1)", "'@SUM(A1)"},
                                                       {"\tx", "'\tx"},
                                                       {"Jane", "Jane"},
                                                       {"", ""},
                                                       {"a=b", "a=b"}};
  for (const auto& [value, safe] : cases) EXPECT_EQ(SpreadsheetSafe(value), safe) << value;
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
