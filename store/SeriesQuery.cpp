#include "SeriesQuery.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "Statement.h"
#include "settings/RegularFile.h"

namespace norvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMaxSeries = 3;
constexpr int kMaxPixelColumns = 16384;
// Above this share of the table's time extent a walk of the table in its
// own order beats the index: the index costs a seek per row.
constexpr double kTableScanShare = 2.0 / 3.0;

// A read-only connection, closed with the object.
class Reader {
 public:
  ~Reader() {
    if (statement_) sqlite3_finalize(statement_);
    if (db_) sqlite3_close(db_);
  }

  // False with error set on failure; true with missing() set when there is
  // no database file yet (nothing was ever imported).
  bool Open(const std::string& path) {
    // The same care as the store: only a regular file, never through a
    // symlink, and a file that is not an SQLite database is left alone.
    const int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0) {
      if (errno == ENOENT) {
        missing_ = true;
        return true;
      }
      return Fail(path + (errno == ELOOP      ? ": is a symbolic link and is not opened"
                          : errno == ENOTSUP ? ": is not a regular file and is not opened"
                                             : ": " + std::string(std::strerror(errno))));
    }
    char header[16] = {};
    const ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    if (n == 0) {
      missing_ = true;  // an empty file is an empty store
      return true;
    }
    if (n < 16 || std::memcmp(header, "SQLite format 3", 16) != 0) return Fail(path + ": file is not a database");
    // One thread at a time uses the connection: no lock around each call.
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      return Fail(path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }
    sqlite3_busy_timeout(db_, 2000);
    return true;
  }

  bool missing() const { return missing_; }
  sqlite3* db() const { return db_; }

  // False with error set; true with no statement when the table is absent.
  bool Prepare(const std::string& sql) {
    if (statement_) sqlite3_finalize(statement_);
    statement_ = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement_, nullptr) == SQLITE_OK) return true;
    const std::string message = sqlite3_errmsg(db_);
    if (message.rfind("no such table", 0) == 0) {
      missing_ = true;
      return true;
    }
    return Fail(message);
  }

  sqlite3_stmt* statement() const { return statement_; }

  // SQLITE_ROW or SQLITE_DONE; anything else sets error.
  int Step() {
    const int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(sqlite3_errmsg(db_));
    return rc;
  }

  // The first and last Time of the table, by the index: two seeks.
  bool Extent(double* first, double* last) {
    if (!Prepare("SELECT (SELECT min(Time) FROM Records), (SELECT max(Time) FROM Records)") || !statement_) return false;
    if (Step() != SQLITE_ROW || sqlite3_column_type(statement_, 0) == SQLITE_NULL) return false;
    *first = sqlite3_column_double(statement_, 0);
    *last = sqlite3_column_double(statement_, 1);
    return true;
  }

  bool Fail(const std::string& text) {
    error = text;
    return false;
  }

  std::string error;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
  bool missing_ = false;
};

std::string SelectText(const std::vector<const char*>& names, bool by_index) {
  std::string sql = "SELECT Time";
  for (const char* name : names) sql.append(", ").append(name);
  sql.append(by_index ? " FROM Records" : " FROM Records NOT INDEXED");
  sql.append(" WHERE Time > ?1 AND Time <= ?2");
  if (by_index) sql.append(" ORDER BY Time");
  return sql;
}

// The stored value as the store hands it out (a float), or NaN when absent.
double ReadingAt(sqlite3_stmt* s, int column) {
  const float value = static_cast<float>(sqlite3_column_double(s, column));
  if (value == 0.0f && sqlite3_column_type(s, column) == SQLITE_NULL) return kNaN;
  return value == 65535.0f ? kNaN : static_cast<double>(value);
}

using sqlite::Statement;

// The stored columns, in the order of the summary's columns.
constexpr const char* kStored[] = {"Temperature", "Humidity", "Dewpoint", "Heatindex"};
constexpr int kStoredCount = 4;
// Changes when the summary's layout or meaning changes: an older one is then ignored.
constexpr int kRunsVersion = 2;

// One run of the summary. step_in and step_out: the first and the last
// positive time step between two rows of the run (0 when all its rows share
// one time); hole: a hole in time inside the run that needs nothing from
// before the run to be seen (each step after step_in against the one before).
// first_rowid and last_rowid: the rows of the run by rowid, when the
// table's rowid order is its time order (the summary's ByRowid).
struct Run {
  double first = 0, last = 0;
  long long rows = 0;
  long long first_rowid = 0, last_rowid = 0;
  double step_in = 0, step_out = 0;
  bool hole = false;
  double low[kStoredCount] = {}, low_at[kStoredCount] = {}, high[kStoredCount] = {},
         high_at[kStoredCount] = {};
  long long present[kStoredCount] = {};
};

// The lowest and highest reading of one series in one pixel column.
struct Bin {
  double low = 0, high = 0;
  double low_at = 0, high_at = 0;
  long long count = 0;
  bool broken = false;  // the line breaks before (or within) this column
};

class Reducer {
 public:
  Reducer(const SeriesRequest& request, int series)
      : start_(request.start),
        width_(std::clamp(request.pixel_columns, 1, kMaxPixelColumns)),
        scale_(request.end > request.start ? width_ / (request.end - request.start) : 0.0),
        series_(series),
        bins_(static_cast<std::size_t>(width_ * series)),
        readings_(static_cast<std::size_t>(series), 0) {}

  // False when the row comes earlier than the one before: the rows are not
  // in time order and the reduction must start again on ordered rows.
  bool Add(double time, const double* values) {
    if (have_row_) {
      const double step = time - last_time_;
      if (step < 0) return false;
      if (step > 0) {
        if (last_step_ > 0 && step > kHoleFactor * last_step_) {
          for (int s = 0; s < series_; ++s) pending_[s] = seen_[s];
        }
        last_step_ = step;
      }
    }
    have_row_ = true;
    last_time_ = time;
    Bin* bins = &bins_[static_cast<std::size_t>(Column(time) * series_)];
    for (int s = 0; s < series_; ++s) {
      const int k = s;
      const double v = values[s];
      if (std::isnan(v)) {
        pending_[k] = seen_[k];  // an absent reading between two present ones
        continue;
      }
      Bin& b = bins[s];
      if (pending_[k]) b.broken = true;
      pending_[k] = false;
      seen_[k] = true;
      ++readings_[static_cast<std::size_t>(k)];
      if (b.count == 0 || v < b.low) b.low = v, b.low_at = time;
      if (b.count == 0 || v > b.high) b.high = v, b.high_at = time;
      ++b.count;
    }
    return true;
  }

  int Column(double time) const {
    return std::clamp(static_cast<int>((time - start_) * scale_), 0, width_ - 1);
  }

  // The rows of a run, all in one pixel column, in one step: the same bins
  // and breaks as Add of each row. Each series' readings are all present or
  // all absent in the run (series s is the run's column s); the run comes
  // after every row added so far.
  void AddRun(const Run& run) {
    bool hole_first = false;
    if (have_row_) {
      const double step = run.first - last_time_;
      if (step > 0) {
        hole_first = last_step_ > 0 && step > kHoleFactor * last_step_;
        last_step_ = step;
      }
    }
    const bool hole_inside =
        run.hole || (run.step_in > 0 && last_step_ > 0 && run.step_in > kHoleFactor * last_step_);
    if (run.step_in > 0) last_step_ = run.step_out;
    have_row_ = true;
    last_time_ = run.last;
    Bin* bins = &bins_[static_cast<std::size_t>(Column(run.first) * series_)];
    for (int s = 0; s < series_; ++s) {
      if (hole_first) pending_[s] = seen_[s];
      if (run.present[s] == 0) {
        pending_[s] = seen_[s];  // absent throughout, as row by row
        continue;
      }
      Bin& b = bins[s];
      if (pending_[s] || hole_inside) b.broken = true;
      pending_[s] = false;
      seen_[s] = true;
      readings_[static_cast<std::size_t>(s)] += run.rows;
      if (b.count == 0 || run.low[s] < b.low) b.low = run.low[s], b.low_at = run.low_at[s];
      if (b.count == 0 || run.high[s] > b.high) b.high = run.high[s], b.high_at = run.high_at[s];
      b.count += static_cast<int>(run.rows);
    }
  }

  std::vector<SeriesLine> Lines() const {
    std::vector<SeriesLine> lines(static_cast<std::size_t>(series_));
    for (int s = 0; s < series_; ++s) {
      SeriesLine& line = lines[static_cast<std::size_t>(s)];
      line.readings = readings_[static_cast<std::size_t>(s)];
      const auto add = [&line](double at, double value) {
        line.dates.push_back(at);
        line.values.push_back(value);
      };
      for (int c = 0; c < width_; ++c) {
        const Bin& b = bins_[static_cast<std::size_t>(c * series_ + s)];
        if (b.count == 0) continue;
        const double first_at = std::min(b.low_at, b.high_at);
        if (b.broken && !line.dates.empty()) add(first_at, kNaN);
        if (b.count == 1) {
          add(b.low_at, b.low);
        } else if (b.low_at <= b.high_at) {
          add(b.low_at, b.low);
          add(b.high_at, b.high);
        } else {
          add(b.high_at, b.high);
          add(b.low_at, b.low);
        }
      }
    }
    return lines;
  }

 private:
  double start_;
  int width_;
  double scale_;
  int series_;
  std::vector<Bin> bins_;
  bool pending_[kMaxSeries] = {}, seen_[kMaxSeries] = {};
  std::vector<long long> readings_;
  bool have_row_ = false;
  double last_time_ = 0, last_step_ = 0;
};

bool ColumnsOf(const SeriesRequest& request, std::vector<const char*>* names, std::string* error) {
  if (request.columns.empty() || request.columns.size() > kMaxSeries) {
    *error = "A chart takes one to three columns.";
    return false;
  }
  for (const std::string& column : request.columns) {
    const char* name = sqlite::KnownRecordColumn(column);
    if (name == nullptr) {
      *error = "Unknown column: " + column;
      return false;
    }
    names->push_back(name);
  }
  if (!std::isfinite(request.start) || !std::isfinite(request.end)) {
    *error = "Bad time span.";
    return false;
  }
  return true;
}

// Walks the span's rows through add(time, values); false when add asks for a
// stop. by_index: in time order by the index; otherwise in the table's order.
template <class Add>
bool Walk(Reader& reader, const SeriesRequest& request, const std::vector<const char*>& names, bool by_index,
          Add add) {
  if (!reader.Prepare(SelectText(names, by_index))) return true;
  sqlite3_stmt* s = reader.statement();
  if (s == nullptr) return true;  // no table: no rows
  sqlite3_bind_double(s, 1, request.start);
  sqlite3_bind_double(s, 2, request.end);
  const int n = static_cast<int>(names.size());
  double values[kMaxSeries];
  int rc;
  while ((rc = reader.Step()) == SQLITE_ROW) {
    for (int i = 0; i < n; ++i) values[i] = ReadingAt(s, i + 1);
    if (!add(sqlite3_column_double(s, 0), values)) return false;
  }
  return true;
}

// Cuts rows, given in time order, into runs and hands each finished run on.
class RunCutter {
 public:
  explicit RunCutter(std::function<bool(const Run&)> done) : done_(std::move(done)) {}

  bool Add(long long rowid, double time, const double* values) {
    if (run_.rows >= kRunRows && time > run_.last && !Finish()) return false;
    run_.last_rowid = rowid;
    if (run_.rows == 0) {
      run_.first = time;
      run_.first_rowid = rowid;
    } else if (const double step = time - run_.last; step > 0) {
      if (run_.step_out > 0 && step > kHoleFactor * run_.step_out) run_.hole = true;
      if (run_.step_in == 0) run_.step_in = step;
      run_.step_out = step;
    }
    run_.last = time;
    ++run_.rows;
    for (int s = 0; s < kStoredCount; ++s) {
      const double v = values[s];
      if (std::isnan(v)) continue;
      if (run_.present[s] == 0 || v < run_.low[s]) run_.low[s] = v, run_.low_at[s] = time;
      if (run_.present[s] == 0 || v > run_.high[s]) run_.high[s] = v, run_.high_at[s] = time;
      ++run_.present[s];
    }
    return true;
  }

  bool Finish() {
    const bool ok = run_.rows == 0 || done_(run_);
    run_ = Run{};
    return ok;
  }

 private:
  std::function<bool(const Run&)> done_;
  Run run_;
};

std::string RunColumns(const std::vector<const char*>& names) {
  std::string sql = "First, Last, Rows, StepIn, StepOut, Hole";
  for (const char* name : names) {
    for (const char* part : {"Low", "LowAt", "High", "HighAt", "Present"})
      sql.append(", ").append(name).append(part);
  }
  return sql.append(", FirstRowid, LastRowid");
}

// The summary's stamp: the table's last rowid and its first and last time
// when the summary was written.
constexpr const char* kStampOfTable =
    "SELECT (SELECT max(rowid) FROM Records), (SELECT min(Time) FROM Records), (SELECT max(Time) FROM "
    "Records)";

// True when the store holds a summary of this layout written for the table
// as it is now. Its runs may be of any length: one written when runs were
// longer serves as well.
bool RunsMatch(sqlite3* db, bool* by_rowid) {
  Statement info(db, "SELECT Version, RunRows, LastRowid, First, Last, ByRowid FROM RecordRunsInfo");
  Statement table(db, kStampOfTable);
  if (!info || !table || sqlite3_step(info.get()) != SQLITE_ROW || sqlite3_step(table.get()) != SQLITE_ROW) {
    return false;
  }
  *by_rowid = sqlite3_column_int(info.get(), 5) != 0;
  return sqlite3_column_int(info.get(), 0) == kRunsVersion && sqlite3_column_int(info.get(), 1) >= 1 &&
         sqlite3_column_int64(info.get(), 2) == sqlite3_column_int64(table.get(), 0) &&
         sqlite3_column_double(info.get(), 3) == sqlite3_column_double(table.get(), 1) &&
         sqlite3_column_double(info.get(), 4) == sqlite3_column_double(table.get(), 2);
}

// The rows between two runs read whole, one by one: by time or, when the
// table's rowid order is its time order, by rowid.
std::string RawRowsSql(const std::vector<const char*>& names, bool by_rowid) {
  std::string sql = "SELECT Time";
  for (const char* name : names) sql.append(", ").append(name);
  // By rowid the rows come straight from the table in its (time) order,
  // without a seek in the index for each of them.
  return sql.append(by_rowid ? " FROM Records WHERE rowid >= ?1 AND rowid <= ?2 AND Time > ?3 AND Time <= ?4"
                             : " FROM Records WHERE Time >= ?1 AND Time <= ?2 AND Time > ?3 AND Time <= ?4 ORDER BY Time");
}

// One row of the summary, in the layout of RunColumns with n series.
void ReadRun(sqlite3_stmt* s, int n, Run* run) {
  run->first = sqlite3_column_double(s, 0);
  run->last = sqlite3_column_double(s, 1);
  run->rows = sqlite3_column_int64(s, 2);
  run->step_in = sqlite3_column_double(s, 3);
  run->step_out = sqlite3_column_double(s, 4);
  run->hole = sqlite3_column_int(s, 5) != 0;
  for (int i = 0; i < n; ++i) {
    const int at = 6 + 5 * i;
    run->low[i] = sqlite3_column_double(s, at);
    run->low_at[i] = sqlite3_column_double(s, at + 1);
    run->high[i] = sqlite3_column_double(s, at + 2);
    run->high_at[i] = sqlite3_column_double(s, at + 3);
    run->present[i] = sqlite3_column_int64(s, at + 4);
  }
  run->first_rowid = sqlite3_column_int64(s, 6 + 5 * n);
  run->last_rowid = sqlite3_column_int64(s, 7 + 5 * n);
}

// True when the run goes to the reducer in one step: inside the span, in one
// pixel column, and each series present in all of its rows or in none.
bool WholeRun(const Run& run, int n, const SeriesRequest& request, const Reducer& reducer) {
  if (!(run.first > request.start && run.last <= request.end)) return false;
  if (reducer.Column(run.first) != reducer.Column(run.last)) return false;
  for (int i = 0; i < n; ++i) {
    if (run.present[i] != 0 && run.present[i] != run.rows) return false;
  }
  return true;
}

// Runs waiting to be read row by row through raw (RawRowsSql), from `from`
// to `to`: times, or rowids when by_rowid.
struct PendingRows {
  sqlite3_stmt* raw;
  bool by_rowid;
  int n;
  bool any = false;
  double from = 0, to = 0;
};

void AddPending(PendingRows* p, const Run& run) {
  if (!p->any) p->from = p->by_rowid ? static_cast<double>(run.first_rowid) : run.first;
  p->any = true;
  p->to = p->by_rowid ? static_cast<double>(run.last_rowid) : run.last;
}

// The pending runs' rows into the reducer, in time order. False on an SQLite error.
bool ReadPending(PendingRows* p, Reducer& reducer) {
  if (!p->any) return true;
  p->any = false;
  sqlite3_stmt* s = p->raw;
  sqlite3_reset(s);
  if (p->by_rowid) {
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(p->from));
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(p->to));
  } else {
    sqlite3_bind_double(s, 1, p->from);
    sqlite3_bind_double(s, 2, p->to);
  }
  double values[kMaxSeries];
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    for (int i = 0; i < p->n; ++i) values[i] = ReadingAt(s, i + 1);
    reducer.Add(sqlite3_column_double(s, 0), values);
  }
  return rc == SQLITE_DONE;
}

// The span through the summary: whole runs inside one pixel column in one
// step, the rows of every other run (at the span's ends, across a column's
// edge, or with a run of mixed absent and present readings) one by one, all
// in time order through one reducer. False with error set on an SQLite error.
bool ReduceByRuns(sqlite3* db, const SeriesRequest& request, const std::vector<const char*>& names,
                  bool by_rowid, Reducer& reducer, std::string* error) {
  const int n = static_cast<int>(names.size());
  Statement runs(
      db, "SELECT " + RunColumns(names) + " FROM RecordRuns WHERE Last > ?1 AND First <= ?2 ORDER BY Last");
  Statement raw(db, RawRowsSql(names, by_rowid));
  if (!runs || !raw) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  sqlite3_bind_double(runs.get(), 1, request.start);
  sqlite3_bind_double(runs.get(), 2, request.end);
  sqlite3_bind_double(raw.get(), 3, request.start);
  sqlite3_bind_double(raw.get(), 4, request.end);
  PendingRows pending{raw.get(), by_rowid, n};
  Run run;
  int rc;
  while ((rc = sqlite3_step(runs.get())) == SQLITE_ROW) {
    ReadRun(runs.get(), n, &run);
    if (!WholeRun(run, n, request, reducer)) {
      AddPending(&pending, run);
      continue;
    }
    if (!ReadPending(&pending, reducer)) break;
    reducer.AddRun(run);
  }
  if (rc == SQLITE_ROW || (rc == SQLITE_DONE && !ReadPending(&pending, reducer))) rc = SQLITE_ERROR;
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool Exec(sqlite3* db, const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

SeriesResult Query(const SeriesRequest& request, bool use_runs);

}  // namespace

std::string DropRecordRuns(sqlite3* db) {
  std::string error;
  Exec(db, "DROP TABLE IF EXISTS RecordRunsInfo; DROP TABLE IF EXISTS RecordRuns", &error);
  return error;
}

namespace {

// Drops and creates the summary's tables; prepares the insert of one run.
std::string CreateRecordRuns(sqlite3* db, std::unique_ptr<Statement>* add) {
  std::string error = DropRecordRuns(db);
  if (!error.empty()) return error;
  std::string create =
      "CREATE TABLE RecordRuns (First REAL, Last REAL, Rows INTEGER, StepIn REAL, StepOut REAL, Hole INTEGER";
  for (const char* name : kStored) {
    for (const char* part : {"Low", "LowAt", "High", "HighAt"})
      create.append(", ").append(name).append(part).append(" REAL");
    create.append(", ").append(name).append("Present INTEGER");
  }
  create.append(
      ", FirstRowid INTEGER, LastRowid INTEGER); CREATE INDEX RecordRunsByLast ON RecordRuns(Last);"
      " CREATE TABLE RecordRunsInfo (Version INTEGER, RunRows INTEGER, LastRowid INTEGER, First REAL, Last "
      "REAL, ByRowid INTEGER)");
  if (!Exec(db, create, &error)) return error;
  std::string insert = "INSERT INTO RecordRuns VALUES (?";
  for (int i = 1; i < 8 + 5 * kStoredCount; ++i) insert.append(",?");
  insert.append(")");
  *add = std::make_unique<Statement>(db, insert);
  if (!**add) return sqlite3_errmsg(db);
  return {};
}

bool WriteRun(sqlite3_stmt* s, const Run& run) {
  sqlite3_reset(s);
  sqlite3_bind_double(s, 1, run.first);
  sqlite3_bind_double(s, 2, run.last);
  sqlite3_bind_int64(s, 3, run.rows);
  sqlite3_bind_double(s, 4, run.step_in);
  sqlite3_bind_double(s, 5, run.step_out);
  sqlite3_bind_int(s, 6, run.hole ? 1 : 0);
  for (int i = 0; i < kStoredCount; ++i) {
    const int at = 7 + 5 * i;
    sqlite3_bind_double(s, at, run.low[i]);
    sqlite3_bind_double(s, at + 1, run.low_at[i]);
    sqlite3_bind_double(s, at + 2, run.high[i]);
    sqlite3_bind_double(s, at + 3, run.high_at[i]);
    sqlite3_bind_int64(s, at + 4, run.present[i]);
  }
  sqlite3_bind_int64(s, 7 + 5 * kStoredCount, run.first_rowid);
  sqlite3_bind_int64(s, 8 + 5 * kStoredCount, run.last_rowid);
  return sqlite3_step(s) == SQLITE_DONE;
}

// The stamp that says which table the summary was written for, and whether
// its runs' rowids hold.
std::string StampRecordRuns(sqlite3* db, bool by_rowid) {
  std::string error;
  Exec(db,
       "INSERT INTO RecordRunsInfo SELECT " + std::to_string(kRunsVersion) + ", " + std::to_string(kRunRows) +
           ", *, " + (by_rowid ? "1" : "0") + " FROM (" + kStampOfTable + ")",
       &error);
  return error;
}

// A reading as a read-back of what was bound gives it (ReadingAt).
double BoundReading(double bound) {
  const float value = static_cast<float>(bound);
  return std::isnan(value) || value == 65535.0f ? kNaN : static_cast<double>(value);
}

}  // namespace

std::string RebuildRecordRuns(sqlite3* db) {
  std::unique_ptr<Statement> add;
  if (std::string error = CreateRecordRuns(db, &add); !error.empty()) return error;
  const auto write = [&](const Run& run) { return WriteRun(add->get(), run); };
  // The table's own order first (the import's, time order unless the log's
  // clock went back); rows found out of order start again by the index.
  std::string select = "SELECT Time";
  for (const char* name : kStored) select.append(", ").append(name);
  select.append(", rowid");
  std::string error;
  bool by_rowid = true;
  for (const bool by_index : {false, true}) {
    if (by_index && !Exec(db, "DELETE FROM RecordRuns", &error)) return error;
    Statement rows(db, select + (by_index ? " FROM Records ORDER BY Time" : " FROM Records NOT INDEXED"));
    if (!rows) return sqlite3_errmsg(db);
    RunCutter cutter(write);
    bool ordered = true, have = false;
    double last = 0, values[kStoredCount];
    int rc;
    sqlite3_stmt* s = rows.get();
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const int type = sqlite3_column_type(s, 0);
      if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) continue;  // never inside a span
      const double time = sqlite3_column_double(s, 0);
      if (have && time < last) {
        ordered = false;
        break;
      }
      have = true;
      last = time;
      for (int i = 0; i < kStoredCount; ++i) values[i] = ReadingAt(s, i + 1);
      if (!cutter.Add(sqlite3_column_int64(s, kStoredCount + 1), time, values)) return sqlite3_errmsg(db);
    }
    if (!ordered && !by_index) {
      by_rowid = false;  // by the index: rowid order is not time order
      continue;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return sqlite3_errmsg(db);
    if (!cutter.Finish()) return sqlite3_errmsg(db);
    break;
  }
  return StampRecordRuns(db, by_rowid);
}

struct RecordRunsWriter::State {
  sqlite3* db = nullptr;
  std::unique_ptr<Statement> add;
  RunCutter cutter;
  bool have = false, ordered = true, failed = false;
  double last = 0;
  long long rowid = 0;  // of the row added last: the table was empty, so the n-th insert gets rowid n
  explicit State(sqlite3* d) : db(d), cutter([this](const Run& run) { return WriteRun(add->get(), run); }) {}
};

RecordRunsWriter::RecordRunsWriter() = default;
RecordRunsWriter::~RecordRunsWriter() = default;

std::string RecordRunsWriter::Begin(sqlite3* db) {
  state_ = std::make_unique<State>(db);
  return CreateRecordRuns(db, &state_->add);
}

void RecordRunsWriter::Add(double time, float temperature, int humidity, float dewpoint, float heatindex) {
  State& st = *state_;
  ++st.rowid;
  // A NaN time is stored as NULL, which the rebuild passes over.
  if (!st.ordered || st.failed || std::isnan(time)) return;
  if (st.have && time < st.last) {
    st.ordered = false;
    return;
  }
  st.have = true;
  st.last = time;
  const double values[kStoredCount] = {BoundReading(temperature), BoundReading(static_cast<double>(humidity)),
                                       BoundReading(dewpoint), BoundReading(heatindex)};
  st.failed = !st.cutter.Add(st.rowid, time, values);
}

std::string RecordRunsWriter::End() {
  State& st = *state_;
  if (st.failed) return sqlite3_errmsg(st.db);
  if (!st.ordered) return RebuildRecordRuns(st.db);
  // The rowids counted are the table's when it holds rowids 1 to n for the
  // n rows added; otherwise the summary is taken from the table itself.
  // (Two subqueries: each a seek at one end of the table, where one SELECT of
  // both aggregates would walk every row.)
  Statement rowids(st.db, "SELECT (SELECT min(rowid) FROM Records), (SELECT max(rowid) FROM Records)");
  if (!rowids || sqlite3_step(rowids.get()) != SQLITE_ROW) return sqlite3_errmsg(st.db);
  if (st.rowid > 0 && (sqlite3_column_int64(rowids.get(), 0) != 1 || sqlite3_column_int64(rowids.get(), 1) != st.rowid)) {
    return RebuildRecordRuns(st.db);
  }
  if (!st.cutter.Finish()) return sqlite3_errmsg(st.db);
  return StampRecordRuns(st.db, true);
}

SeriesResult QuerySeries(const SeriesRequest& request) { return Query(request, true); }

SeriesResult QuerySeriesRows(const SeriesRequest& request) { return Query(request, false); }

namespace {

SeriesResult Query(const SeriesRequest& request, bool use_runs) {
  SeriesResult result;
  std::vector<const char*> names;
  if (!ColumnsOf(request, &names, &result.error)) return result;
  const int series = static_cast<int>(names.size());
  result.lines.resize(names.size());
  if (request.end <= request.start) return result;  // an empty span: no row can belong to it
  Reader reader;
  if (!reader.Open(request.database_path) || reader.missing()) {
    result.error = reader.error;
    return result;
  }
  double first = 0, last = 0;
  if (!reader.Extent(&first, &last)) {
    result.error = reader.error;  // empty when the table is empty or absent
    return result;
  }
  // The share of the table's extent the span covers decides the walk; the
  // table's own order is the import's, which is time order unless the log's
  // clock went back: then the walk starts again by the index.
  if (use_runs) {
    // The stamp, the runs and the rows from one snapshot: an import that
    // commits meanwhile is seen whole or not at all.
    std::string ignored;
    struct Snapshot {
      sqlite3* db;
      ~Snapshot() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } snapshot{reader.db()};
    bool by_rowid = false;
    if (Exec(reader.db(), "BEGIN", &ignored) && RunsMatch(reader.db(), &by_rowid)) {
      Reducer reducer(request, series);
      if (!ReduceByRuns(reader.db(), request, names, by_rowid, reducer, &result.error)) return result;
      result.lines = reducer.Lines();
      return result;
    }
  }
  const double covered = std::min(request.end, last) - std::max(request.start, first);
  bool by_index = last <= first || covered < kTableScanShare * (last - first);
  for (;;) {
    Reducer reducer(request, series);
    const bool ordered = Walk(reader, request, names, by_index,
                              [&](double time, const double* values) { return reducer.Add(time, values); });
    if (!reader.error.empty()) {
      result.error = reader.error;
      result.lines.assign(names.size(), SeriesLine{});
      return result;
    }
    if (ordered || by_index) {
      result.lines = reducer.Lines();
      return result;
    }
    by_index = true;
  }
}

}  // namespace

bool StoredSpan(const std::string& database_path, double* first, double* last, std::string* error) {
  Reader reader;
  const bool found = reader.Open(database_path) && !reader.missing() && reader.Extent(first, last);
  *error = reader.error;
  return found;
}

std::string ForEachSeriesRow(const SeriesRequest& request, const SeriesRowSink& row) {
  std::vector<const char*> names;
  std::string error;
  if (!ColumnsOf(request, &names, &error)) return error;
  if (request.end <= request.start) return {};
  Reader reader;
  if (!reader.Open(request.database_path) || reader.missing()) return reader.error;
  std::vector<double> values(names.size());
  Walk(reader, request, names, true, [&](double time, const double* v) {
    bool any = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = v[i];
      any = any || !std::isnan(v[i]);
    }
    return !any || row(time, values);
  });
  return reader.error;
}

}  // namespace norvo
