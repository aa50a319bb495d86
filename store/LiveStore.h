#pragma once
// The live readings that `norvoctl serve` polls, in a table of their own in
// the record store "Norvo.mdb": LiveReadings (Time, Unit, Channel,
// Temperature, Humidity, DewPoint). Time is Unix time in seconds (UTC, with
// milliseconds), temperatures are in degrees Celsius, humidity in percent; a
// value the unit did not give is NULL. The SD-card import's tables (Records,
// Param) are never created, read or changed here. No Qt.

#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>

struct sqlite3;

namespace norvo {

constexpr int kLiveChannels = 8;

struct LiveChannel {
  std::optional<double> temperature;  // °C, tenths
  std::optional<int> humidity;        // %
  std::optional<double> dew_point;    // °C, tenths
};

// One answered poll of one unit: a row per channel.
struct LivePoll {
  double time = 0;   // Unix seconds
  std::string unit;  // device path
  std::array<LiveChannel, kLiveChannels> channels;
};

struct LiveRow {
  double time = 0;
  std::string unit;
  int channel = 0;  // 1..8
  LiveChannel value;
};

class LiveStore {
 public:
  LiveStore() = default;
  ~LiveStore();
  LiveStore(const LiveStore&) = delete;
  LiveStore& operator=(const LiveStore&) = delete;

  // Opens (or creates) the database for writing and creates the live table
  // when it is missing. A file that is not an SQLite database is reported and
  // left untouched.
  bool Open(const std::string& path, std::string* error);
  // Opens an existing database without changing it (export).
  bool OpenReadOnly(const std::string& path, std::string* error);

  // All polls in one transaction: every row or none.
  bool Append(std::span<const LivePoll> polls, std::string* error);
  // Deletes the rows older than the time (retention); *deleted counts them.
  bool DeleteBefore(double unix_time, int* deleted, std::string* error);
  // Rows with from < Time <= to, by time, unit and channel; `row` returns
  // false to stop. A store without the live table has no rows.
  bool Query(double from, double to, const std::function<bool(const LiveRow&)>& row, std::string* error);

 private:
  bool OpenFile(const std::string& path, bool read_only, std::string* error);
  void Close();
  bool Fail(std::string* error, const std::string& what);

  sqlite3* db_ = nullptr;
  std::string path_;
};

// "YYYY-MM-DD hh:mm:ss" (or with "T") in local time as Unix seconds; false
// for any other text or a time that does not exist.
bool ParseLocalTime(const std::string& text, double* unix_seconds);
// Local time with milliseconds and offset: 2026-12-08T10:15:00.000+01:00.
std::string LocalIsoTime(double unix_seconds);

enum class LiveFormat { kCsv, kJson };

struct LiveExportResult {
  enum Status { kOk, kBadInput, kStoreError, kOutputError } status = kOk;
  std::string message;
};

// The live rows after `from` up to and including `to` (local times as
// ParseLocalTime takes them) from the database file, as CSV with a header or
// as a JSON list on one line. The database is opened read-only.
LiveExportResult ExportLive(const std::string& database, const std::string& from, const std::string& to,
                            LiveFormat format, std::FILE* out);

}  // namespace norvo
