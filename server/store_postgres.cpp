// The PostgreSQL store: a small pool of connections; a batch of
// registrations is one statement, its rows in the order of their body
// hashes, so that two receivers on one database never wait on each other
// in a circle. A forget rewrites the table (VACUUM FULL), so that the
// removed rows leave no copy in its files.
#include <libpq-fe.h>

#include <algorithm>
#include <mutex>
#include <set>

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

  bool Open(const std::string& conninfo, Access access, std::string* error) {
    conninfo_ = conninfo;
    readOnly_ = access == Access::Read;
    PGconn* c = Connect(error);
    if (!c) return false;
    if (readOnly_) {
      std::string version;
      bool ok = SchemaVersion(c, &version, error);
      if (ok && version != std::to_string(kSchemaVersion)) {
        *error =
            "the database has schema version " + version + ", this receiver knows " + std::to_string(kSchemaVersion);
        ok = false;
      }
      Release(c);
      return ok;
    }
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
    std::string folded = FoldCase(email);
    const char* params[] = {folded.c_str(), FoldCapitals().c_str(), FoldSmall().c_str()};
    Result res(PQexecParams(c, "DELETE FROM registrations WHERE translate(f207_email, $2, $3) = $1", 3, nullptr, params,
                            nullptr, nullptr, 0));
    std::int64_t count = -1;
    if (PQresultStatus(res.result) == PGRES_COMMAND_OK) {
      count = std::stoll(PQcmdTuples(res.result));
    } else {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
    }
    // A deleted row stays in the table's pages until they are rewritten:
    // VACUUM FULL writes the table and its indexes anew (and holds every
    // insert while it runs).
    if (count > 0 && !Exec(c, "VACUUM (FULL, ANALYZE) registrations", error)) {
      *error = std::to_string(count) + " registrations were removed, but the table could not be rewritten: " + *error;
      count = -1;
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
        "SELECT 'distinct emails', count(DISTINCT translate(f207_email, $1, $2)) FROM registrations",
        "SELECT 'product ' || coalesce(f101_company, '') || ' ' || coalesce(f102_product, '') || ' ' || "
        "coalesce(f103_product_version, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1",
        "SELECT 'news ' || coalesce(f400_list_server, ''), count(*) FROM registrations GROUP BY 1 ORDER BY 1"};
    for (const char* q : queries) {
      if (!ok) break;
      ok = Query(c, q, lines, error, std::string(q).find("$1") != std::string::npos);
    }
    Release(c);
    return ok;
  }

 protected:
  bool InsertAll(const std::vector<const Registration*>& rows, std::vector<StoreResult>* outcomes,
                 std::string* error) override {
    outcomes->clear();
    PGconn* c = Acquire(error);
    if (!c) return false;
    // Rows in the order of their hashes: two receivers inserting the same
    // bodies lock them in one order.
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return rows[a]->bodyHash < rows[b]->bodyHash; });
    std::string sql =
        "INSERT INTO registrations (received_at, sender, path, user_agent, version, profile_length, body_hash";
    for (const auto& col : FieldColumns()) sql += std::string(", ") + col.column;
    sql += ", other_fields) VALUES ";
    const std::size_t columns = 8 + FieldColumns().size();
    std::vector<std::string> lengths;
    lengths.reserve(rows.size());
    std::vector<const char*> params;
    int n = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
      const Registration& r = *rows[order[k]];
      sql += k ? ", (" : "(";
      for (std::size_t col = 0; col < columns; ++col) sql += (col ? ", $" : "$") + std::to_string(++n);
      sql += ")";
      lengths.push_back(std::to_string(r.profileLength));
      const std::string* own[] = {&r.receivedAt, &r.sender,       &r.path,    &r.agent,
                                  &r.version,    &lengths.back(), &r.bodyHash};
      for (const std::string* v : own) params.push_back(v->c_str());
      for (const auto& f : r.fields) params.push_back(f ? f->c_str() : nullptr);
      params.push_back(r.other.c_str());
    }
    sql += " ON CONFLICT (body_hash) DO NOTHING RETURNING body_hash";
    // One statement is one transaction: the rows are committed together
    // when it returns.
    Result res(
        PQexecParams(c, sql.c_str(), static_cast<int>(params.size()), nullptr, params.data(), nullptr, nullptr, 0));
    bool ok = PQresultStatus(res.result) == PGRES_TUPLES_OK;
    if (ok) {
      std::set<std::string> stored;
      for (int t = 0; t < PQntuples(res.result); ++t) stored.insert(PQgetvalue(res.result, t, 0));
      // The same body twice in one batch: the first is stored.
      for (const Registration* r : rows)
        outcomes->push_back(stored.erase(r->bodyHash) ? StoreResult::Stored : StoreResult::Duplicate);
    } else {
      *error = "PostgreSQL: " + std::string(PQresultErrorMessage(res.result));
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
    if (readOnly_ && !Exec(c, "SET default_transaction_read_only = on", error)) {
      PQfinish(c);
      return nullptr;
    }
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

  // folded: $1 and $2 are the capitals and small letters of FoldCase.
  static bool Query(PGconn* c, const char* sql, std::vector<std::pair<std::string, std::string>>* lines,
                    std::string* error, bool folded = false) {
    const char* params[] = {FoldCapitals().c_str(), FoldSmall().c_str()};
    Result res(PQexecParams(c, sql, folded ? 2 : 0, nullptr, folded ? params : nullptr, nullptr, nullptr, 0));
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
  bool readOnly_ = false;
  std::mutex mutex_;
  std::vector<PGconn*> idle_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, Access access, std::string* error) {
  auto store = std::make_unique<PostgresStore>();
  if (!store->Open(conninfo, access, error)) return nullptr;
  return store;
}
