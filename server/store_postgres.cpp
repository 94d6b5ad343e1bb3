// The PostgreSQL store: a small pool of connections, one per request in
// flight; every registration is its own committed statement.
#include <libpq-fe.h>

#include <mutex>

#include "store.h"

namespace {

struct Result {
  explicit Result(PGresult* r) : result(r) {}
  ~Result() { PQclear(result); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  PGresult* result;
};

class PostgresStore : public Store {
 public:
  ~PostgresStore() override {
    for (PGconn* c : idle_) PQfinish(c);
  }

  bool Open(const std::string& conninfo, std::string* error) {
    conninfo_ = conninfo;
    PGconn* c = Connect(error);
    if (!c) return false;
    bool ok =
        Exec(c, "BEGIN", error) &&
        // Two receivers starting at once make the tables once.
        Exec(c, "SELECT pg_advisory_xact_lock(7305121)", error) &&
        Exec(c, "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)", error) &&
        Exec(c, "CREATE TABLE IF NOT EXISTS registrations (id BIGSERIAL PRIMARY KEY, " + RegistrationColumnsSql() + ")",
             error) &&
        Exec(c, "CREATE INDEX IF NOT EXISTS registrations_email ON registrations (lower(f207_email))", error) &&
        Exec(c,
             "INSERT INTO meta (key, value) VALUES ('schema_version', '" + std::to_string(kSchemaVersion) +
                 "') ON CONFLICT (key) DO NOTHING",
             error);
    std::string version;
    if (ok) ok = SchemaVersion(c, &version, error);
    if (ok && version != std::to_string(kSchemaVersion)) {
      *error = "the database has schema version " + version + ", this receiver knows " + std::to_string(kSchemaVersion);
      ok = false;
    }
    ok = ok && Exec(c, "COMMIT", error);
    Release(c);
    return ok;
  }

  StoreResult Insert(const Registration& r, std::string* error) override {
    PGconn* c = Acquire(error);
    if (!c) return StoreResult::Failed;
    std::string sql =
        "INSERT INTO registrations (received_at, sender, path, user_agent, version, profile_length, body_hash";
    std::string values = "$1, $2, $3, $4, $5, $6, $7";
    int n = 7;
    for (const auto& col : FieldColumns()) {
      sql += std::string(", ") + col.column;
      values += ", $" + std::to_string(++n);
    }
    sql += ", other_fields) VALUES (" + values + ", $" + std::to_string(++n) + ") ON CONFLICT (body_hash) DO NOTHING";
    std::string length = std::to_string(r.profileLength);
    std::vector<const char*> params = {r.receivedAt.c_str(), r.sender.c_str(), r.path.c_str(),    r.agent.c_str(),
                                       r.version.c_str(),    length.c_str(),   r.bodyHash.c_str()};
    for (const auto& f : r.fields) params.push_back(f ? f->c_str() : nullptr);
    params.push_back(r.other.c_str());
    Result res(
        PQexecParams(c, sql.c_str(), static_cast<int>(params.size()), nullptr, params.data(), nullptr, nullptr, 0));
    StoreResult outcome = StoreResult::Failed;
    if (PQresultStatus(res.result) == PGRES_COMMAND_OK) {
      outcome = std::string(PQcmdTuples(res.result)) == "1" ? StoreResult::Stored : StoreResult::Duplicate;
    } else {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
    }
    Release(c);
    return outcome;
  }

  bool Each(const std::function<void(const std::vector<std::string>&)>& row, std::string* error) override {
    PGconn* c = Acquire(error);
    if (!c) return false;
    std::string sql = "SELECT id, received_at, sender, path, user_agent, version, profile_length";
    for (const auto& col : FieldColumns()) sql += std::string(", ") + col.column;
    sql += ", other_fields FROM registrations ORDER BY id";
    Result res(PQexec(c, sql.c_str()));
    bool ok = PQresultStatus(res.result) == PGRES_TUPLES_OK;
    if (ok) {
      std::vector<std::string> values;
      for (int t = 0; t < PQntuples(res.result); ++t) {
        values.clear();
        for (int f = 0; f < PQnfields(res.result); ++f)
          values.emplace_back(PQgetvalue(res.result, t, f), static_cast<std::size_t>(PQgetlength(res.result, t, f)));
        row(values);
      }
    } else {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
    }
    Release(c);
    return ok;
  }

  std::int64_t Forget(const std::string& email, std::string* error) override {
    PGconn* c = Acquire(error);
    if (!c) return -1;
    const char* params[] = {email.c_str()};
    Result res(PQexecParams(c, "DELETE FROM registrations WHERE lower(f207_email) = lower($1)", 1, nullptr, params,
                            nullptr, nullptr, 0));
    std::int64_t count = -1;
    if (PQresultStatus(res.result) == PGRES_COMMAND_OK) {
      count = std::stoll(PQcmdTuples(res.result));
    } else {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
    }
    Release(c);
    return count;
  }

  bool Stats(std::vector<std::pair<std::string, std::string>>* lines, std::string* error) override {
    PGconn* c = Acquire(error);
    if (!c) return false;
    std::string version;
    bool ok = SchemaVersion(c, &version, error);
    if (ok) lines->push_back({"schema_version", version});
    const char* queries[] = {
        "SELECT 'registrations', count(*) FROM registrations",
        "SELECT 'first', coalesce(min(received_at), '') FROM registrations",
        "SELECT 'last', coalesce(max(received_at), '') FROM registrations",
        "SELECT 'distinct emails', count(DISTINCT lower(f207_email)) FROM registrations",
        "SELECT 'product ' || coalesce(f101_company, '') || ' ' || coalesce(f102_product, '') || ' ' || "
        "coalesce(f103_product_version, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1",
        "SELECT 'news ' || coalesce(f400_list_server, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1"};
    for (const char* q : queries) {
      if (!ok) break;
      ok = Query(c, q, lines, error);
    }
    Release(c);
    return ok;
  }

 private:
  PGconn* Connect(std::string* error) {
    PGconn* c = PQconnectdb(conninfo_.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
      *error = "PostgreSQL: " + std::string(PQerrorMessage(c));
      PQfinish(c);
      return nullptr;
    }
    PQsetClientEncoding(c, "UTF8");
    // "already exists, skipping" and the like are not for the operator.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    return c;
  }

  PGconn* Acquire(std::string* error) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (!idle_.empty()) {
        PGconn* c = idle_.back();
        idle_.pop_back();
        if (PQstatus(c) == CONNECTION_OK) return c;
        PQfinish(c);
      }
    }
    return Connect(error);
  }

  void Release(PGconn* c) {
    // A connection left inside a failed transaction is not reused.
    if (PQstatus(c) != CONNECTION_OK || PQtransactionStatus(c) != PQTRANS_IDLE) {
      PQfinish(c);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(c);
  }

  static bool Exec(PGconn* c, const std::string& sql, std::string* error) {
    Result res(PQexec(c, sql.c_str()));
    ExecStatusType status = PQresultStatus(res.result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
    *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
    return false;
  }

  static bool Query(PGconn* c, const char* sql, std::vector<std::pair<std::string, std::string>>* lines,
                    std::string* error) {
    Result res(PQexec(c, sql));
    if (PQresultStatus(res.result) != PGRES_TUPLES_OK) {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
      return false;
    }
    for (int t = 0; t < PQntuples(res.result); ++t)
      lines->push_back({PQgetvalue(res.result, t, 0), PQgetvalue(res.result, t, 1)});
    return true;
  }

  static bool SchemaVersion(PGconn* c, std::string* version, std::string* error) {
    std::vector<std::pair<std::string, std::string>> lines;
    if (!Query(c, "SELECT key, value FROM meta WHERE key = 'schema_version'", &lines, error)) return false;
    *version = lines.empty() ? "" : lines[0].second;
    return true;
  }

  std::string conninfo_;
  std::mutex mutex_;
  std::vector<PGconn*> idle_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error) {
  auto store = std::make_unique<PostgresStore>();
  if (!store->Open(conninfo, error)) return nullptr;
  return store;
}
