#include "LiveStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>

#include "LiveRollup.h"
#include "OleDate.h"
#include "RecordStore.h"
#include "Statement.h"
#include "res/Strings.h"

namespace norvo {
namespace {

// Format 2: the compact tables; the view keeps the columns of format 1's
// table. A store whose LiveMeta names a later format is not written.
constexpr int kFormat = 2;

constexpr const char* kLiveSchema =
    "CREATE TABLE IF NOT EXISTS LiveMeta (Key TEXT PRIMARY KEY, Value INTEGER) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS LiveUnits (Id INTEGER PRIMARY KEY, Name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS LivePolls (Unit INTEGER NOT NULL, Time INTEGER NOT NULL, Data BLOB NOT NULL, "
    "PRIMARY KEY (Unit, Time)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS LiveRollups (Unit INTEGER NOT NULL, Span INTEGER NOT NULL, Start INTEGER NOT NULL, "
    "Data BLOB NOT NULL, PRIMARY KEY (Unit, Span, Start)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO LiveMeta VALUES ('format', 2);";

// The documented columns over the packed polls, in plain SQL so that any
// SQLite client reads them: the hex digits of each field give its value
// (big-endian int16 tenths, 8000 absent; uint8 percent, FF absent), and the
// dew point follows the console's formula in double precision.
#define NORVO_NIBBLE(x, i) "(instr('123456789ABCDEF', substr(" x ", " #i ", 1)))"
constexpr const char* kView =
    "CREATE VIEW IF NOT EXISTS LiveReadings AS "
    "WITH c(Channel) AS (VALUES (1), (2), (3), (4), (5), (6), (7), (8)), "
    "x AS (SELECT p.Time AS Time, u.Name AS Unit, c.Channel AS Channel, hex(substr(p.Data, 2 * c.Channel - 1, 2)) AS T, "
    "hex(substr(p.Data, 16 + c.Channel, 1)) AS H FROM LivePolls p JOIN LiveUnits u ON u.Id = p.Unit CROSS JOIN c), "
    "y AS (SELECT Time, Unit, Channel, CASE WHEN T = '8000' THEN NULL ELSE "
    "((" NORVO_NIBBLE("T", 1) " * 4096 + " NORVO_NIBBLE("T", 2) " * 256 + " NORVO_NIBBLE("T", 3) " * 16 + " NORVO_NIBBLE("T", 4)
    ") + 32768) % 65536 - 32768 END AS V, "
    "CASE WHEN H = 'FF' THEN NULL ELSE " NORVO_NIBBLE("H", 1) " * 16 + " NORVO_NIBBLE("H", 2) " END AS Humidity FROM x), "
    "z AS (SELECT Time, Unit, Channel, V / 10.0 AS Temperature, Humidity, "
    "ln(6.107 * pow(10, 7.6 * (V / 10.0) / (V / 10.0 + 240.7)) / 10 * Humidity / 100 / 0.61078) AS G FROM y) "
    "SELECT Time / 1000.0 AS Time, Unit, Channel, Temperature, Humidity, "
    "CASE WHEN 241.88 * G / (17.558 - G) BETWEEN -40 AND 60 THEN round(241.88 * G / (17.558 - G), 1) END AS DewPoint "
    "FROM z";
#undef NORVO_NIBBLE

// Sound and short: the store is never to be mistaken for another file.
bool LooksLikeSqlite(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  if (!in) return true;
  char header[16] = {};
  in.read(header, sizeof header);
  const std::streamsize n = in.gcount();
  return n == 0 || (n == 16 && std::memcmp(header, "SQLite format 3", 16) == 0);
}

using sqlite::Statement;

// The shortest text that reads back as the same double; never locale-bound.
std::string Number(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + '"';
}

// A field with a comma, a quote or a line break is quoted, quotes doubled.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (const char c : s) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + '"';
}

}  // namespace

LiveStore::LiveStore() = default;
LiveStore::~LiveStore() { Close(); }

void LiveStore::Close() {
  last_.reset();
  insert_.reset();
  upsert_.reset();
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  unit_ids_.clear();
  legacy_ = false;
  read_only_ = false;
}

bool LiveStore::Fail(std::string* error, const std::string& what) {
  if (error) *error = path_ + ": " + what;
  return false;
}

bool LiveStore::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  const std::string text = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return Fail(error, text);
}

bool LiveStore::OpenFile(const std::string& path, bool read_only, std::string* error) {
  Close();
  path_ = path;
  read_only_ = read_only;
  bool exists = false;
  if (!LooksLikeSqlite(path, &exists)) return Fail(error, UIString(ui::kNotADatabase));
  if (read_only && !exists) return Fail(error, UIString(ui::kNoRecordStore));
  const int flags = read_only ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : UIString(ui::kOutOfMemory);
    Close();
    return Fail(error, message);
  }
  // The console's import or the other recorder may hold the write lock for a moment.
  sqlite3_busy_timeout(db_, 5000);
  // The format this file was written in: 0 without the live tables.
  int format = 0;
  bool old_table = false;
  {
    Statement kind(db_, "SELECT type FROM sqlite_master WHERE name = 'LiveReadings'");
    if (kind && sqlite3_step(kind.get()) == SQLITE_ROW) {
      old_table = std::string(reinterpret_cast<const char*>(sqlite3_column_text(kind.get(), 0))) == "table";
    }
    Statement meta(db_, "SELECT Value FROM LiveMeta WHERE Key = 'format'");
    if (meta && sqlite3_step(meta.get()) == SQLITE_ROW) format = sqlite3_column_int(meta.get(), 0);
  }
  if (format > kFormat && !read_only) {
    const std::string message =
        UIString(ui::kLiveStoreNewer);
    Close();
    return Fail(error, message);
  }
  legacy_ = old_table;
  return true;
}

bool LiveStore::Open(const std::string& path, std::string* error, const LiveProgressFn& progress) {
  if (!OpenFile(path, false, error)) return false;
  if (legacy_) {
    if (!Migrate(progress, error)) {
      Close();
      return false;
    }
    return true;
  }
  if (!Exec(kLiveSchema, error) || !Exec(kView, error)) {
    Close();
    return false;
  }
  return true;
}

bool LiveStore::OpenReadOnly(const std::string& path, std::string* error) { return OpenFile(path, true, error); }

bool LiveStore::UnitId(const std::string& name, bool create, std::int64_t* id, std::string* error) {
  for (const auto& [n, i] : unit_ids_) {
    if (n == name) {
      *id = i;
      return true;
    }
  }
  *id = -1;
  if (legacy_) return true;
  if (create) {
    Statement insert(db_, "INSERT OR IGNORE INTO LiveUnits (Name) VALUES (?)");
    sqlite3_bind_text(insert.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  }
  Statement find(db_, "SELECT Id FROM LiveUnits WHERE Name = ?");
  if (!find) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_text(find.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(find.get());
  if (rc == SQLITE_ROW) {
    *id = sqlite3_column_int64(find.get(), 0);
    unit_ids_.emplace_back(name, *id);
    return true;
  }
  return rc == SQLITE_DONE || Fail(error, sqlite3_errmsg(db_));
}

// Writes the roll-up of one closed bucket, summed from its polls (none:
// nothing to write).
bool LiveStore::CloseBucket(std::int64_t unit, std::int64_t bucket, int span_index, std::string* error) {
  const int span = live::kSpans[static_cast<std::size_t>(span_index)];
  Statement read(db_, "SELECT Time, Data FROM LivePolls WHERE Unit = ? AND Time >= ? AND Time < ? ORDER BY Time");
  if (!read) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_int64(read.get(), 1, unit);
  sqlite3_bind_int64(read.get(), 2, bucket * 1000);
  sqlite3_bind_int64(read.get(), 3, (bucket + span) * 1000);
  LiveRollup r;
  r.start = bucket;
  r.span = span;
  bool any = false;
  int rc;
  while ((rc = sqlite3_step(read.get())) == SQLITE_ROW) {
    live::PollValues v;
    if (!live::DecodePoll(sqlite3_column_blob(read.get(), 1), sqlite3_column_bytes(read.get(), 1), &v)) continue;
    live::AddPoll(&r, v, sqlite3_column_int64(read.get(), 0) / 1000);
    any = true;
  }
  if (rc != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  if (!any) return true;
  return WriteRollup(unit, r, error);
}

bool LiveStore::WriteRollup(std::int64_t unit, const LiveRollup& r, std::string* error) {
  if (!upsert_) upsert_ = std::make_unique<Statement>(db_, "INSERT OR REPLACE INTO LiveRollups VALUES (?, ?, ?, ?)");
  sqlite3_stmt* s = upsert_->get();
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  const std::string data = live::EncodeRollup(r);
  sqlite3_reset(s);
  sqlite3_bind_int64(s, 1, unit);
  sqlite3_bind_int(s, 2, r.span);
  sqlite3_bind_int64(s, 3, r.start);
  sqlite3_bind_blob(s, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
  return sqlite3_step(s) == SQLITE_DONE || Fail(error, sqlite3_errmsg(db_));
}

bool LiveStore::AppendOne(const LivePoll& poll, std::string* error) {
  std::int64_t unit = 0;
  if (!UnitId(poll.unit, true, &unit, error)) return false;
  // Milliseconds, as the poll's time has them: polls of one second stay apart.
  const auto time = static_cast<std::int64_t>(std::llround(poll.time * 1000.0));
  if (!last_) last_ = std::make_unique<Statement>(db_, "SELECT max(Time) FROM LivePolls WHERE Unit = ?");
  if (!insert_) insert_ = std::make_unique<Statement>(db_, "INSERT OR IGNORE INTO LivePolls VALUES (?, ?, ?)");
  if (!*last_ || !*insert_) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_stmt* l = last_->get();
  sqlite3_reset(l);
  sqlite3_bind_int64(l, 1, unit);
  if (sqlite3_step(l) != SQLITE_ROW) return Fail(error, sqlite3_errmsg(db_));
  const bool had = sqlite3_column_type(l, 0) != SQLITE_NULL;
  const std::int64_t last = sqlite3_column_int64(l, 0);
  sqlite3_reset(l);

  const live::PollData data = live::EncodePoll(poll);
  sqlite3_stmt* s = insert_->get();
  sqlite3_reset(s);
  sqlite3_bind_int64(s, 1, unit);
  sqlite3_bind_int64(s, 2, time);
  sqlite3_bind_blob(s, 3, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
  if (sqlite3_step(s) != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  if (sqlite3_changes(db_) == 0 || !had) return true;
  for (int i = 0; i < static_cast<int>(live::kSpans.size()); ++i) {
    const int span = live::kSpans[static_cast<std::size_t>(i)];
    const std::int64_t open = live::BucketStart(last / 1000, span), here = live::BucketStart(time / 1000, span);
    // A poll in a later bucket closes the unit's open one; a late poll (the
    // clock set back) changes a closed one, which is summed again.
    const std::int64_t closed = here > open ? open : (here < open ? here : -1);
    if (closed != -1 && !CloseBucket(unit, closed, i, error)) return false;
  }
  return true;
}

bool LiveStore::Append(std::span<const LivePoll> polls, std::string* error) {
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  if (read_only_) return Fail(error, UIString(ui::kStoreReadOnly));
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Fail(error, sqlite3_errmsg(db_));
  }
  bool ok = true;
  for (const LivePoll& poll : polls) {
    if (!(ok = AppendOne(poll, error))) break;
  }
  if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  const std::string message = ok ? sqlite3_errmsg(db_) : (error ? *error : std::string());
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  // A failed transaction may have left a unit id that is not there now.
  unit_ids_.clear();
  if (error) *error = message.rfind(path_ + ": ", 0) == 0 ? message : path_ + ": " + message;
  return false;
}

bool LiveStore::DeleteBefore(double unix_time, int* deleted, std::string* error) {
  if (deleted) *deleted = 0;
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  const std::int64_t cutoff = live::BucketStart(static_cast<std::int64_t>(std::floor(unix_time)), live::kSpans.back());
  if (!Exec("BEGIN IMMEDIATE", nullptr)) return Fail(error, sqlite3_errmsg(db_));
  bool ok = true;
  {
    // A unit whose every poll goes has its open buckets closed first: their
    // roll-ups are all that will be left of them.
    Statement gone(db_, "SELECT Unit, max(Time) FROM LivePolls GROUP BY Unit HAVING max(Time) < ?");
    ok = static_cast<bool>(gone);
    if (ok) sqlite3_bind_int64(gone.get(), 1, cutoff * 1000);
    std::vector<std::pair<std::int64_t, std::int64_t>> units;
    while (ok && sqlite3_step(gone.get()) == SQLITE_ROW) {
      units.emplace_back(sqlite3_column_int64(gone.get(), 0), sqlite3_column_int64(gone.get(), 1));
    }
    for (const auto& [unit, last] : units) {
      for (int i = 0; ok && i < static_cast<int>(live::kSpans.size()); ++i) {
        ok = CloseBucket(unit, live::BucketStart(last / 1000, live::kSpans[static_cast<std::size_t>(i)]), i, error);
      }
    }
    Statement remove(db_, "DELETE FROM LivePolls WHERE Time < ?");
    ok = ok && remove;
    if (ok) {
      sqlite3_bind_int64(remove.get(), 1, cutoff * 1000);
      ok = sqlite3_step(remove.get()) == SQLITE_DONE;
      if (ok && deleted) *deleted = sqlite3_changes(db_) * kLiveChannels;
    }
  }
  if (ok && Exec("COMMIT", nullptr)) return true;
  const std::string message = sqlite3_errmsg(db_);
  Exec("ROLLBACK", nullptr);
  if (deleted) *deleted = 0;
  return Fail(error, message);
}

bool LiveStore::Units(std::vector<std::string>* units, std::string* error) {
  units->clear();
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  if (!HasTable(legacy_ ? "LiveReadings" : "LiveUnits")) return true;
  Statement s(db_, legacy_ ? "SELECT DISTINCT Unit FROM LiveReadings ORDER BY Unit" : "SELECT Name FROM LiveUnits ORDER BY Name");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(s.get(), 0);
    units->push_back(name ? reinterpret_cast<const char*>(name) : "");
  }
  return rc == SQLITE_DONE || Fail(error, sqlite3_errmsg(db_));
}

bool LiveStore::HasTable(const char* name) const {
  Statement table(db_, "SELECT 1 FROM sqlite_master WHERE name = ?");
  if (!table) return false;
  sqlite3_bind_text(table.get(), 1, name, -1, SQLITE_STATIC);
  return sqlite3_step(table.get()) == SQLITE_ROW;
}

bool LiveStore::Extent(const std::string& unit, std::int64_t* first, std::int64_t* last, std::string* error) {
  *first = *last = 0;
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  std::int64_t id = -1;
  if (!legacy_ && (!HasTable("LivePolls") || !UnitId(unit, false, &id, error) || id < 0)) return true;
  if (legacy_ && !HasTable("LiveReadings")) return true;
  Statement s(db_, legacy_ ? "SELECT CAST(floor(min(Time)) AS INTEGER), CAST(floor(max(Time)) AS INTEGER) FROM LiveReadings WHERE Unit = ?1"
                             // Two subqueries: each is one seek at an end of the unit's
                           // range, where min and max together would walk it all.
                           : "SELECT (SELECT min(Time) FROM LivePolls WHERE Unit = ?2) / 1000, "
                             "(SELECT max(Time) FROM LivePolls WHERE Unit = ?2) / 1000");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_text(s.get(), 1, unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s.get(), 2, id);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return Fail(error, sqlite3_errmsg(db_));
  *first = sqlite3_column_int64(s.get(), 0);
  *last = sqlite3_column_int64(s.get(), 1);
  return true;
}

bool LiveStore::QueryPolls(const std::string& unit, std::int64_t from, std::int64_t to,
                           const std::function<bool(const LivePoll&)>& poll, std::string* error) {
  return ScanPolls(unit, from, to, [&](std::int64_t time, const live::PollValues& v) {
    LivePoll p;
    p.time = static_cast<double>(time) / 1000.0;
    p.unit = unit;
    live::ToChannels(v, &p.channels);
    return poll(p);
  }, error);
}

bool LiveStore::ScanPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll,
                          std::string* error) {
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  return legacy_ ? ScanLegacyPolls(unit, from, to, poll, error) : ScanCompactPolls(unit, from, to, poll, error);
}

// The older table, one row per channel: a poll is the rows of one second.
bool LiveStore::ScanLegacyPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll,
                                std::string* error) {
  if (!HasTable("LiveReadings")) return true;
  Statement s(db_, "SELECT CAST(round(Time * 1000) AS INTEGER), Channel, Temperature, Humidity FROM LiveReadings "
                   "WHERE Unit = ? AND Time >= ? AND Time < ? ORDER BY Time, Channel");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_text(s.get(), 1, unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s.get(), 2, from);
  sqlite3_bind_int64(s.get(), 3, to);
  LivePoll p;
  bool any = false;
  std::int64_t at = 0;
  const auto flush = [&] {
    live::PollValues v;
    const live::PollData d = live::EncodePoll(p);
    live::DecodePoll(d.data(), static_cast<int>(d.size()), &v);
    any = false;
    p = LivePoll{};
    return poll(at, v);
  };
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const std::int64_t t = sqlite3_column_int64(s.get(), 0);
    if (any && t != at && !flush()) return true;
    at = t;
    any = true;
    const int channel = sqlite3_column_int(s.get(), 1);
    if (channel < 1 || channel > kLiveChannels) continue;
    LiveChannel& c = p.channels[static_cast<std::size_t>(channel - 1)];
    if (sqlite3_column_type(s.get(), 2) != SQLITE_NULL) c.temperature = sqlite3_column_double(s.get(), 2);
    if (sqlite3_column_type(s.get(), 3) != SQLITE_NULL) c.humidity = sqlite3_column_int(s.get(), 3);
  }
  if (rc != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  if (any) flush();
  return true;
}

bool LiveStore::ScanCompactPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll,
                                 std::string* error) {
  if (!HasTable("LivePolls")) return true;
  std::int64_t id = -1;
  if (!UnitId(unit, false, &id, error)) return false;
  if (id < 0) return true;
  Statement s(db_, "SELECT Time, Data FROM LivePolls WHERE Unit = ? AND Time >= ? AND Time < ? ORDER BY Time");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_int64(s.get(), 1, id);
  sqlite3_bind_int64(s.get(), 2, from * 1000);
  sqlite3_bind_int64(s.get(), 3, to * 1000);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    live::PollValues v;
    if (!live::DecodePoll(sqlite3_column_blob(s.get(), 1), sqlite3_column_bytes(s.get(), 1), &v)) continue;
    if (!poll(sqlite3_column_int64(s.get(), 0), v)) return true;
  }
  return rc == SQLITE_DONE || Fail(error, sqlite3_errmsg(db_));
}

bool LiveStore::QueryRollups(const std::string& unit, int span, std::int64_t from, std::int64_t to,
                             const std::function<bool(const LiveRollup&)>& bucket, std::string* error) {
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  from = live::BucketStart(from, span);
  // Buckets summed from the polls of [a, b): the open bucket, and every
  // bucket of a store in the older layout.
  bool go_on = true;
  const auto sum = [&](std::int64_t a, std::int64_t b) {
    std::optional<LiveRollup> r;
    const bool ok = ScanPolls(unit, a, b, [&](std::int64_t time, const live::PollValues& v) {
      const std::int64_t start = live::BucketStart(time / 1000, span);
      if (r && r->start != start) {
        if (!(go_on = bucket(*r))) return false;
        r.reset();
      }
      if (!r) {
        r.emplace();
        r->start = start;
        r->span = span;
      }
      live::AddPoll(&*r, v, time / 1000);
      return true;
    }, error);
    if (ok && go_on && r) go_on = bucket(*r);
    return ok;
  };
  if (legacy_) return sum(from, to);
  std::int64_t first = 0, last = 0;
  if (!Extent(unit, &first, &last, error)) return false;
  std::int64_t id = -1;
  if (!UnitId(unit, false, &id, error)) return false;
  if (id < 0) return true;
  const std::int64_t open = first || last ? live::BucketStart(last, span) : INT64_MAX;
  bool open_stored = false;
  Statement s(db_, "SELECT Start, Data FROM LiveRollups WHERE Unit = ? AND Span = ? AND Start >= ? AND Start < ? ORDER BY Start");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_int64(s.get(), 1, id);
  sqlite3_bind_int(s.get(), 2, span);
  sqlite3_bind_int64(s.get(), 3, from);
  sqlite3_bind_int64(s.get(), 4, to);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    LiveRollup r;
    r.start = sqlite3_column_int64(s.get(), 0);
    r.span = span;
    if (!live::DecodeRollup(sqlite3_column_blob(s.get(), 1), sqlite3_column_bytes(s.get(), 1), &r)) continue;
    open_stored = open_stored || r.start == open;
    if (!bucket(r)) return true;
  }
  if (rc != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  if (open != INT64_MAX && !open_stored && open >= from && open < to) return sum(open, open + span);
  return true;
}

bool LiveStore::Rebuild(std::int64_t unit, const std::function<void(const LiveRollup&)>& closed, std::string* error) {
  Statement s(db_, "SELECT Time, Data FROM LivePolls WHERE Unit = ? ORDER BY Time");
  if (!s) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_int64(s.get(), 1, unit);
  std::array<std::optional<LiveRollup>, live::kSpans.size()> open;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    live::PollValues v;
    if (!live::DecodePoll(sqlite3_column_blob(s.get(), 1), sqlite3_column_bytes(s.get(), 1), &v)) continue;
    const std::int64_t time = sqlite3_column_int64(s.get(), 0) / 1000;
    for (std::size_t i = 0; i < open.size(); ++i) {
      const std::int64_t start = live::BucketStart(time, live::kSpans[i]);
      if (open[i] && open[i]->start != start) {
        closed(*open[i]);
        open[i].reset();
      }
      if (!open[i]) {
        open[i].emplace();
        open[i]->start = start;
        open[i]->span = live::kSpans[i];
      }
      live::AddPoll(&*open[i], v, time);
    }
  }
  return rc == SQLITE_DONE || Fail(error, sqlite3_errmsg(db_));
}

bool LiveStore::WriteAllRollups(std::string* error) {
  std::vector<std::int64_t> units;
  {
    Statement s(db_, "SELECT Id FROM LiveUnits");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) units.push_back(sqlite3_column_int64(s.get(), 0));
  }
  for (const std::int64_t unit : units) {
    bool ok = true;
    if (!Rebuild(unit, [&](const LiveRollup& r) { ok = ok && WriteRollup(unit, r, error); }, error) || !ok) return false;
  }
  return true;
}

bool LiveStore::CheckRollups(std::string* report) {
  report->clear();
  if (db_ == nullptr || legacy_ || !HasTable("LivePolls")) return true;
  std::vector<std::pair<std::int64_t, std::string>> units;
  {
    Statement s(db_, "SELECT Id, Name FROM LiveUnits");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) {
      units.emplace_back(sqlite3_column_int64(s.get(), 0), reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0 + 1)));
    }
  }
  std::string error;
  for (const auto& [unit, name] : units) {
    std::map<std::pair<int, std::int64_t>, LiveRollup> rebuilt;
    if (!Rebuild(unit, [&](const LiveRollup& r) { rebuilt[{r.span, r.start}] = r; }, &error)) {
      *report += error + "\n";
      continue;
    }
    std::int64_t first = 0, last = 0;
    Extent(name, &first, &last, &error);
    // Every poll thinned: the roll-ups are all that is left to compare with.
    if (first == 0 && last == 0) continue;
    const std::int64_t kept = live::BucketStart(first, live::kSpans.back());
    Statement s(db_, "SELECT Span, Start, Data FROM LiveRollups WHERE Unit = ? AND Start >= ?");
    sqlite3_bind_int64(s.get(), 1, unit);
    sqlite3_bind_int64(s.get(), 2, kept);
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) {
      LiveRollup r;
      r.span = sqlite3_column_int(s.get(), 0);
      r.start = sqlite3_column_int64(s.get(), 1);
      const std::string at = name + " " + std::to_string(r.span) + " s bucket at " + std::to_string(r.start);
      const auto found = rebuilt.find({r.span, r.start});
      if (!live::DecodeRollup(sqlite3_column_blob(s.get(), 2), sqlite3_column_bytes(s.get(), 2), &r)) {
        *report += at + ": unreadable\n";
      } else if (found == rebuilt.end()) {
        *report += at + ": stored, but its polls make no closed bucket\n";
      } else {
        for (std::size_t k = 0; k < kLiveChannels; ++k) {
          for (std::size_t q = 0; q < live::kQuantities; ++q) {
            if (!(r.stats[k][q] == found->second.stats[k][q])) {
              *report += at + ": CH" + std::to_string(k + 1) + " quantity " + std::to_string(q) + " differs\n";
            }
          }
        }
        rebuilt.erase(found);
      }
    }
    for (const auto& [key, r] : rebuilt) {
      *report += name + " " + std::to_string(key.first) + " s bucket at " + std::to_string(key.second) + ": missing\n";
    }
  }
  return report->empty();
}

namespace {

// The older table's rows gathered into polls (same unit, same second) and
// written to LivePolls. A second met again later (its rows split by others)
// fills the channels the first meeting left absent.
class MigratedPolls {
 public:
  explicit MigratedPolls(sqlite3* db)
      : db_(db),
        insert_(db, "INSERT OR IGNORE INTO LivePolls VALUES (?, ?, ?)"),
        existing_(db, "SELECT Data FROM LivePolls WHERE Unit = ? AND Time = ?"),
        update_(db, "UPDATE LivePolls SET Data = ?3 WHERE Unit = ?1 AND Time = ?2") {}
  bool Ready() const { return insert_ && existing_ && update_; }

  // One row; the poll gathered so far is written first when the row starts another.
  bool Add(std::int64_t unit, std::int64_t time, int channel, sqlite3_stmt* row, int temperature_at) {
    if ((unit != unit_ || time != time_) && !Flush()) return false;
    unit_ = unit;
    time_ = time;
    if (channel < 1 || channel > kLiveChannels) return true;
    LiveChannel& c = poll_.channels[static_cast<std::size_t>(channel - 1)];
    if (sqlite3_column_type(row, temperature_at) != SQLITE_NULL) c.temperature = sqlite3_column_double(row, temperature_at);
    if (sqlite3_column_type(row, temperature_at + 1) != SQLITE_NULL) c.humidity = sqlite3_column_int(row, temperature_at + 1);
    return true;
  }

  bool Flush() {
    if (unit_ < 0) return true;
    live::PollData data = live::EncodePoll(poll_);
    poll_ = LivePoll{};
    const std::int64_t unit = unit_;
    unit_ = -1;
    if (!Step(insert_, data, unit)) return false;
    if (sqlite3_changes(db_) != 0) return true;
    FillFromEarlier(data, unit);
    return Step(update_, data, unit);
  }

 private:
  // Both statements take the unit as ?1, the time as ?2 and the data as ?3.
  bool Step(Statement& s, const live::PollData& data, std::int64_t unit) {
    sqlite3_reset(s.get());
    sqlite3_bind_int64(s.get(), 1, unit);
    sqlite3_bind_int64(s.get(), 2, time_);
    sqlite3_bind_blob(s.get(), 3, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    return sqlite3_step(s.get()) == SQLITE_DONE;
  }

  void FillFromEarlier(live::PollData& data, std::int64_t unit) {
    sqlite3_reset(existing_.get());
    sqlite3_bind_int64(existing_.get(), 1, unit);
    sqlite3_bind_int64(existing_.get(), 2, time_);
    if (sqlite3_step(existing_.get()) != SQLITE_ROW ||
        sqlite3_column_bytes(existing_.get(), 0) != static_cast<int>(data.size())) {
      return;
    }
    const auto* old = static_cast<const unsigned char*>(sqlite3_column_blob(existing_.get(), 0));
    for (std::size_t k = 0; k < kLiveChannels; ++k) {
      if (data[2 * k] == 0x80 && data[2 * k + 1] == 0) {
        data[2 * k] = old[2 * k];
        data[2 * k + 1] = old[2 * k + 1];
      }
      if (data[2 * kLiveChannels + k] == live::kAbsentHumidity) data[2 * kLiveChannels + k] = old[2 * kLiveChannels + k];
    }
  }

  sqlite3* db_;
  Statement insert_, existing_, update_;
  LivePoll poll_;
  std::int64_t unit_ = -1, time_ = 0;
};

}  // namespace

// One transaction: a crash or an error anywhere leaves the older table as
// it was. Rows are read in their own order a batch at a time, so memory
// stays bounded however long the table is.
bool LiveStore::Migrate(const LiveProgressFn& progress, std::string* error) {
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  bool ok = Exec(kLiveSchema, error);
  std::int64_t total = 0, done = 0;
  if (ok) {
    Statement count(db_, "SELECT count(*) FROM LiveReadings");
    ok = count && sqlite3_step(count.get()) == SQLITE_ROW;
    if (ok) total = sqlite3_column_int64(count.get(), 0);
  }
  legacy_ = false;
  std::int64_t last_rowid = 0;
  constexpr int kBatch = 65536;
  Statement read(db_, "SELECT rowid, Time, Unit, Channel, Temperature, Humidity FROM LiveReadings WHERE rowid > ? "
                      "ORDER BY rowid LIMIT ?");
  MigratedPolls polls(db_);
  ok = ok && read && polls.Ready();
  if (!ok && error && error->empty()) *error = path_ + ": " + sqlite3_errmsg(db_);
  while (ok) {
    sqlite3_reset(read.get());
    sqlite3_bind_int64(read.get(), 1, last_rowid);
    sqlite3_bind_int(read.get(), 2, kBatch);
    int rows = 0, rc;
    while (ok && (rc = sqlite3_step(read.get())) == SQLITE_ROW) {
      sqlite3_stmt* s = read.get();
      last_rowid = sqlite3_column_int64(s, 0);
      ++rows;
      const auto time = static_cast<std::int64_t>(std::llround(sqlite3_column_double(s, 1) * 1000.0));
      const unsigned char* name = sqlite3_column_text(s, 2);
      std::int64_t unit = 0;
      ok = UnitId(name ? reinterpret_cast<const char*>(name) : "", true, &unit, error);
      if (ok && !polls.Add(unit, time, sqlite3_column_int(s, 3), s, 4)) ok = Fail(error, sqlite3_errmsg(db_));
    }
    if (ok && rc != SQLITE_DONE) ok = Fail(error, sqlite3_errmsg(db_));
    done += rows;
    if (progress && ok) progress(done, total);
    if (rows < kBatch) break;
  }
  if (ok && !polls.Flush()) ok = Fail(error, sqlite3_errmsg(db_));
  sqlite3_reset(read.get());
  ok = ok && Exec("DROP TABLE LiveReadings", error) && Exec(kView, error) && WriteAllRollups(error);
  if (ok && Exec("COMMIT", error)) return true;
  Exec("ROLLBACK", nullptr);
  unit_ids_.clear();
  legacy_ = true;
  return false;
}

namespace {

struct UnitCursor {
  std::string name;
  std::unique_ptr<Statement> s;
  bool has = false;
};

// The rows of an older LiveReadings table, opened read-only and left as it
// is. False on an error (sqlite3_errmsg tells it); true when done or when
// `row` asked to stop.
bool QueryOlderTable(sqlite3* db, double from, double to, const std::function<bool(const LiveRow&)>& row,
                     const std::string& unit, int channel) {
  Statement query(db,
                  "SELECT Time, Unit, Channel, Temperature, Humidity, DewPoint FROM LiveReadings "
                  "WHERE Time > ?1 AND Time <= ?2 AND (?3 = '' OR Unit = ?3) AND (?4 = 0 OR Channel = ?4) "
                  "ORDER BY Time, Unit, Channel");
  if (!query) return false;
  sqlite3_stmt* s = query.get();
  sqlite3_bind_double(s, 1, from);
  sqlite3_bind_double(s, 2, to);
  sqlite3_bind_text(s, 3, unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(s, 4, channel);
  for (;;) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    LiveRow r;
    r.time = sqlite3_column_double(s, 0);
    const unsigned char* name = sqlite3_column_text(s, 1);
    r.unit = name ? reinterpret_cast<const char*>(name) : "";
    r.channel = sqlite3_column_int(s, 2);
    if (sqlite3_column_type(s, 3) != SQLITE_NULL) r.value.temperature = sqlite3_column_double(s, 3);
    if (sqlite3_column_type(s, 4) != SQLITE_NULL) r.value.humidity = sqlite3_column_int(s, 4);
    if (sqlite3_column_type(s, 5) != SQLITE_NULL) r.value.dew_point = sqlite3_column_double(s, 5);
    if (!row(r)) return true;
  }
}

}  // namespace

bool LiveStore::Query(double from, double to, const std::function<bool(const LiveRow&)>& row, std::string* error,
                      const std::string& unit, int channel) {
  if (db_ == nullptr) return Fail(error, UIString(ui::kStoreNotOpen));
  if (legacy_) {
    if (!HasTable("LiveReadings")) return true;
    return QueryOlderTable(db_, from, to, row, unit, channel) || Fail(error, sqlite3_errmsg(db_));
  }
  std::vector<std::string> names;
  if (!Units(&names, error)) return false;
  // Each unit's polls come in time order; merged by time, then by name.
  std::vector<UnitCursor> cursors;
  for (const std::string& name : names) {
    if (!unit.empty() && name != unit) continue;
    std::int64_t id = -1;
    if (!UnitId(name, false, &id, error)) return false;
    UnitCursor c{name, std::make_unique<Statement>(db_, "SELECT Time, Data FROM LivePolls WHERE Unit = ? AND Time > ? AND Time <= ? ORDER BY Time")};
    if (!*c.s) return Fail(error, sqlite3_errmsg(db_));
    sqlite3_bind_int64(c.s->get(), 1, id);
    sqlite3_bind_double(c.s->get(), 2, from * 1000.0);
    sqlite3_bind_double(c.s->get(), 3, to * 1000.0);
    cursors.push_back(std::move(c));
  }
  const auto step = [&](UnitCursor& c) {
    const int rc = sqlite3_step(c.s->get());
    c.has = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
  };
  for (UnitCursor& c : cursors) {
    if (!step(c)) return Fail(error, sqlite3_errmsg(db_));
  }
  for (;;) {
    UnitCursor* next = nullptr;
    for (UnitCursor& c : cursors) {
      if (c.has && (!next || sqlite3_column_int64(c.s->get(), 0) < sqlite3_column_int64(next->s->get(), 0))) next = &c;
    }
    if (!next) return true;
    sqlite3_stmt* s = next->s->get();
    live::PollValues v;
    if (live::DecodePoll(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1), &v)) {
      std::array<LiveChannel, kLiveChannels> channels;
      live::ToChannels(v, &channels);
      LiveRow r;
      r.time = static_cast<double>(sqlite3_column_int64(s, 0)) / 1000.0;
      r.unit = next->name;
      for (int k = 1; k <= kLiveChannels; ++k) {
        if (channel != 0 && k != channel) continue;
        r.channel = k;
        r.value = channels[static_cast<std::size_t>(k - 1)];
        if (!row(r)) return true;
      }
    }
    if (!step(*next)) return Fail(error, sqlite3_errmsg(db_));
  }
}

std::string LocalIsoTime(double unix_seconds) {
  std::time_t whole = static_cast<std::time_t>(std::floor(unix_seconds));
  int ms = static_cast<int>(std::lround((unix_seconds - static_cast<double>(whole)) * 1000.0));
  if (ms >= 1000) {
    ++whole;
    ms -= 1000;
  }
  std::tm local{};
  localtime_r(&whole, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char out[64];
  std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, ms, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return out;
}

namespace {

// LocalIsoTime for whole seconds, fast: the zone's offset is looked up once
// per hour (offsets change on whole hours), the rest is arithmetic.
class IsoTimes {
 public:
  std::string operator()(std::int64_t t) {
    const std::int64_t hour = t - (t % 3600 + 3600) % 3600;
    if (hour != hour_) {
      const std::time_t at = static_cast<std::time_t>(hour);
      std::tm local{};
      localtime_r(&at, &local);
      offset_ = local.tm_gmtoff;
      hour_ = hour;
    }
    const std::time_t shifted = static_cast<std::time_t>(t + offset_);
    std::tm d{};
    gmtime_r(&shifted, &d);
    char out[32];
    const long minutes = (offset_ < 0 ? -offset_ : offset_) / 60;
    const int fields[] = {d.tm_year + 1900, d.tm_mon + 1, d.tm_mday, d.tm_hour, d.tm_min, d.tm_sec,
                          static_cast<int>(minutes / 60), static_cast<int>(minutes % 60)};
    // yyyy-mm-ddThh:mm:ss.000+hh:mm
    char* p = out;
    const auto two = [&p](int v) {
      *p++ = static_cast<char>('0' + v / 10);
      *p++ = static_cast<char>('0' + v % 10);
    };
    two(fields[0] / 100);
    two(fields[0] % 100);
    const char seps[] = {'-', '-', 'T', ':', ':'};
    for (int i = 1; i < 6; ++i) {
      *p++ = seps[i - 1];
      two(fields[i]);
    }
    for (const char c : {'.', '0', '0', '0', offset_ < 0 ? '-' : '+'}) *p++ = c;
    two(fields[6]);
    *p++ = ':';
    two(fields[7]);
    return std::string(out, p);
  }

 private:
  std::int64_t hour_ = INT64_MIN;
  long offset_ = 0;
};

// The roll-up rows of the export. Times are made once per bucket.
bool ExportRollups(LiveStore& store, double start, double end, bool json, const LiveExportFilter& filter,
                   const std::function<bool(const std::string&)>& put, std::string* error) {
  static constexpr const char* kNames[] = {"temperature", "humidity", "dew_point"};
  std::string header = "time,unit,channel";
  for (const char* q : kNames) {
    for (const char* f : {"count", "min", "min_time", "max", "max_time", "mean"}) header.append(",").append(q).append("_").append(f);
  }
  if (!put(json ? "[" : header + "\n")) return true;
  std::vector<std::string> units;
  if (!store.Units(&units, error)) return false;
  bool first = true;
  IsoTimes iso;
  for (const std::string& unit : units) {
    if (!filter.unit.empty() && unit != filter.unit) continue;
    const bool ok = store.QueryRollups(
        unit, filter.every_seconds, static_cast<std::int64_t>(std::ceil(start)), static_cast<std::int64_t>(std::ceil(end)),
        [&](const LiveRollup& r) {
          const std::string time = iso(r.start);
          std::string line;
          for (int k = 1; k <= kLiveChannels; ++k) {
            if (filter.channel != 0 && k != filter.channel) continue;
            line += json ? std::string(first ? "" : ", ") + "{\"time\": " + JsonString(time) + ", \"unit\": " + JsonString(unit) +
                               ", \"channel\": " + std::to_string(k)
                         : time + "," + CsvField(unit) + "," + std::to_string(k);
            first = false;
            for (std::size_t q = 0; q < 3; ++q) {
              const LiveStats& st = r.stats[static_cast<std::size_t>(k - 1)][q];
              const double scale = q == 1 ? 1.0 : 10.0;
              const auto value = [&](double v) { return st.count ? Number(v) : std::string(json ? "null" : ""); };
              const auto when = [&](std::int64_t t) {
                return st.count ? (json ? JsonString(iso(t)) : iso(t)) : std::string(json ? "null" : "");
              };
              const std::string fields[] = {std::to_string(st.count), value(st.min / scale), when(st.min_time),
                                            value(st.max / scale), when(st.max_time), value(st.Mean() / scale)};
              if (json) {
                static constexpr const char* kFields[] = {"count", "min", "min_time", "max", "max_time", "mean"};
                line += std::string(", \"") + kNames[q] + "\": {";
                for (std::size_t f = 0; f < 6; ++f) line += std::string(f ? ", " : "") + "\"" + kFields[f] + "\": " + fields[f];
                line += "}";
              } else {
                for (const std::string& f : fields) line += "," + f;
              }
            }
            line += json ? "}" : "\n";
          }
          return put(line);
        },
        error);
    if (!ok) return false;
  }
  if (json) put("]\n");
  return true;
}

}  // namespace

LiveExportResult ExportLive(const std::string& database, const std::string& from, const std::string& to,
                            LiveFormat format, std::FILE* out, const LiveExportFilter& filter) {
  double start = 0, end = 0;
  if (!ParseLocalTime(from, &start)) return {LiveExportResult::kBadInput, UIString(ui::kFromTimeForm)};
  if (!ParseLocalTime(to, &end)) return {LiveExportResult::kBadInput, UIString(ui::kToTimeForm)};
  LiveStore store;
  std::string error;
  if (!store.OpenReadOnly(database, &error)) return {LiveExportResult::kStoreError, error};

  const bool json = format == LiveFormat::kJson;
  bool first = true, written = true;
  const auto put = [&](const std::string& text) {
    written = written && std::fputs(text.c_str(), out) >= 0 && !std::ferror(out);
    return written;
  };
  const LiveExportResult output_error{LiveExportResult::kOutputError,
                                      UIString(ui::kCannotWriteOutput)};
  if (filter.every_seconds != 0) {
    if (!ExportRollups(store, start, end, json, filter, put, &error)) return {LiveExportResult::kStoreError, error};
    if (!written || std::fflush(out) != 0) return output_error;
    return {};
  }
  put(json ? "[" : "time,unit,channel,temperature,humidity,dew_point\n");
  const auto text = [](const auto& v, const char* none) {
    if (!v) return std::string(none);
    if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, int>) return std::to_string(*v);
    else return Number(*v);
  };
  const bool read = store.Query(
      start, end,
      [&](const LiveRow& r) {
        std::string line;
        if (json) {
          line = std::string(first ? "" : ", ") + "{\"time\": " + JsonString(LocalIsoTime(r.time)) +
                 ", \"unit\": " + JsonString(r.unit) + ", \"channel\": " + std::to_string(r.channel) +
                 ", \"temperature\": " + text(r.value.temperature, "null") +
                 ", \"humidity\": " + text(r.value.humidity, "null") +
                 ", \"dew_point\": " + text(r.value.dew_point, "null") + "}";
        } else {
          line = LocalIsoTime(r.time) + "," + CsvField(r.unit) + "," + std::to_string(r.channel) + "," +
                 text(r.value.temperature, "") + "," + text(r.value.humidity, "") + "," + text(r.value.dew_point, "") +
                 "\n";
        }
        first = false;
        return put(line);
      },
      &error, filter.unit, filter.channel);
  if (!read) return {LiveExportResult::kStoreError, error};
  if (json) put("]\n");
  if (!written || std::fflush(out) != 0) return {LiveExportResult::kOutputError, UIString(ui::kCannotWriteOutput)};
  return {};
}

}  // namespace norvo
