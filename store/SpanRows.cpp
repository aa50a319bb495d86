#include "SpanRows.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <memory>

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

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* t = sqlite3_column_text(s, column);
  return t ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace

bool ReadSpanRows(const std::string& database, const SpanQuery& query, const std::function<void(const SpanRow&)>& row,
                  const std::function<void()>& restart, std::string* error) {
  Db d;
  bool has = false;
  if (!OpenReadOnly(database, &d, error) || !HasLiveReadings(d.db, &has, error, database)) return false;
  if (!has) return true;
  // "+Time" keeps SQLite off the time index: a span that covers most of the
  // table reads fastest in the table's own order.
  for (const char* sql : {"SELECT Time, Unit, Channel, Temperature, Humidity FROM LiveReadings "
                          "WHERE +Time > ?1 AND +Time <= ?2 AND (?3 = '' OR Unit = ?3)",
                          "SELECT Time, Unit, Channel, Temperature, Humidity FROM LiveReadings "
                          "WHERE Time > ?1 AND Time <= ?2 AND (?3 = '' OR Unit = ?3) ORDER BY Time"}) {
    const bool by_index = std::strstr(sql, "ORDER BY") != nullptr;
    Statement s(d.db, sql);
    if (!s) {
      if (error) *error = database + ": " + sqlite3_errmsg(d.db);
      return false;
    }
    sqlite3_bind_double(s.get(), 1, query.from);
    sqlite3_bind_double(s.get(), 2, query.to);
    sqlite3_bind_text(s.get(), 3, query.unit.c_str(), -1, SQLITE_TRANSIENT);
    // The unit's name repeats in every row: one string per unit, compared in place.
    std::string unit;
    std::map<std::string, double> last_time;
    double* last = nullptr;
    SpanRow r;
    r.unit = &unit;
    bool out_of_order = false;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      sqlite3_stmt* st = s.get();
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      const std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(st, 1));
      if (last == nullptr || unit.size() != length || unit.compare(0, length, name, length) != 0) {
        unit.assign(name, length);
        last = &last_time.emplace(unit, -1e300).first->second;
      }
      r.time = sqlite3_column_double(st, 0);
      if (r.time < *last && !by_index) {
        out_of_order = true;
        break;
      }
      *last = r.time;
      r.channel = sqlite3_column_int(st, 2);
      r.temperature = sqlite3_column_type(st, 3) == SQLITE_NULL ? std::nullopt : std::optional<double>(sqlite3_column_double(st, 3));
      r.humidity = sqlite3_column_type(st, 4) == SQLITE_NULL ? std::nullopt : std::optional<double>(sqlite3_column_double(st, 4));
      row(r);
    }
    if (out_of_order) {
      restart();
      continue;
    }
    if (rc != SQLITE_DONE) {
      if (error) *error = database + ": " + sqlite3_errmsg(d.db);
      return false;
    }
    return true;
  }
  return true;
}

bool SpanUnitTimes(const std::string& database, const SpanQuery& query, int limit,
                   std::vector<std::pair<std::string, std::vector<double>>>* units, std::string* error) {
  units->clear();
  Db d;
  bool has = false;
  if (!OpenReadOnly(database, &d, error) || !HasLiveReadings(d.db, &has, error, database)) return false;
  if (!has) return true;
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
