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
enum class Access { Write, Read };

class Store {
 public:
  virtual ~Store() = default;
  // The rows in one transaction, one outcome each: Stored or Duplicate once
  // it is committed (the reply may say so). When the transaction fails as a
  // whole, every row is tried again in a transaction of its own, so that
  // one row the database refuses fails alone.
  std::vector<StoreResult> InsertBatch(const std::vector<const Registration*>& rows, std::string* error);
  StoreResult Insert(const Registration& registration, std::string* error);
  // Between commits, when nothing arrives: the SQLite log is checkpointed
  // and truncated (a reader may have kept it from that).
  virtual void Maintain() {}
  // Every stored registration, oldest first: the named columns and their
  // texts ("" for a field not sent).
  virtual bool Each(const std::function<void(const std::vector<std::string>&)>& row, std::string* error) = 0;
  // Removes every registration of the address (its letters compared by
  // FoldCase), leaving no copy in the database's own files; how many.
  virtual std::int64_t Forget(const std::string& email, std::string* error) = 0;
  // name, value lines for `regserver stats`.
  virtual bool Stats(std::vector<std::pair<std::string, std::string>>* lines, std::string* error) = 0;

 protected:
  // One transaction of all the rows, outcomes in order; false when it failed.
  virtual bool InsertAll(const std::vector<const Registration*>& rows, std::vector<StoreResult>* outcomes,
                         std::string* error) = 0;
};

// The columns of the export, in order: the receiver's own, then the
// profile's fields by name.
std::vector<std::string> ExportColumns();

// Opens the database named by --db (Write: and on first use creates it;
// Read: only an existing one, which it never changes): a
// "postgresql://" or "postgres://" URI, or "key=value" words with
// "dbname=", go to PostgreSQL; anything else is a SQLite file.
std::unique_ptr<Store> OpenStore(const std::string& db, std::string* error, Access access = Access::Write);
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access, std::string* error);
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, Access access, std::string* error);
bool IsPostgresName(const std::string& db);

// SQL shared by both: the table's columns after "id".
std::string RegistrationColumnsSql();
