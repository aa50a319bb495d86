#pragma once
// A prepared SQLite statement, finalized with the object; null when
// preparing failed. Shared by the store's files, with the check that keeps
// an unknown column name out of the SQL text.

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <string_view>

namespace norvo::sqlite {

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) {
    sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &s_, nullptr);
  }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

// The record columns a query may name, as the table spells them; nullptr
// for anything else, which therefore never reaches the SQL text.
inline const char* KnownRecordColumn(const std::string& column) {
  for (const char* known : {"Temperature", "Humidity", "Dewpoint", "Heatindex"}) {
    if (column.size() == std::strlen(known) && sqlite3_stricmp(column.c_str(), known) == 0) return known;
  }
  return nullptr;
}

}  // namespace norvo::sqlite
