#pragma once
// The alarm log in the record store "Norvo.mdb", written by the process that
// holds the unit (serve, or the console when it holds it), and what the
// holder last knew of each unit. No Qt.
//
//   AlarmLog (Unit, Channel, Quantity, Bound, LimitValue, Start, End, Peak, PeakTime)
//     one row per alarm: Quantity "temperature" or "humidity", Bound "high"
//     or "low", the limit in °C or %, Start and End in Unix seconds (End NULL
//     while the alarm lasts), the worst reading and its time. A row is
//     written when the alarm starts and again when it ends.
//   AlarmUnitFacts (Unit, Time, Identification, IntervalMinutes, Limits)
//     a row whenever the unit's identification, logging interval or alarm
//     limits change; Limits is a text of the enabled limits ("" when none).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace norvo {

struct AlarmLogRow {
  std::string unit;
  int channel = 0;
  std::string quantity;  // "temperature" / "humidity"
  std::string bound;     // "high" / "low"
  double limit = 0;
  double start = 0;
  std::optional<double> end;
  double peak = 0;
  double peak_time = 0;
};

struct UnitFactsRow {
  std::string unit;
  double time = 0;
  std::string identification;
  int interval_minutes = 0;
  std::string limits;
  bool SameFacts(const UnitFactsRow& o) const {
    return identification == o.identification && interval_minutes == o.interval_minutes && limits == o.limits;
  }
};

class AlarmLog {
 public:
  AlarmLog() = default;
  ~AlarmLog();
  AlarmLog(const AlarmLog&) = delete;
  AlarmLog& operator=(const AlarmLog&) = delete;

  // Creates the two tables when they are missing. A file that is not an
  // SQLite database is reported and left untouched.
  bool Open(const std::string& path, std::string* error);
  bool OpenReadOnly(const std::string& path, std::string* error);
  bool IsOpen() const { return db_ != nullptr; }

  // An alarm as it stands (started, or ended): the row of its unit, channel,
  // quantity, bound and start is written or replaced.
  bool Write(const AlarmLogRow& row, std::string* error);
  // A facts row, unless the unit's last one says the same.
  bool WriteFacts(const UnitFactsRow& facts, std::string* error);

  // Alarms that overlap from < t <= to (still running ones included), by
  // start; unit "" for every unit. A store without the table has none.
  bool Query(double from, double to, const std::string& unit,
             const std::function<void(const AlarmLogRow&)>& row, std::string* error);
  // The unit's facts in force at `at` (the last row at or before it, else
  // its first row); nullopt when none were recorded.
  std::optional<UnitFactsRow> Facts(const std::string& unit, double at, std::string* error);

 private:
  bool OpenFile(const std::string& path, bool read_only, std::string* error);
  bool HasTables();
  void Close();
  bool Fail(std::string* error, const std::string& what);

  sqlite3* db_ = nullptr;
  std::string path_;
};

// Alarm rows and facts that the store refused, kept and written again with
// the next ones: a locked or full store delays the log and loses nothing.
// One thread at a time.
class AlarmLogWriter {
 public:
  explicit AlarmLogWriter(std::string database) : database_(std::move(database)) {}
  // Writes what waits, then these. False (with the store's message) while
  // anything still waits.
  bool Write(std::vector<AlarmLogRow> rows, std::optional<UnitFactsRow> facts, std::string* error);
  std::size_t Waiting() const { return rows_.size() + facts_.size(); }

 private:
  std::string database_;
  std::unique_ptr<AlarmLog> log_;
  std::vector<AlarmLogRow> rows_;
  std::vector<UnitFactsRow> facts_;
};

}  // namespace norvo
