#include "LiveStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>

#include "OleDate.h"
#include "RecordStore.h"
#include "Statement.h"
#include "res/Strings.h"

namespace norvo {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS LiveReadings (Time REAL NOT NULL, Unit TEXT NOT NULL, Channel INTEGER NOT NULL, "
    "Temperature REAL, Humidity INTEGER, DewPoint REAL);"
    "CREATE INDEX IF NOT EXISTS LiveReadingsByTime ON LiveReadings(Time);";

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

LiveStore::~LiveStore() { Close(); }

void LiveStore::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool LiveStore::Fail(std::string* error, const std::string& what) {
  if (error) *error = path_ + ": " + what;
  return false;
}

bool LiveStore::OpenFile(const std::string& path, bool read_only, std::string* error) {
  Close();
  path_ = path;
  bool exists = false;
  if (!LooksLikeSqlite(path, &exists)) return Fail(error, std::string(Localized("file is not a database", "Datei ist keine Datenbank")));
  if (read_only && !exists) return Fail(error, std::string(Localized("no record store", "keine Datenbank")));
  const int flags = read_only ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : std::string(Localized("out of memory", "nicht genug Speicher"));
    Close();
    return Fail(error, message);
  }
  // The console's import may hold the write lock for a moment.
  sqlite3_busy_timeout(db_, 5000);
  return true;
}

bool LiveStore::Open(const std::string& path, std::string* error) {
  if (!OpenFile(path, false, error)) return false;
  char* message = nullptr;
  if (sqlite3_exec(db_, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    Close();
    return Fail(error, text);
  }
  return true;
}

bool LiveStore::OpenReadOnly(const std::string& path, std::string* error) { return OpenFile(path, true, error); }

bool LiveStore::Append(std::span<const LivePoll> polls, std::string* error) {
  if (db_ == nullptr) return Fail(error, std::string(Localized("the record store is not open", "die Datenbank ist nicht geöffnet")));
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Fail(error, sqlite3_errmsg(db_));
  }
  bool ok = true;
  {
    Statement insert(db_,
                     "INSERT INTO LiveReadings (Time, Unit, Channel, Temperature, Humidity, DewPoint) "
                     "VALUES (?, ?, ?, ?, ?, ?)");
    ok = static_cast<bool>(insert);
    for (const LivePoll& poll : polls) {
      for (int k = 0; ok && k < kLiveChannels; ++k) {
        const LiveChannel& c = poll.channels[static_cast<std::size_t>(k)];
        sqlite3_stmt* s = insert.get();
        sqlite3_reset(s);
        sqlite3_bind_double(s, 1, poll.time);
        sqlite3_bind_text(s, 2, poll.unit.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 3, k + 1);
        c.temperature ? sqlite3_bind_double(s, 4, *c.temperature) : sqlite3_bind_null(s, 4);
        c.humidity ? sqlite3_bind_int(s, 5, *c.humidity) : sqlite3_bind_null(s, 5);
        c.dew_point ? sqlite3_bind_double(s, 6, *c.dew_point) : sqlite3_bind_null(s, 6);
        ok = sqlite3_step(s) == SQLITE_DONE;
      }
    }
  }
  if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  const std::string message = sqlite3_errmsg(db_);
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return Fail(error, message);
}

bool LiveStore::DeleteBefore(double unix_time, int* deleted, std::string* error) {
  if (deleted) *deleted = 0;
  if (db_ == nullptr) return Fail(error, std::string(Localized("the record store is not open", "die Datenbank ist nicht geöffnet")));
  Statement remove(db_, "DELETE FROM LiveReadings WHERE Time < ?");
  if (!remove) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_bind_double(remove.get(), 1, unix_time);
  if (sqlite3_step(remove.get()) != SQLITE_DONE) return Fail(error, sqlite3_errmsg(db_));
  if (deleted) *deleted = sqlite3_changes(db_);
  return true;
}

bool LiveStore::Query(double from, double to, const std::function<bool(const LiveRow&)>& row, std::string* error) {
  if (db_ == nullptr) return Fail(error, std::string(Localized("the record store is not open", "die Datenbank ist nicht geöffnet")));
  {
    Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'LiveReadings'");
    if (!table) return Fail(error, sqlite3_errmsg(db_));
    const int rc = sqlite3_step(table.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return Fail(error, sqlite3_errmsg(db_));
  }
  Statement query(db_,
                  "SELECT Time, Unit, Channel, Temperature, Humidity, DewPoint FROM LiveReadings "
                  "WHERE Time > ?1 AND Time <= ?2 ORDER BY Time, Unit, Channel");
  if (!query) return Fail(error, sqlite3_errmsg(db_));
  sqlite3_stmt* s = query.get();
  sqlite3_bind_double(s, 1, from);
  sqlite3_bind_double(s, 2, to);
  for (;;) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return Fail(error, sqlite3_errmsg(db_));
    LiveRow r;
    r.time = sqlite3_column_double(s, 0);
    const unsigned char* unit = sqlite3_column_text(s, 1);
    r.unit = unit ? reinterpret_cast<const char*>(unit) : "";
    r.channel = sqlite3_column_int(s, 2);
    if (sqlite3_column_type(s, 3) != SQLITE_NULL) r.value.temperature = sqlite3_column_double(s, 3);
    if (sqlite3_column_type(s, 4) != SQLITE_NULL) r.value.humidity = sqlite3_column_int(s, 4);
    if (sqlite3_column_type(s, 5) != SQLITE_NULL) r.value.dew_point = sqlite3_column_double(s, 5);
    if (!row(r)) return true;
  }
}

bool ParseLocalTime(const std::string& text, double* unix_seconds) {
  std::string t = text;
  std::replace(t.begin(), t.end(), 'T', ' ');
  double ole = 0;
  if (!ParseSpanTime(t, &ole)) return false;
  const DateTime d = FromOleDate(ole);
  std::tm local{};
  local.tm_year = d.year - 1900;
  local.tm_mon = d.month - 1;
  local.tm_mday = d.day;
  local.tm_hour = d.hour;
  local.tm_min = d.minute;
  local.tm_sec = d.second;
  local.tm_isdst = -1;
  const std::time_t at = std::mktime(&local);
  if (at == static_cast<std::time_t>(-1)) return false;
  *unix_seconds = static_cast<double>(at);
  return true;
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

LiveExportResult ExportLive(const std::string& database, const std::string& from, const std::string& to,
                            LiveFormat format, std::FILE* out) {
  double start = 0, end = 0;
  if (!ParseLocalTime(from, &start)) return {LiveExportResult::kBadInput, std::string(Localized("--from takes \"YYYY-MM-DD hh:mm:ss\"",
                                                                                                   "--from erwartet \"YYYY-MM-DD hh:mm:ss\""))};
  if (!ParseLocalTime(to, &end)) return {LiveExportResult::kBadInput, std::string(Localized("--to takes \"YYYY-MM-DD hh:mm:ss\"",
                                                                                               "--to erwartet \"YYYY-MM-DD hh:mm:ss\""))};
  LiveStore store;
  std::string error;
  if (!store.OpenReadOnly(database, &error)) return {LiveExportResult::kStoreError, error};

  const bool json = format == LiveFormat::kJson;
  bool first = true, written = true;
  const auto put = [&](const std::string& text) {
    written = written && std::fputs(text.c_str(), out) >= 0 && !std::ferror(out);
    return written;
  };
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
      &error);
  if (!read) return {LiveExportResult::kStoreError, error};
  if (json) put("]\n");
  if (!written || std::fflush(out) != 0) return {LiveExportResult::kOutputError, std::string(Localized("cannot write the output", "die Ausgabe kann nicht geschrieben werden"))};
  return {};
}

}  // namespace norvo
