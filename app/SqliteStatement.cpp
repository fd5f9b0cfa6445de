#include "app/SqliteStatement.h"

#include <sqlite3.h>

#include "platform/Cp1252.h"

namespace quv {

TSqlStatement::TSqlStatement(sqlite3* db, const char* sql) : FDb(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &FStatement, nullptr) != SQLITE_OK)
    throw ERecorderError(sqlite3_errmsg(db));
}

TSqlStatement::~TSqlStatement() { sqlite3_finalize(FStatement); }

TSqlStatement& TSqlStatement::Bind(int index, double value) {
  sqlite3_bind_double(FStatement, index, value);
  return *this;
}

TSqlStatement& TSqlStatement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(FStatement, index, value);
  return *this;
}

TSqlStatement& TSqlStatement::Bind(int index, const std::string& cp1252) {
  sqlite3_bind_text(FStatement, index, Cp1252ToUtf8(cp1252).c_str(), -1, SQLITE_TRANSIENT);
  return *this;
}

bool TSqlStatement::Step() {
  const int result = sqlite3_step(FStatement);
  if (result == SQLITE_ROW) return true;
  if (result != SQLITE_DONE) throw ERecorderError(sqlite3_errmsg(FDb));
  return false;
}

void TSqlStatement::Reset() {
  sqlite3_reset(FStatement);
  sqlite3_clear_bindings(FStatement);
}

int64_t TSqlStatement::Integer(int column) const { return sqlite3_column_int64(FStatement, column); }

double TSqlStatement::Real(int column) const { return sqlite3_column_double(FStatement, column); }

bool TSqlStatement::IsNull(int column) const {
  return sqlite3_column_type(FStatement, column) == SQLITE_NULL;
}

std::string TSqlStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(FStatement, column);
  return text ? Utf8ToCp1252(reinterpret_cast<const char*>(text)) : std::string();
}

void ExecuteSql(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error ? error : "unknown error";
    sqlite3_free(error);
    throw ERecorderError(reason);
  }
}

}  // namespace quv
