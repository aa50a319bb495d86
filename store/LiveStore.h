#pragma once
// The live readings that the holder of a unit records (the console or
// `norvoctl serve`), in tables of their own in the record store "Norvo.mdb":
// one row per answered poll of a unit (LivePolls, keyed by unit and time, the
// values packed as LiveRollup.h describes), the unit names (LiveUnits), the
// roll-ups per 5 minutes, hour and day (LiveRollups) and the view
// LiveReadings (Time, Unit, Channel, Temperature, Humidity, DewPoint) that
// keeps the documented columns. Time is Unix time in seconds (UTC, with
// milliseconds), temperatures are in degrees Celsius, humidity in percent; a
// value the unit did not give is NULL. A store with the older LiveReadings table is migrated
// when it is first opened for writing. The SD-card import's tables (Records,
// Param) are never created, read or changed here. No Qt.

#include <array>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "TimeText.h"

struct sqlite3;
namespace norvo::sqlite {
class Statement;
}

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

enum class LiveQuantity { kTemperature = 0, kHumidity = 1, kDewPoint = 2 };

// The present values of one quantity of one channel in a bucket. Values are
// tenths of a degree (temperature, dew point) or whole percent (humidity);
// times are Unix seconds; of equal values the earliest time is kept.
struct LiveStats {
  std::uint32_t count = 0;
  int min = 0, max = 0;
  std::int64_t min_time = 0, max_time = 0;
  std::int64_t sum = 0;
  double Mean() const { return count ? static_cast<double>(sum) / count : 0.0; }
};
// Equal counts, and for a count above 0 equal figures.
bool operator==(const LiveStats& a, const LiveStats& b);

// A bucket of `span` seconds from `start` (a multiple of span since the Unix
// epoch): per channel, per LiveQuantity.
struct LiveRollup {
  std::int64_t start = 0;
  int span = 0;
  std::array<std::array<LiveStats, 3>, kLiveChannels> stats{};
};

// Migration progress: rows of the old table copied, of total.
using LiveProgressFn = std::function<void(std::int64_t done, std::int64_t total)>;

class LiveStore {
 public:
  LiveStore();
  ~LiveStore();
  LiveStore(const LiveStore&) = delete;
  LiveStore& operator=(const LiveStore&) = delete;

  // Opens (or creates) the database for writing and creates the live tables
  // when they are missing; an older LiveReadings table is migrated first (in
  // one transaction: a crash leaves it as it was), with progress. A file that
  // is not an SQLite database is reported and left untouched; a store of a
  // newer format is refused for writing with a message.
  bool Open(const std::string& path, std::string* error, const LiveProgressFn& progress = nullptr);
  // Opens an existing database without changing it (export, the Trends
  // window); a store in the older layout is read as it is.
  bool OpenReadOnly(const std::string& path, std::string* error);

  // All polls in one transaction: every row or none. A poll in the same
  // millisecond as one already recorded for its unit is the same poll and is
  // left out. The buckets a poll closes get their roll-ups in the same
  // transaction.
  bool Append(std::span<const LivePoll> polls, std::string* error);
  // Thinning: deletes the polls before the UTC day that holds the time (so
  // that every bucket keeps all its polls or none); the roll-ups stay.
  // *deleted counts the LiveReadings rows (eight per poll).
  bool DeleteBefore(double unix_time, int* deleted, std::string* error);
  // Rows with from < Time <= to, by time, unit and channel; `row` returns
  // false to stop. A store without the live tables has no rows. unit ""
  // is every unit, channel 0 every channel.
  bool Query(double from, double to, const std::function<bool(const LiveRow&)>& row, std::string* error,
             const std::string& unit = "", int channel = 0);
  // The polls of one unit with from <= Time < to (seconds), by time.
  bool QueryPolls(const std::string& unit, std::int64_t from, std::int64_t to,
                  const std::function<bool(const LivePoll&)>& poll, std::string* error);
  // The unit's buckets of `span` seconds (300, 3600 or 86400) that start in
  // [from, to), by time. Closed buckets come from the roll-ups; the unit's
  // last bucket, still open, is summed from its polls.
  bool QueryRollups(const std::string& unit, int span, std::int64_t from, std::int64_t to,
                    const std::function<bool(const LiveRollup&)>& bucket, std::string* error);
  // The recorded unit names, and the first and last poll time over all.
  bool Units(std::vector<std::string>* units, std::string* error);
  bool Extent(const std::string& unit, std::int64_t* first, std::int64_t* last, std::string* error);

  // Rebuilds every closed bucket from the polls and compares with the
  // stored roll-ups (buckets older than the oldest poll's day are thinned
  // and not compared). False with the differences named in *report.
  bool CheckRollups(std::string* report);

  bool ReadOnly() const { return read_only_; }
  sqlite3* Handle() const { return db_; }

 private:
  bool OpenFile(const std::string& path, bool read_only, std::string* error);
  void Close();
  bool Fail(std::string* error, const std::string& what);
  bool Exec(const char* sql, std::string* error);
  bool Legacy() const { return legacy_; }
  bool Migrate(const LiveProgressFn& progress, std::string* error);
  bool WriteAllRollups(std::string* error);
  bool UnitId(const std::string& name, bool create, std::int64_t* id, std::string* error);
  bool AppendOne(const LivePoll& poll, std::string* error);
  bool CloseBucket(std::int64_t unit, std::int64_t bucket, int span_index, std::string* error);
  bool WriteRollup(std::int64_t unit, const LiveRollup& r, std::string* error);
  // Every closed bucket of the unit summed from its polls.
  bool Rebuild(std::int64_t unit, const std::function<void(const LiveRollup&)>& closed, std::string* error);
  bool HasTable(const char* name) const;
  // A poll's time in milliseconds and its values; false stops the scan.
  using PollFn = std::function<bool(std::int64_t, const std::array<std::array<std::optional<int>, 3>, kLiveChannels>&)>;
  // from and to in seconds.
  bool ScanPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll, std::string* error);
  bool ScanLegacyPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll,
                       std::string* error);
  bool ScanCompactPolls(const std::string& unit, std::int64_t from, std::int64_t to, const PollFn& poll,
                        std::string* error);

  sqlite3* db_ = nullptr;
  std::string path_;
  bool read_only_ = false;
  bool legacy_ = false;  // read-only: the older LiveReadings table, not migrated
  std::vector<std::pair<std::string, std::int64_t>> unit_ids_;  // names seen, with their ids
  // Statements prepared once for the recording path.
  std::unique_ptr<sqlite::Statement> last_, insert_, upsert_;
};

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
// Which rows: a unit's name ("" every unit), a channel 1..8 (0 every
// channel), and every_seconds 0 for the recorded polls or 300, 3600 or 86400
// for the roll-ups of the buckets that start in [from, to), one row per
// unit, bucket and channel with count, minimum, its time, maximum, its time
// and mean of each quantity (by unit, then time, then channel).
struct LiveExportFilter {
  std::string unit;
  int channel = 0;
  int every_seconds = 0;
};

LiveExportResult ExportLive(const std::string& database, const std::string& from, const std::string& to,
                            LiveFormat format, std::FILE* out, const LiveExportFilter& filter = {});

}  // namespace norvo
