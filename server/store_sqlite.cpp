// The SQLite store: one file in WAL mode, one connection behind a lock;
// a batch of registrations is one transaction, synced before the replies.
// Deleted content is overwritten (secure_delete), and the log is bounded
// and truncated after a forget, so that a forgotten address leaves no copy
// in the database's files.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "store.h"

namespace {

class SqliteStore : public Store {
 public:
  ~SqliteStore() override {
    if (insert_) sqlite3_finalize(insert_);
    if (db_) sqlite3_close(db_);
  }

  bool Open(const std::string& path, Access access, std::string* error) {
    int flags = access == Access::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
      return Fail(error, "cannot open " + path);
    sqlite3_busy_timeout(db_, 10000);
    // The same folding as every other comparison of an address.
    sqlite3_create_function(db_, "fold_case", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FoldSql, nullptr,
                            nullptr);
    if (access == Access::Read) {
      std::string version;
      if (!SchemaVersion(&version, error)) return false;
      if (version != std::to_string(kSchemaVersion))
        return Fail(error, "the database has schema version " + version + ", this receiver knows " +
                               std::to_string(kSchemaVersion));
      return true;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
      std::fprintf(stderr, "regserver: warning: %s can be read by other users (mode %03o); chmod 600 it\n",
                   path.c_str(), static_cast<unsigned>(st.st_mode & 0777));
    // FULL: a committed registration survives a power cut, not only a
    // crash. secure_delete: a deleted row's bytes are overwritten with
    // zeros, whatever this SQLite was built with. The log is cut back to
    // 4 MiB whenever it starts over.
    if (!Exec("PRAGMA secure_delete=ON", error) || !Exec("PRAGMA journal_mode=WAL", error) ||
        !Exec("PRAGMA synchronous=FULL", error) || !Exec("PRAGMA journal_size_limit=4194304", error))
      return false;
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    bool made = Exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)", error) &&
                Exec("CREATE TABLE IF NOT EXISTS registrations (id INTEGER PRIMARY KEY AUTOINCREMENT, " +
                         RegistrationColumnsSql() + ")",
                     error) &&
                Exec("CREATE INDEX IF NOT EXISTS registrations_email ON registrations (lower(f207_email))", error) &&
                Exec("INSERT OR IGNORE INTO meta (key, value) VALUES ('schema_version', '" +
                         std::to_string(kSchemaVersion) + "')",
                     error);
    std::string version;
    if (made) made = SchemaVersion(&version, error);
    if (made && version != std::to_string(kSchemaVersion)) {
      made = Fail(error, "the database has schema version " + version + ", this receiver knows " +
                             std::to_string(kSchemaVersion));
    }
    if (!made) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    if (!Exec("COMMIT", error)) return false;
    std::string sql =
        "INSERT INTO registrations (received_at, sender, path, user_agent, version, profile_length, "
        "body_hash";
    std::string values = "?, ?, ?, ?, ?, ?, ?";
    for (const auto& c : FieldColumns()) {
      sql += std::string(", ") + c.column;
      values += ", ?";
    }
    sql += ", other_fields) VALUES (" + values + ", ?) ON CONFLICT (body_hash) DO NOTHING";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &insert_, nullptr) != SQLITE_OK) return Fail(error, "prepare");
    return true;
  }

  void Maintain() override {
    std::lock_guard<std::mutex> lock(mutex_);
    // Never waits: a reader that holds the log now lets a later try do it.
    sqlite3_busy_timeout(db_, 0);
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(db_, 10000);
  }

  bool Each(const std::function<void(const std::vector<std::string>&)>& row, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string sql = "SELECT id, received_at, sender, path, user_agent, version, profile_length";
    for (const auto& c : FieldColumns()) sql += std::string(", ") + c.column;
    sql += ", other_fields FROM registrations ORDER BY id";
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &select, nullptr) != SQLITE_OK) return Fail(error, "select");
    int rc;
    std::vector<std::string> values;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
      values.clear();
      for (int c = 0; c < sqlite3_column_count(select); ++c) {
        const unsigned char* t = sqlite3_column_text(select, c);
        values.emplace_back(t ? reinterpret_cast<const char*>(t) : "",
                            t ? static_cast<std::size_t>(sqlite3_column_bytes(select, c)) : 0);
      }
      row(values);
    }
    sqlite3_finalize(select);
    return rc == SQLITE_DONE || Fail(error, "select");
  }

  std::int64_t Forget(const std::string& email, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* remove = nullptr;
    if (sqlite3_prepare_v2(db_, "DELETE FROM registrations WHERE fold_case(f207_email) = ?", -1, &remove, nullptr) !=
        SQLITE_OK)
      return Fail(error, "delete"), -1;
    std::string folded = FoldCase(email);
    sqlite3_bind_text(remove, 1, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(remove);
    sqlite3_finalize(remove);
    if (rc != SQLITE_DONE) return Fail(error, "delete"), -1;
    std::int64_t count = sqlite3_changes(db_);
    // The deleted pages, zeroed, go into the file and the log is cut to
    // nothing: the old pages in it held the address. A receiver that is
    // committing at this moment is waited for.
    int busy = 1;
    for (int attempt = 0; attempt < 50 && busy; ++attempt) {
      sqlite3_stmt* checkpoint = nullptr;
      sqlite3_prepare_v2(db_, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &checkpoint, nullptr);
      if (sqlite3_step(checkpoint) == SQLITE_ROW) busy = sqlite3_column_int(checkpoint, 0);
      sqlite3_finalize(checkpoint);
      if (busy) sqlite3_sleep(100);
    }
    if (busy) {
      *error = "SQLite: " + std::to_string(count) +
               " registrations were removed, but the log could not be truncated while another process read it; "
               "run forget again";
      return -1;
    }
    return count;
  }

  bool Stats(std::vector<std::pair<std::string, std::string>>* lines, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string version;
    if (!SchemaVersion(&version, error)) return false;
    lines->push_back({"schema_version", version});
    return Query("SELECT 'registrations', count(*) FROM registrations", lines, error) &&
           Query("SELECT 'first', coalesce(min(received_at), '') FROM registrations", lines, error) &&
           Query("SELECT 'last', coalesce(max(received_at), '') FROM registrations", lines, error) &&
           Query("SELECT 'distinct emails', count(DISTINCT fold_case(f207_email)) FROM registrations", lines, error) &&
           Query(
               "SELECT 'product ' || coalesce(f101_company, '') || ' ' || coalesce(f102_product, '') || ' ' || "
               "coalesce(f103_product_version, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1",
               lines, error) &&
           Query("SELECT 'news ' || coalesce(f400_list_server, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1",
                 lines, error);
  }

 protected:
  bool InsertAll(const std::vector<const Registration*>& rows, std::vector<StoreResult>* outcomes,
                 std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes->clear();
    if (!insert_) return Fail(error, "opened to read only");
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    for (const Registration* r : rows) {
      sqlite3_reset(insert_);
      sqlite3_clear_bindings(insert_);
      int i = 1;
      auto text = [&](const std::string& s) {
        sqlite3_bind_text(insert_, i++, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
      };
      text(r->receivedAt);
      text(r->sender);
      text(r->path);
      text(r->agent);
      text(r->version);
      sqlite3_bind_int(insert_, i++, r->profileLength);
      text(r->bodyHash);
      for (const auto& f : r->fields) {
        if (f) {
          text(*f);
        } else {
          sqlite3_bind_null(insert_, i++);
        }
      }
      text(r->other);
      if (sqlite3_step(insert_) != SQLITE_DONE) {
        Fail(error, "insert");
        sqlite3_reset(insert_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
      }
      outcomes->push_back(sqlite3_changes(db_) == 1 ? StoreResult::Stored : StoreResult::Duplicate);
    }
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    // The commit returns once the rows are in the log on disk.
    if (!Exec("COMMIT", error)) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    return true;
  }

 private:
  static void FoldSql(sqlite3_context* context, int, sqlite3_value** values) {
    const unsigned char* text = sqlite3_value_text(values[0]);
    if (!text) return sqlite3_result_null(context);
    std::string folded = FoldCase(std::string_view(reinterpret_cast<const char*>(text),
                                                   static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
  }

  bool Fail(std::string* error, const std::string& what) {
    *error = "SQLite: " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }

  bool Exec(const std::string& sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = "SQLite: " + std::string(message ? message : "error") + " (" + sql.substr(0, 60) + ")";
    sqlite3_free(message);
    return false;
  }

  bool SchemaVersion(std::string* version, std::string* error) {
    std::vector<std::pair<std::string, std::string>> lines;
    if (!Query("SELECT key, value FROM meta WHERE key = 'schema_version'", &lines, error)) return false;
    *version = lines.empty() ? "" : lines[0].second;
    return true;
  }

  bool Query(const char* sql, std::vector<std::pair<std::string, std::string>>* lines, std::string* error) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &q, nullptr) != SQLITE_OK) return Fail(error, sql);
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
      auto col = [q](int c) {
        const unsigned char* t = sqlite3_column_text(q, c);
        return std::string(t ? reinterpret_cast<const char*>(t) : "");
      };
      lines->push_back({col(0), col(1)});
    }
    sqlite3_finalize(q);
    return rc == SQLITE_DONE || Fail(error, sql);
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access, std::string* error) {
  auto store = std::make_unique<SqliteStore>();
  if (!store->Open(path, access, error)) return nullptr;
  return store;
}
