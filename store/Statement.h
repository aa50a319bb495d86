#pragma once
// A prepared SQLite statement, finalized with the object; null when
// preparing failed. Shared by the store's files.

#include <sqlite3.h>

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

}  // namespace norvo::sqlite
