#pragma once
// The local record store: the readings of the last imported log file, in the
// SQLite file "Norvo.mdb" of the data folder. Tables `Records` (Time as an OLE
// Automation date, Temperature, Humidity, Dewpoint, Heatindex) and `Param`,
// created when the file lacks them. A file that is not an SQLite database is
// reported and left untouched. No Qt here.
//
// Every user connects right before each piece of work. Each operation reports
// its own error through the reporter and returns its failure value: -1 for
// Connect, 1 for DeleteAllRecords and the queries, 2 for AppendRecord.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TimeText.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvo {

class RecordRunsWriter;

// One logged reading: 24 bytes, little-endian, no padding.
struct LogRecord {
  double Time;  // OLE Automation date
  float Temperature;
  std::int32_t Humidity;
  float Dewpoint;
  float Heatindex;
};
static_assert(sizeof(LogRecord) == 24);
static_assert(offsetof(LogRecord, Temperature) == 8 && offsetof(LogRecord, Humidity) == 12 &&
              offsetof(LogRecord, Dewpoint) == 16 && offsetof(LogRecord, Heatindex) == 20);

class RecordStore {
 public:
  using Reporter = std::function<void(const std::string& message)>;

  explicit RecordStore(Reporter reporter = {});
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Opens (or creates) the database; a second Connect replaces the first.
  int Connect(const std::string& path);
  // Closes the connection; appends not yet committed are dropped.
  void Close() { Disconnect(); }
  // Empties Records, then Param. 0 on success, 1 on failure.
  int DeleteAllRecords();

  // "SELECT * FROM Records" opens the table for appending: everything from
  // here to CloseRecordTable is one transaction, so an import either lands
  // whole or leaves the previous contents. 0 on success.
  int OpenRecordTable(const std::string& sql);
  // Commits the appends (or closes the open query). False when an append or
  // the commit failed: the store then keeps its previous contents whole.
  bool CloseRecordTable();

  // The record the next AppendRecord copies from; set by the caller.
  void SetRecord(const LogRecord* record) { record_ = record; }
  // Appends are written in batches; 2 when a batch could not be written.
  int AppendRecord();

  // Span: Time > start and Time <= end, both as "%d-%02d-%02d %d:%02d:%02d";
  // rows whose column holds 65535 are left out. column: Temperature, DewPoint,
  // Heatindex or Humidity (any case). 0 on success, 1 after a reported failure.
  int CountRecords(const std::string& start, const std::string& end, const std::string& column);
  int Count() const { return count_; }
  int QueryRecords(const std::string& start, const std::string& end, const std::string& column);
  // The next row of the last QueryRecords, in ascending time; false at the end.
  bool NextRow(double* time, float* value);

  // The text of the last error (SQLite's message).
  const std::string& ErrorText() const { return error_; }

 private:
  int Fail(int code, const std::string& what);
  bool Exec(const char* sql);
  void Finalize();
  void Disconnect();
  bool Flush();
  int PrepareSpan(const char* head, const std::string& start, const std::string& end,
                  const std::string& column, const char* tail);

  Reporter reporter_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;  // the open record table: an insert of a batch, or a query
  sqlite3_stmt* single_ = nullptr;     // an insert of one row, for the rest of a batch
  std::vector<LogRecord> batch_;
  bool in_transaction_ = false;
  bool append_failed_ = false;
  const LogRecord* record_ = nullptr;
  int count_ = 0;
  std::string error_;
  // The Graph's summary of the appends, written as they come when the table
  // was empty at the first of them; otherwise rebuilt from the table at the commit.
  enum class Runs { kUndecided, kWriting, kRebuild } runs_ = Runs::kUndecided;
  std::unique_ptr<RecordRunsWriter> runs_writer_;
};

}  // namespace norvo
