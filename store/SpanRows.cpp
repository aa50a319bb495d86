#include "SpanRows.h"

#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "LiveRollup.h"
#include "Statement.h"

namespace norvo {
namespace {

using sqlite::Statement;

struct Db {
  sqlite3* db = nullptr;
  ~Db() {
    if (db) sqlite3_close(db);
  }
};

bool OpenReadOnly(const std::string& path, Db* d, std::string* error) {
  if (sqlite3_open_v2(path.c_str(), &d->db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    if (error) *error = path + ": " + (d->db ? sqlite3_errmsg(d->db) : "cannot open");
    return false;
  }
  sqlite3_busy_timeout(d->db, 5000);
  return true;
}

bool HasLiveReadings(sqlite3* db, bool* has, std::string* error, const std::string& path) {
  Statement s(db, "SELECT count(*) FROM sqlite_master WHERE name = 'LiveReadings'");
  if (!s || sqlite3_step(s.get()) != SQLITE_ROW) {
    if (error) *error = path + ": " + sqlite3_errmsg(db);
    return false;
  }
  *has = sqlite3_column_int(s.get(), 0) > 0;
  return true;
}

bool HasTable(sqlite3* db, const char* name, bool* has, std::string* error, const std::string& path) {
  Statement s(db, "SELECT count(*) FROM sqlite_master WHERE name = ?1");
  if (!s) {
    if (error) *error = path + ": " + sqlite3_errmsg(db);
    return false;
  }
  sqlite3_bind_text(s.get(), 1, name, -1, SQLITE_STATIC);
  if (sqlite3_step(s.get()) != SQLITE_ROW) {
    if (error) *error = path + ": " + sqlite3_errmsg(db);
    return false;
  }
  *has = sqlite3_column_int(s.get(), 0) > 0;
  return true;
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* t = sqlite3_column_text(s, column);
  return t ? reinterpret_cast<const char*>(t) : "";
}

// The compact layout keeps one row per poll; its LiveReadings view makes
// eight rows of each and cannot be read in time order without sorting them
// all. Its polls are read straight by their key, unit by unit in time
// order; a report needs no dew point, so none is worked out. `poll` gets
// each poll with from < Time <= to (its blob as stored) and returns false to
// go on to the next unit.
using CompactPollFn = std::function<bool(const std::string& unit, double time, const unsigned char* data)>;

bool ForEachCompactPoll(sqlite3* db, const std::string& path, const SpanQuery& query, const CompactPollFn& poll,
                        std::string* error) {
  const auto fail = [&] {
    if (error) *error = path + ": " + sqlite3_errmsg(db);
    return false;
  };
  Statement units(db, "SELECT Id, Name FROM LiveUnits WHERE ?1 = '' OR Name = ?1 ORDER BY Name");
  if (!units) return fail();
  sqlite3_bind_text(units.get(), 1, query.unit.c_str(), -1, SQLITE_TRANSIENT);
  std::vector<std::pair<std::int64_t, std::string>> found;
  int rc;
  while ((rc = sqlite3_step(units.get())) == SQLITE_ROW) found.emplace_back(sqlite3_column_int64(units.get(), 0), ColumnText(units.get(), 1));
  if (rc != SQLITE_DONE) return fail();
  // Times are milliseconds.
  Statement polls(db, "SELECT Time, Data FROM LivePolls WHERE Unit = ?1 AND Time > ?2 AND Time <= ?3 ORDER BY Time");
  if (!polls) return fail();
  for (const auto& [id, name] : found) {
    sqlite3_reset(polls.get());
    sqlite3_bind_int64(polls.get(), 1, id);
    sqlite3_bind_double(polls.get(), 2, query.from * 1000.0);
    sqlite3_bind_double(polls.get(), 3, query.to * 1000.0);
    while ((rc = sqlite3_step(polls.get())) == SQLITE_ROW) {
      if (sqlite3_column_bytes(polls.get(), 1) != static_cast<int>(live::kPollBytes)) continue;
      const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(polls.get(), 1));
      if (!poll(name, static_cast<double>(sqlite3_column_int64(polls.get(), 0)) / 1000.0, data)) break;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return fail();
  }
  return true;
}

// What holds the live readings: nothing, the older table, or the compact
// polls behind the LiveReadings view.
enum class Layout { kNone, kTable, kCompact };

bool OpenSpanStore(const std::string& database, Db* d, Layout* layout, std::string* error) {
  bool has = false, compact = false;
  if (!OpenReadOnly(database, d, error) || !HasLiveReadings(d->db, &has, error, database)) return false;
  if (has && !HasTable(d->db, "LivePolls", &compact, error, database)) return false;
  *layout = !has ? Layout::kNone : compact ? Layout::kCompact : Layout::kTable;
  return true;
}

// The compact layout's polls as eight rows each, one per channel.
bool ReadCompactSpanRows(sqlite3* db, const std::string& database, const SpanQuery& query,
                         const std::function<void(const SpanRow&)>& row, std::string* error) {
  SpanRow r;
  return ForEachCompactPoll(db, database, query, [&](const std::string& unit, double time, const unsigned char* data) {
    r.unit = &unit;
    r.time = time;
    for (std::size_t k = 0; k < kLiveChannels; ++k) {
      const auto t = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2 * k] << 8 | data[2 * k + 1]));
      const unsigned char h = data[2 * kLiveChannels + k];
      r.channel = static_cast<int>(k) + 1;
      r.temperature = t == live::kAbsentTemperature ? std::nullopt : std::optional<double>(t / 10.0);
      r.humidity = h == live::kAbsentHumidity ? std::nullopt : std::optional<double>(h);
      row(r);
    }
    return true;
  }, error);
}

// One pass over the older table's rows. Read in the table's own order
// (by_index false), a unit's rows may go back in time: the pass then stops
// with *out_of_order set. Returns the status of the last step.
int ReadTablePass(sqlite3_stmt* st, bool by_index, const std::function<void(const SpanRow&)>& row,
                  bool* out_of_order) {
  // The unit's name repeats in every row: one string per unit, compared in place.
  std::string unit;
  std::map<std::string, double> last_time;
  double* last = nullptr;
  SpanRow r;
  r.unit = &unit;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    const std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(st, 1));
    if (last == nullptr || unit.size() != length || unit.compare(0, length, name, length) != 0) {
      unit.assign(name, length);
      last = &last_time.emplace(unit, -1e300).first->second;
    }
    r.time = sqlite3_column_double(st, 0);
    if (r.time < *last && !by_index) {
      *out_of_order = true;
      return rc;
    }
    *last = r.time;
    r.channel = sqlite3_column_int(st, 2);
    r.temperature = sqlite3_column_type(st, 3) == SQLITE_NULL ? std::nullopt : std::optional<double>(sqlite3_column_double(st, 3));
    r.humidity = sqlite3_column_type(st, 4) == SQLITE_NULL ? std::nullopt : std::optional<double>(sqlite3_column_double(st, 4));
    row(r);
  }
  return rc;
}

// The older table: first in its own order, and when a unit's rows turn out
// not to be in time order, after restart() again by the time index.
bool ReadTableSpanRows(sqlite3* db, const std::string& database, const SpanQuery& query,
                       const std::function<void(const SpanRow&)>& row, const std::function<void()>& restart,
                       std::string* error) {
  // "+Time" keeps SQLite off the time index: a span that covers most of the
  // table reads fastest in the table's own order.
  for (const char* sql : {"SELECT Time, Unit, Channel, Temperature, Humidity FROM LiveReadings "
                          "WHERE +Time > ?1 AND +Time <= ?2 AND (?3 = '' OR Unit = ?3)",
                          "SELECT Time, Unit, Channel, Temperature, Humidity FROM LiveReadings "
                          "WHERE Time > ?1 AND Time <= ?2 AND (?3 = '' OR Unit = ?3) ORDER BY Time"}) {
    const bool by_index = std::strstr(sql, "ORDER BY") != nullptr;
    Statement s(db, sql);
    if (!s) {
      if (error) *error = database + ": " + sqlite3_errmsg(db);
      return false;
    }
    sqlite3_bind_double(s.get(), 1, query.from);
    sqlite3_bind_double(s.get(), 2, query.to);
    sqlite3_bind_text(s.get(), 3, query.unit.c_str(), -1, SQLITE_TRANSIENT);
    bool out_of_order = false;
    const int rc = ReadTablePass(s.get(), by_index, row, &out_of_order);
    if (out_of_order) {
      restart();
      continue;
    }
    if (rc != SQLITE_DONE) {
      if (error) *error = database + ": " + sqlite3_errmsg(db);
      return false;
    }
    return true;
  }
  return true;
}

}  // namespace

bool ReadSpanRows(const std::string& database, const SpanQuery& query, const std::function<void(const SpanRow&)>& row,
                  const std::function<void()>& restart, std::string* error) {
  Db d;
  Layout layout;
  if (!OpenSpanStore(database, &d, &layout, error)) return false;
  if (layout == Layout::kNone) return true;
  if (layout == Layout::kCompact) return ReadCompactSpanRows(d.db, database, query, row, error);
  return ReadTableSpanRows(d.db, database, query, row, restart, error);
}

bool SpanUnitTimes(const std::string& database, const SpanQuery& query, int limit,
                   std::vector<std::pair<std::string, std::vector<double>>>* units, std::string* error) {
  units->clear();
  Db d;
  Layout layout;
  if (!OpenSpanStore(database, &d, &layout, error)) return false;
  if (layout == Layout::kNone) return true;
  const bool compact = layout == Layout::kCompact;
  if (compact) {
    return ForEachCompactPoll(d.db, database, query, [&](const std::string& unit, double time, const unsigned char*) {
      if (units->empty() || units->back().first != unit) units->push_back({unit, {}});
      units->back().second.push_back(time);
      return units->back().second.size() < static_cast<std::size_t>(limit);
    }, error);
  }
  // The units: found by skipping from one to the next along the time index
  // would need an index by unit; the first rows of the span name them in
  // practice, and a unit first seen later is found by the full read anyway.
  Statement s(d.db,
              "SELECT DISTINCT Time, Unit FROM LiveReadings WHERE Time > ?1 AND Time <= ?2 AND (?3 = '' OR Unit = ?3) "
              "ORDER BY Time LIMIT ?4");
  if (!s) {
    if (error) *error = database + ": " + sqlite3_errmsg(d.db);
    return false;
  }
  sqlite3_bind_double(s.get(), 1, query.from);
  sqlite3_bind_double(s.get(), 2, query.to);
  sqlite3_bind_text(s.get(), 3, query.unit.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(s.get(), 4, limit);
  std::map<std::string, std::size_t> index;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const std::string unit = ColumnText(s.get(), 1);
    auto [it, added] = index.emplace(unit, units->size());
    if (added) units->push_back({unit, {}});
    (*units)[it->second].second.push_back(sqlite3_column_double(s.get(), 0));
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = database + ": " + sqlite3_errmsg(d.db);
    return false;
  }
  return true;
}

}  // namespace norvo
