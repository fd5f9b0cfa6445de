#pragma once

#include <cstdint>
#include <string>

#include "platform/Exception.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quv {

// A record file that cannot be opened, read or written, or one of a newer schema.
class ERecorderError : public Exception {
 public:
  using Exception::Exception;
};

// One prepared statement of an SQLite database, finalised when it goes.
// Texts are bound and read as Windows-1252 and stored as UTF-8. Errors
// raise ERecorderError with SQLite's message.
class TSqlStatement final {
 public:
  TSqlStatement(sqlite3* db, const char* sql);
  ~TSqlStatement();
  TSqlStatement(const TSqlStatement&) = delete;
  TSqlStatement& operator=(const TSqlStatement&) = delete;

  TSqlStatement& Bind(int index, double value);
  TSqlStatement& Bind(int index, int64_t value);
  TSqlStatement& Bind(int index, const std::string& cp1252);
  // Steps once; true while there is a row.
  bool Step();
  // Makes the statement ready to run again with new values.
  void Reset();
  int64_t Integer(int column) const;
  double Real(int column) const;
  bool IsNull(int column) const;
  // The column's text, Windows-1252.
  std::string Text(int column) const;

 private:
  sqlite3* FDb;
  sqlite3_stmt* FStatement = nullptr;
};

// Runs `sql` (one or more statements without results).
void ExecuteSql(sqlite3* db, const std::string& sql);

}  // namespace quv
