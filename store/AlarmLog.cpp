#include "AlarmLog.h"

#include <sqlite3.h>

#include "Statement.h"
#include "res/Strings.h"

namespace norvo {
namespace {

constexpr const char* kAlarmSchema =
    "CREATE TABLE IF NOT EXISTS AlarmLog (Unit TEXT NOT NULL, Channel INTEGER NOT NULL, Quantity TEXT NOT NULL, "
    "Bound TEXT NOT NULL, LimitValue REAL NOT NULL, Start REAL NOT NULL, End REAL, Peak REAL NOT NULL, "
    "PeakTime REAL NOT NULL, UNIQUE (Unit, Channel, Quantity, Bound, Start));"
    "CREATE INDEX IF NOT EXISTS AlarmLogByStart ON AlarmLog(Start);"
    "CREATE TABLE IF NOT EXISTS AlarmUnitFacts (Unit TEXT NOT NULL, Time REAL NOT NULL, Identification TEXT NOT NULL, "
    "IntervalMinutes INTEGER NOT NULL, Limits TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS AlarmUnitFactsByUnit ON AlarmUnitFacts(Unit, Time);";

using sqlite::Statement;

std::string Text(sqlite3_stmt* s, int column) {
  const unsigned char* t = sqlite3_column_text(s, column);
  return t ? reinterpret_cast<const char*>(t) : "";
}

UnitFactsRow FactsAt(sqlite3_stmt* s) {
  UnitFactsRow f;
  f.unit = Text(s, 0);
  f.time = sqlite3_column_double(s, 1);
  f.identification = Text(s, 2);
  f.interval_minutes = sqlite3_column_int(s, 3);
  f.limits = Text(s, 4);
  return f;
}

}  // namespace

AlarmLog::~AlarmLog() { Close(); }

void AlarmLog::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool AlarmLog::Fail(std::string* error, const std::string& what) {
  if (error) *error = path_ + ": " + what;
  return false;
}

bool AlarmLog::OpenFile(const std::string& path, bool read_only, std::string* error) {
  Close();
  path_ = path;
  const int flags = read_only ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : UIString(ui::kOutOfMemory);
    Close();
    return Fail(error, message);
  }
  // Short: the holder writes from its poll thread and keeps what waits.
  sqlite3_busy_timeout(db_, read_only ? 5000 : 500);
  // SQLite reads the header here; a file that is not a database is refused
  // before anything is written to it.
  if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db_);
    Close();
    return Fail(error, message);
  }
  return true;
}

bool AlarmLog::Open(const std::string& path, std::string* error) {
  if (!OpenFile(path, false, error)) return false;
  char* message = nullptr;
  if (sqlite3_exec(db_, kAlarmSchema, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    Close();
    return Fail(error, text);
  }
  return true;
}

bool AlarmLog::OpenReadOnly(const std::string& path, std::string* error) { return OpenFile(path, true, error); }

bool AlarmLog::HasTables() {
  Statement s(db_, "SELECT count(*) FROM sqlite_master WHERE name IN ('AlarmLog', 'AlarmUnitFacts')");
  return s && sqlite3_step(s.get()) == SQLITE_ROW && sqlite3_column_int(s.get(), 0) == 2;
}

bool AlarmLog::Write(const AlarmLogRow& row, std::string* error) {
  if (!db_) return Fail(error, UIString(ui::kStoreNotOpen));
  Statement s(db_,
              "INSERT OR REPLACE INTO AlarmLog (Unit, Channel, Quantity, Bound, LimitValue, Start, End, Peak, PeakTime) "
              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_stmt* st = s.get();
  sqlite3_bind_text(st, 1, row.unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 2, row.channel);
  sqlite3_bind_text(st, 3, row.quantity.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 4, row.bound.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_double(st, 5, row.limit);
  sqlite3_bind_double(st, 6, row.start);
  row.end ? sqlite3_bind_double(st, 7, *row.end) : sqlite3_bind_null(st, 7);
  sqlite3_bind_double(st, 8, row.peak);
  sqlite3_bind_double(st, 9, row.peak_time);
  if (sqlite3_step(st) != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  return true;
}

bool AlarmLog::WriteFacts(const UnitFactsRow& facts, std::string* error) {
  if (!db_) return Fail(error, UIString(ui::kStoreNotOpen));
  std::string read_error;
  const std::optional<UnitFactsRow> last = Facts(facts.unit, 1e300, &read_error);
  if (!read_error.empty()) return Fail(error, read_error);
  if (last && last->SameFacts(facts)) return true;
  Statement s(db_, "INSERT INTO AlarmUnitFacts (Unit, Time, Identification, IntervalMinutes, Limits) VALUES (?, ?, ?, ?, ?)");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_text(s.get(), 1, facts.unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_double(s.get(), 2, facts.time);
  sqlite3_bind_text(s.get(), 3, facts.identification.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(s.get(), 4, facts.interval_minutes);
  sqlite3_bind_text(s.get(), 5, facts.limits.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  return true;
}

bool AlarmLog::Query(double from, double to, const std::string& unit,
                     const std::function<void(const AlarmLogRow&)>& row, std::string* error) {
  if (!db_) return Fail(error, UIString(ui::kStoreNotOpen));
  if (!HasTables()) return true;
  Statement s(db_,
              "SELECT Unit, Channel, Quantity, Bound, LimitValue, Start, End, Peak, PeakTime FROM AlarmLog "
              "WHERE Start <= ?2 AND (End IS NULL OR End > ?1) AND (?3 = '' OR Unit = ?3) "
              "ORDER BY Start, Unit, Channel, Quantity, Bound");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_double(s.get(), 1, from);
  sqlite3_bind_double(s.get(), 2, to);
  sqlite3_bind_text(s.get(), 3, unit.c_str(), -1, SQLITE_TRANSIENT);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    sqlite3_stmt* st = s.get();
    AlarmLogRow r;
    r.unit = Text(st, 0);
    r.channel = sqlite3_column_int(st, 1);
    r.quantity = Text(st, 2);
    r.bound = Text(st, 3);
    r.limit = sqlite3_column_double(st, 4);
    r.start = sqlite3_column_double(st, 5);
    if (sqlite3_column_type(st, 6) != SQLITE_NULL) r.end = sqlite3_column_double(st, 6);
    r.peak = sqlite3_column_double(st, 7);
    r.peak_time = sqlite3_column_double(st, 8);
    row(r);
  }
  if (rc != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  return true;
}

std::optional<UnitFactsRow> AlarmLog::Facts(const std::string& unit, double at, std::string* error) {
  if (!db_) {
    Fail(error, UIString(ui::kStoreNotOpen));
    return std::nullopt;
  }
  if (!HasTables()) return std::nullopt;
  for (const char* sql :
       {"SELECT Unit, Time, Identification, IntervalMinutes, Limits FROM AlarmUnitFacts WHERE Unit = ? AND Time <= ? "
        "ORDER BY Time DESC, rowid DESC LIMIT 1",
        "SELECT Unit, Time, Identification, IntervalMinutes, Limits FROM AlarmUnitFacts WHERE Unit = ?1 AND ?2 = ?2 "
        "ORDER BY Time, rowid LIMIT 1"}) {
    Statement s(db_, sql);
    if (!s) {
      Fail(error, sqlite3_errmsg(db_));
      return std::nullopt;
    }
    sqlite3_bind_text(s.get(), 1, unit.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(s.get(), 2, at);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) return FactsAt(s.get());
    if (rc != SQLITE_DONE) {
      Fail(error, sqlite3_errmsg(db_));
      return std::nullopt;
    }
  }
  return std::nullopt;
}

bool AlarmLogWriter::Write(std::vector<AlarmLogRow> rows, std::optional<UnitFactsRow> facts, std::string* error) {
  rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  if (facts) facts_.push_back(std::move(*facts));
  if (rows_.empty() && facts_.empty()) return true;
  if (!log_) {
    log_ = std::make_unique<AlarmLog>();
    if (!log_->Open(database_, error)) {
      log_.reset();
      return false;
    }
  }
  // A refused write opens a fresh connection next time: the folder or the
  // file may have changed meanwhile.
  while (!facts_.empty()) {
    if (!log_->WriteFacts(facts_.front(), error)) {
      log_.reset();
      return false;
    }
    facts_.erase(facts_.begin());
  }
  while (!rows_.empty()) {
    if (!log_->Write(rows_.front(), error)) {
      log_.reset();
      return false;
    }
    rows_.erase(rows_.begin());
  }
  return true;
}

}  // namespace norvo
