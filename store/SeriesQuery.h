#pragma once
// The readings of a time span reduced to what a chart of a given width can
// show: one pass over the span's rows, on a connection of its own, keeping
// per series and pixel column at most the lowest and the highest reading.
// Memory follows the width, never the row count. No Qt; runs on any thread
// (one query object per thread at a time).

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace norvo {

// One line of the chart: readings in ascending time; a NaN value between two
// readings means the line breaks there (an absent reading, or a hole in time).
struct SeriesLine {
  std::vector<double> dates;   // OLE Automation dates
  std::vector<double> values;  // the stored float, widened to double
  long long readings = 0;      // valid readings of the span, before the reduction
};

struct SeriesRequest {
  std::string database_path;
  double start = 0;  // OLE dates; a row belongs when start < Time <= end
  double end = 0;
  std::vector<std::string> columns;  // up to three of Temperature, DewPoint, Heatindex, Humidity
  int pixel_columns = 800;           // the plot's width
};

struct SeriesResult {
  std::vector<SeriesLine> lines;  // one per requested column, in that order
  std::string error;              // empty on success; otherwise nothing is drawn
  bool ok() const { return error.empty(); }
};

// A row step longer than this many times the step before it is a hole in the
// log (the unit was off or unplugged): the lines break across it.
constexpr double kHoleFactor = 2.5;

// Takes whole runs from the store's summary (below) where a run lies inside
// one pixel column, and reads rows only elsewhere; without a summary that
// matches the table, one pass over the span's rows. Both draw the same.
SeriesResult QuerySeries(const SeriesRequest& request);
// Always the one pass over the span's rows, summary or not.
SeriesResult QuerySeriesRows(const SeriesRequest& request);

// The summary of the readings: the rows in time order cut into runs of about
// kRunRows rows (a run never splits rows of equal time), each with its first
// and last time, its row count, and per column the lowest and highest
// reading with their times and the count of present readings. Written on the
// store's connection inside the transaction that filled the table; empty
// string on success, else SQLite's message.
constexpr int kRunRows = 32;
std::string RebuildRecordRuns(sqlite3* db);
// Removes the summary (the records are being replaced); SQLite's message on failure.
std::string DropRecordRuns(sqlite3* db);

// The same summary written while the rows go into an empty table, so a fill
// needs no second pass over its rows: Begin in the transaction that fills
// the table, Add each row in the order it is inserted, End after the last.
// End writes what RebuildRecordRuns would; when a row came out of time order
// (the log's clock went back) it falls back to RebuildRecordRuns itself.
class RecordRunsWriter {
 public:
  RecordRunsWriter();
  ~RecordRunsWriter();
  RecordRunsWriter(const RecordRunsWriter&) = delete;
  RecordRunsWriter& operator=(const RecordRunsWriter&) = delete;

  // Empty string on success, else SQLite's message.
  std::string Begin(sqlite3* db);
  // A row as bound to the insert: a NaN binds as NULL, 65535 is an absent reading.
  void Add(double time, float temperature, int humidity, float dewpoint, float heatindex);
  std::string End();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The first and the last Time of the stored readings: false when the store
// holds none (no file, no table, no rows) or on an error, which is then set.
bool StoredSpan(const std::string& database_path, double* first, double* last, std::string* error);

// Every row of the span with the requested columns, for an export: row(time,
// values) in ascending time, one value per column, NaN where the reading is
// absent; rows where every column is absent are left out. A false from row
// stops the walk. Returns the error text, empty on success.
using SeriesRowSink = std::function<bool(double time, const std::vector<double>& values)>;
std::string ForEachSeriesRow(const SeriesRequest& request, const SeriesRowSink& row);

}  // namespace norvo
