// export: the stored readings of a time span as CSV or JSON. Every call into
// the record store's queries is in this file.

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "Interrupt.h"
#include "Internal.h"
#include "res/Strings.h"
#include "settings/DataFolder.h"
#include "store/OleDate.h"
#include "store/LiveStore.h"
#include "store/RecordStore.h"
#include "store/TimeText.h"

namespace norvo::cli {
namespace {

constexpr const char* kColumns[] = {"Temperature", "Humidity", "DewPoint", "Heatindex"};

// A time of the command line as local time. Taken: "YYYY-MM-DD hh:mm:ss"
// with a blank or a "T", seconds optional; a bare date (its midnight); and
// ISO 8601 with an offset ("+01:00", "+0100", "+01") or "Z", converted to
// this computer's local time, the time of the store. Every time stamp
// norvoctl prints reads back.
struct SpanPoint {
  std::string text;  // the store's span text
  double ole = 0;
};

SpanPoint SpanTime(const std::string& text, const char* option) {
  const TimeText t = ReadTypedTime(text);
  if (t.status == TimeText::kYearOutside) {
    throw Failure(kBadInput, std::string(option) + UIString(ui::kTheYear) +
                                 std::to_string(t.at.year) + UIString(ui::kIsOutside) +
                                 std::to_string(kFirstTypedYear) + UIString(ui::kRangeTo) +
                                 std::to_string(kLastTypedYear));
  }
  const std::optional<double> value = LocalOleDate(t);
  if (!value) {
    throw Failure(kBadInput,
                  std::string(option) + UIString(ui::kTimeOptionForms));
  }
  return {FormatSpanTime(*value), *value};
}

std::string ColumnsWanted() {
  return UIString(ui::kColumnForms);
}

std::vector<std::string> Columns(const std::string& option) {
  if (option == "all") return std::vector<std::string>(std::begin(kColumns), std::end(kColumns));
  std::vector<std::string> columns;
  std::stringstream list(option);
  for (std::string column; std::getline(list, column, ',');) {
    if (std::find(std::begin(kColumns), std::end(kColumns), column) == std::end(kColumns)) {
      throw Failure(kBadInput, ColumnsWanted());
    }
    if (std::find(columns.begin(), columns.end(), column) != columns.end()) {
      throw Failure(kBadInput, UIString(ui::kColumnNames) + column +
                                   UIString(ui::kTwice));
    }
    columns.push_back(column);
  }
  if (columns.empty() || option.back() == ',') throw Failure(kBadInput, ColumnsWanted());
  return columns;
}

std::string IsoTime(double ole) {
  const DateTime t = FromOleDate(ole);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

// One column's rows of the span, in ascending time, from a connection of its own.
class ColumnRows {
 public:
  ColumnRows(const std::string& database, const std::string& from, const std::string& to, const std::string& column)
      : store_([this](const std::string& e) { error_ = e; }) {
    if (store_.Connect(database) < 0 || store_.QueryRecords(from, to, column) != 0) throw Failure(kStoreError, error_);
    Next();
  }
  bool Has() const { return has_; }
  double Time() const { return time_; }
  float Value() const { return value_; }
  void Next() {
    has_ = store_.NextRow(&time_, &value_);
    if (!has_ && !error_.empty()) throw Failure(kStoreError, error_);
  }

 private:
  std::string error_;
  RecordStore store_;
  bool has_ = false;
  double time_ = 0;
  float value_ = 0;
};

// The rows of all columns merge by time: a row whose value is missing in a
// column is absent from that column's query. The earliest time a column
// still has; false when every column is done.
bool EarliestTime(const std::vector<std::unique_ptr<ColumnRows>>& rows, double* time) {
  bool any = false;
  for (const auto& r : rows) {
    if (r->Has() && (!any || r->Time() < *time)) *time = r->Time();
    any = any || r->Has();
  }
  return any;
}

// Each column's value at the time, none where it has no row then; the
// columns that had one move on.
void TakeValues(const std::vector<std::unique_ptr<ColumnRows>>& rows, double time,
                std::vector<std::optional<float>>* values) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    (*values)[i].reset();
    if (rows[i]->Has() && rows[i]->Time() == time) {
      (*values)[i] = rows[i]->Value();
      rows[i]->Next();
    }
  }
}

// One column keeps its two-field layout; several give one field per column.
Json JsonRow(const std::string& iso, const std::vector<std::string>& columns,
             const std::vector<std::optional<float>>& values) {
  const bool single = columns.size() == 1;
  Json row{{"time", iso}};
  for (std::size_t i = 0; i < columns.size(); ++i) {
    row[single ? "value" : columns[i]] = values[i] ? ShortestJson(*values[i]) : Json(nullptr);
  }
  return row;
}

std::string CsvRow(const std::string& iso, const std::vector<std::optional<float>>& values) {
  std::string line = iso;
  for (const auto& v : values) {
    line += ',';
    if (v) line += ShortestText(*v);
  }
  return line;
}

}  // namespace

ExportSpan CheckExport(const Options& o) {
  const SpanPoint from = SpanTime(o.from, "--from"), to = SpanTime(o.to, "--to");
  // The Graph's rule: an end before the start is a time error; an end equal
  // to it is an empty span.
  if (to.ole < from.ole) {
    std::string message = UIString(ui::kTimeError);
    message.append(UIString(ui::kToBeforeFrom));
    throw Failure(kBadInput, message);
  }
  Columns(o.column);
  return {from.text, to.text};
}

int ExportLiveReadings(const Options& o, const ExportSpan& span, const fs::path& data_folder, std::FILE* out) {
  LiveExportFilter filter;
  filter.unit = o.unit;
  filter.channel = o.channel;
  filter.every_seconds = o.every == "5m" ? 300 : o.every == "1h" ? 3600 : o.every == "1d" ? 86400 : 0;
  const LiveExportResult r = ExportLive((data_folder / kDatabaseFile).string(), span.from, span.to,
                                        o.json ? LiveFormat::kJson : LiveFormat::kCsv, out, filter);
  if (r.status != LiveExportResult::kOk) throw Failure(r.status == LiveExportResult::kBadInput ? kBadInput : kStoreError, r.message);
  return kOk;
}

int Export(const Options& o, const fs::path& data_folder, std::FILE* out) {
  const auto [from, to] = CheckExport(o);
  const std::vector<std::string> columns = Columns(o.column);
  const std::string db = (data_folder / kDatabaseFile).string();
  if (!fs::exists(db)) throw Failure(kStoreError, db + UIString(ui::kNoRecordStoreAt));
  std::vector<std::unique_ptr<ColumnRows>> rows;
  for (const std::string& column : columns) rows.push_back(std::make_unique<ColumnRows>(db, from, to, column));

  if (o.json) {
    std::fprintf(out, "[");
  } else {
    std::string header = "time";
    for (const std::string& column : columns) header += "," + column;
    std::fprintf(out, "%s\n", header.c_str());
  }
  bool first = true;
  std::vector<std::optional<float>> values(columns.size());
  for (double time = 0; EarliestTime(rows, &time); first = false) {
    if (interrupt::Requested()) {
      CheckOutput(out, true);
      throw Interrupted{};
    }
    TakeValues(rows, time, &values);
    const std::string iso = IsoTime(time);
    if (o.json) {
      std::fprintf(out, "%s%s", first ? "" : ", ", JsonLine(JsonRow(iso, columns, values)).c_str());
    } else {
      std::fprintf(out, "%s\n", CsvRow(iso, values).c_str());
    }
    CheckOutput(out);
  }
  if (o.json) std::fprintf(out, "]\n");
  return kOk;
}

}  // namespace norvo::cli
