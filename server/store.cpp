#include "store.h"

std::vector<std::string> ExportColumns() {
  std::vector<std::string> names = {"id", "received_at", "sender", "path", "user_agent", "version", "profile_length"};
  for (const auto& c : FieldColumns()) names.push_back(c.name);
  names.push_back("other_fields");
  return names;
}

std::string RegistrationColumnsSql() {
  std::string sql =
      "received_at TEXT NOT NULL, sender TEXT NOT NULL, path TEXT NOT NULL, user_agent TEXT NOT NULL, "
      "version TEXT NOT NULL, profile_length INTEGER NOT NULL, body_hash TEXT NOT NULL UNIQUE";
  for (const auto& c : FieldColumns()) sql += std::string(", ") + c.column + " TEXT";
  sql += ", other_fields TEXT NOT NULL DEFAULT ''";
  return sql;
}

bool IsPostgresName(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0 ||
         db.find("dbname=") != std::string::npos;
}

std::unique_ptr<Store> OpenStore(const std::string& db, std::string* error, Access access) {
  if (IsPostgresName(db)) return OpenPostgresStore(db, access, error);
  return OpenSqliteStore(db, access, error);
}

std::vector<StoreResult> Store::InsertBatch(const std::vector<const Registration*>& rows, std::string* error) {
  std::vector<StoreResult> outcomes;
  if (InsertAll(rows, &outcomes, error)) return outcomes;
  outcomes.assign(rows.size(), StoreResult::Failed);
  if (rows.size() == 1) return outcomes;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<StoreResult> one;
    std::string why;
    if (InsertAll({rows[i]}, &one, &why)) {
      outcomes[i] = one[0];
    } else {
      *error = why;
    }
  }
  return outcomes;
}

StoreResult Store::Insert(const Registration& registration, std::string* error) {
  return InsertBatch({&registration}, error)[0];
}
