#include "RecordStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "OleDate.h"
#include "SeriesQuery.h"
#include "Statement.h"
#include "res/Strings.h"
#include "settings/RegularFile.h"

namespace norvo {
namespace {

// One transaction: a new file is made with one sync, not one per statement.
constexpr const char* kRecordSchema =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS Records (Time REAL, Temperature REAL, Humidity INTEGER, Dewpoint REAL, "
    "Heatindex REAL);"
    "CREATE INDEX IF NOT EXISTS RecordsByTime ON Records(Time);"
    "CREATE TABLE IF NOT EXISTS Param (Name TEXT, Value TEXT);"
    "COMMIT";

// Rows per insert statement while appending.
constexpr std::size_t kBatch = 64;

}  // namespace

RecordStore::RecordStore(Reporter reporter) : reporter_(std::move(reporter)) {}

RecordStore::~RecordStore() { Disconnect(); }

int RecordStore::Fail(int code, const std::string& what) {
  error_ = what;
  if (reporter_) reporter_(error_);
  return code;
}

void RecordStore::Finalize() {
  runs_writer_.reset();
  runs_ = Runs::kUndecided;
  if (statement_) sqlite3_finalize(statement_);
  if (single_) sqlite3_finalize(single_);
  statement_ = nullptr;
  single_ = nullptr;
  batch_.clear();
}

void RecordStore::Disconnect() {
  Finalize();
  if (db_ && in_transaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  in_transaction_ = false;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool RecordStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

int RecordStore::Connect(const std::string& path) {
  Disconnect();
  // A file that exists but is not an SQLite database is never touched: look
  // at its header before SQLite may write anything. Only a regular file is
  // looked at: no symlink is followed, no FIFO or device waited on.
  if (path != ":memory:") {
    const int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0 && errno != ENOENT) {
      const int error = errno;
      return Fail(-1, path + (error == ELOOP ? UIString(ui::kStoreIsSymlink)
                              : error == ENOTSUP
                                  ? UIString(ui::kStoreNotRegular)
                                  : ": " + std::string(std::strerror(error))));
    }
    if (fd >= 0) {
      char header[16] = {};
      const ssize_t n = ::read(fd, header, sizeof header);
      ::close(fd);
      if (n > 0 && (n < 16 || std::memcmp(header, "SQLite format 3", 16) != 0)) {
        return Fail(-1, path + UIString(ui::kStoreNotADatabase));
      }
    }
  }
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : UIString(ui::kOutOfMemory);
    Disconnect();
    return Fail(-1, path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 2000);
  sqlite3_exec(db_, "PRAGMA cache_size=-16384", nullptr, nullptr, nullptr);  // 16 MiB for the bulk appends
  if (!Exec(kRecordSchema)) {
    const std::string message = error_;
    Disconnect();
    return Fail(-1, path + ": " + message);
  }
  return 0;
}

int RecordStore::DeleteAllRecords() {
  if (db_ == nullptr) return Fail(1, UIString(ui::kStoreNotConnected));
  if (!Exec("DELETE FROM Records")) return Fail(1, error_);
  runs_writer_.reset();
  runs_ = Runs::kUndecided;
  if (const std::string e = DropRecordRuns(db_); !e.empty()) return Fail(1, e);
  if (!Exec("DELETE FROM Param")) return Fail(1, error_);
  return 0;
}

int RecordStore::OpenRecordTable(const std::string& sql) {
  if (db_ == nullptr) return Fail(1, UIString(ui::kStoreNotConnected));
  Finalize();
  if (sql == "SELECT * FROM Records") {
    if (!Exec("BEGIN IMMEDIATE")) return Fail(1, error_);
    in_transaction_ = true;
    // The index on Time is built once after the appends rather than kept up
    // row by row; inside the transaction, so a failure brings it back as it was.
    if (!Exec("DROP INDEX IF EXISTS RecordsByTime")) return Fail(1, error_);
    append_failed_ = false;
    const std::string insert = "INSERT INTO Records (Time, Humidity, Temperature, Dewpoint, Heatindex) VALUES ";
    std::string many = insert + "(?,?,?,?,?)";
    for (std::size_t i = 1; i < kBatch; ++i) many += ",(?,?,?,?,?)";
    if (sqlite3_prepare_v2(db_, many.c_str(), -1, &statement_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, (insert + "(?,?,?,?,?)").c_str(), -1, &single_, nullptr) != SQLITE_OK) {
      return Fail(1, sqlite3_errmsg(db_));
    }
    batch_.reserve(kBatch);
    return 0;
  }
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
    return Fail(1, sqlite3_errmsg(db_));
  }
  return 0;
}

bool RecordStore::CloseRecordTable() {
  if (!in_transaction_ || db_ == nullptr) {
    Finalize();
    return true;
  }
  const bool flushed = Flush();
  std::unique_ptr<RecordRunsWriter> writer = runs_ == Runs::kWriting ? std::move(runs_writer_) : nullptr;
  Finalize();
  in_transaction_ = false;
  if (flushed && !append_failed_ && Exec("CREATE INDEX IF NOT EXISTS RecordsByTime ON Records(Time)") &&
      (error_ = writer ? writer->End() : RebuildRecordRuns(db_)).empty() && Exec("COMMIT")) {
    return true;
  }
  const std::string message = error_;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  Fail(2, message);
  return false;
}

bool RecordStore::Flush() {
  const auto bind = [](sqlite3_stmt* s, int at, const LogRecord& r) {
    sqlite3_bind_double(s, at + 1, r.Time);
    sqlite3_bind_int(s, at + 2, r.Humidity);
    sqlite3_bind_double(s, at + 3, r.Temperature);
    sqlite3_bind_double(s, at + 4, r.Dewpoint);
    sqlite3_bind_double(s, at + 5, r.Heatindex);
  };
  bool ok = true;
  if (batch_.size() == kBatch) {
    sqlite3_reset(statement_);
    for (std::size_t i = 0; i < kBatch; ++i) bind(statement_, static_cast<int>(5 * i), batch_[i]);
    ok = sqlite3_step(statement_) == SQLITE_DONE;
  } else {
    for (const LogRecord& r : batch_) {
      sqlite3_reset(single_);
      bind(single_, 0, r);
      ok = sqlite3_step(single_) == SQLITE_DONE && ok;
    }
  }
  batch_.clear();
  if (!ok) {
    append_failed_ = true;
    error_ = sqlite3_errmsg(db_);
  }
  return ok;
}

int RecordStore::AppendRecord() {
  if (statement_ == nullptr || !in_transaction_ || record_ == nullptr) {
    return Fail(2, UIString(ui::kRecordTableNotOpen));
  }
  if (runs_ == Runs::kUndecided) {
    // Rows already in the table (appends to a kept table) are not seen by
    // the writer: only an empty table's summary is written on the way.
    sqlite3_stmt* empty = nullptr;
    const bool is_empty = batch_.empty() &&
                          sqlite3_prepare_v2(db_, "SELECT NOT EXISTS (SELECT 1 FROM Records)", -1, &empty, nullptr) == SQLITE_OK &&
                          sqlite3_step(empty) == SQLITE_ROW && sqlite3_column_int(empty, 0) == 1;
    sqlite3_finalize(empty);
    runs_ = Runs::kRebuild;
    if (is_empty) {
      runs_writer_ = std::make_unique<RecordRunsWriter>();
      if (runs_writer_->Begin(db_).empty()) {
        runs_ = Runs::kWriting;
      } else {
        runs_writer_.reset();
      }
    }
  }
  if (runs_ == Runs::kWriting) {
    runs_writer_->Add(record_->Time, record_->Temperature, record_->Humidity, record_->Dewpoint, record_->Heatindex);
  }
  batch_.push_back(*record_);
  if (batch_.size() == kBatch && !Flush()) return Fail(2, error_);
  return 0;
}

int RecordStore::PrepareSpan(const char* head, const std::string& start, const std::string& end,
                             const std::string& column, const char* tail) {
  if (db_ == nullptr) return Fail(1, UIString(ui::kStoreNotConnected));
  const char* name = sqlite::KnownRecordColumn(column);
  if (name == nullptr) return Fail(1, UIString(ui::kUnknownColumn) + column);
  double from = 0, to = 0;
  if (!ParseSpanTime(start, &from) || !ParseSpanTime(end, &to)) return Fail(1, UIString(ui::kBadTimeSpan) + start + " " + end);
  Finalize();
  const std::string sql =
      std::string(head) + " FROM Records WHERE Time > ?1 AND Time <= ?2 AND " + name + " <> 65535" + tail;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
    return Fail(1, sqlite3_errmsg(db_));
  }
  sqlite3_bind_double(statement_, 1, from);
  sqlite3_bind_double(statement_, 2, to);
  return 0;
}

int RecordStore::CountRecords(const std::string& start, const std::string& end, const std::string& column) {
  count_ = 0;
  if (const int rc = PrepareSpan("SELECT count(*)", start, end, column, ""); rc != 0) return rc;
  if (sqlite3_step(statement_) != SQLITE_ROW) return Fail(1, sqlite3_errmsg(db_));
  count_ = sqlite3_column_int(statement_, 0);
  Finalize();
  return 0;
}

int RecordStore::QueryRecords(const std::string& start, const std::string& end, const std::string& column) {
  const char* name = sqlite::KnownRecordColumn(column);
  const std::string head = std::string("SELECT Time, ") + (name ? name : "Time");
  return PrepareSpan(head.c_str(), start, end, column, " ORDER BY Time ASC");
}

bool RecordStore::NextRow(double* time, float* value) {
  if (statement_ == nullptr) return false;
  const int rc = sqlite3_step(statement_);
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE) Fail(1, sqlite3_errmsg(db_));
    Finalize();
    return false;
  }
  *time = sqlite3_column_double(statement_, 0);
  *value = static_cast<float>(sqlite3_column_double(statement_, 1));
  return true;
}

}  // namespace norvo
