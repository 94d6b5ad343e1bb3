// Where the registrations are kept: SQLite by default, PostgreSQL for a
// connection string. Both hold the same tables, made on first use:
//   meta (key, value)          "schema_version" among them
//   registrations              one row per registration, unique body hash
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fields.h"

constexpr int kSchemaVersion = 1;

enum class StoreResult { Stored, Duplicate, Failed };

class Store {
 public:
  virtual ~Store() = default;
  // Committed when it returns Stored or Duplicate; the reply may say so.
  virtual StoreResult Insert(const Registration& registration, std::string* error) = 0;
  // Every stored registration, oldest first: the named columns and their
  // texts ("" for a field not sent).
  virtual bool Each(const std::function<void(const std::vector<std::string>&)>& row, std::string* error) = 0;
  // Removes every registration of the address (any letter case); how many.
  virtual std::int64_t Forget(const std::string& email, std::string* error) = 0;
  // name, value lines for `regserver stats`.
  virtual bool Stats(std::vector<std::pair<std::string, std::string>>* lines, std::string* error) = 0;
};

// The columns of the export, in order: the receiver's own, then the
// profile's fields by name.
std::vector<std::string> ExportColumns();

// Opens (and on first use creates) the database named by --db: a
// "postgresql://" or "postgres://" URI, or "key=value" words with
// "dbname=", go to PostgreSQL; anything else is a SQLite file.
std::unique_ptr<Store> OpenStore(const std::string& db, std::string* error);
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error);
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error);
bool IsPostgresName(const std::string& db);

// SQL shared by both: the table's columns after "id".
std::string RegistrationColumnsSql();
