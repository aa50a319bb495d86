// export: the stored readings of a time span as CSV or JSON. Every call into
// the record store's queries is in this file.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "Interrupt.h"
#include "Internal.h"
#include "res/Strings.h"
#include "settings/DataFolder.h"
#include "store/OleDate.h"
#include "store/LiveStore.h"
#include "store/RecordStore.h"

namespace norvo::cli {
namespace {

constexpr const char* kColumns[] = {"Temperature", "Humidity", "DewPoint", "Heatindex"};
// The years an OLE date in the store holds.
constexpr int kFirstYear = 100;
constexpr int kLastYear = 9999;

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
  const std::string wanted =
      std::string(option) + UIString(ui::kTimeOptionForms);
  DateTime t;
  int used = 0;
  char dash = 0;
  if (std::sscanf(text.c_str(), "%d%c%n", &t.year, &dash, &used) != 2 || dash != '-') throw Failure(kBadInput, wanted);
  if (t.year < kFirstYear || t.year > kLastYear) {
    throw Failure(kBadInput, std::string(option) + UIString(ui::kTheYear) +
                                 std::to_string(t.year) + UIString(ui::kIsOutside) +
                                 std::to_string(kFirstYear) + UIString(ui::kRangeTo) +
                                 std::to_string(kLastYear));
  }
  const auto digits = [&](std::size_t at, std::size_t n, int* value) {
    if (at + n > text.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
  };
  const auto number = [&](std::size_t* at, int* value) {
    std::size_t n = 0;
    while (*at + n < text.size() && n < 2 && text[*at + n] >= '0' && text[*at + n] <= '9') ++n;
    if (n == 0 || !digits(*at, n, value)) return false;
    *at += n;
    return true;
  };
  std::size_t at = static_cast<std::size_t>(used);
  if (!number(&at, &t.month) || at >= text.size() || text[at++] != '-' || !number(&at, &t.day)) {
    throw Failure(kBadInput, wanted);
  }
  bool zoned = false;
  long offset = 0;  // seconds east of UTC
  if (at < text.size()) {
    if ((text[at] != ' ' && text[at] != 'T') || !number(&++at, &t.hour) || at >= text.size() || text[at++] != ':' ||
        !number(&at, &t.minute)) {
      throw Failure(kBadInput, wanted);
    }
    if (at < text.size() && text[at] == ':' && !number(&++at, &t.second)) throw Failure(kBadInput, wanted);
    if (at < text.size()) {
      zoned = true;
      if (text[at] == 'Z' && at + 1 == text.size()) {
        at = text.size();
      } else if (text[at] == '+' || text[at] == '-') {
        const long sign = text[at] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        const std::size_t rest = text.size() - at - 1;
        const bool ok = (rest == 2 && digits(at + 1, 2, &hours)) ||
                        (rest == 4 && digits(at + 1, 2, &hours) && digits(at + 3, 2, &minutes)) ||
                        (rest == 5 && digits(at + 1, 2, &hours) && text[at + 3] == ':' && digits(at + 4, 2, &minutes));
        if (!ok || hours > 23 || minutes > 59) throw Failure(kBadInput, wanted);
        offset = sign * (hours * 3600L + minutes * 60L);
        at = text.size();
      } else {
        throw Failure(kBadInput, wanted);
      }
    }
  }
  char plain[64];
  std::snprintf(plain, sizeof plain, "%d-%d-%d %d:%d:%d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  double value = 0;
  if (!ParseSpanTime(plain, &value)) throw Failure(kBadInput, wanted);
  if (zoned) {
    // The instant it names, then that instant on this computer's clock.
    std::tm utc{};
    utc.tm_year = t.year - 1900;
    utc.tm_mon = t.month - 1;
    utc.tm_mday = t.day;
    utc.tm_hour = t.hour;
    utc.tm_min = t.minute;
    utc.tm_sec = t.second;
    const std::time_t instant = ::timegm(&utc) - offset;
    std::tm local{};
    if (::localtime_r(&instant, &local) == nullptr) throw Failure(kBadInput, wanted);
    DateTime here{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    if (here.year < kFirstYear || here.year > kLastYear) throw Failure(kBadInput, wanted);
    value = ToOleDate(here);
  }
  return {FormatSpanTime(value), value};
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

  // One column keeps its two-field layout; several give one field per column.
  const bool single = columns.size() == 1;
  if (o.json) {
    std::fprintf(out, "[");
  } else {
    std::string header = "time";
    for (const std::string& column : columns) header += "," + column;
    std::fprintf(out, "%s\n", header.c_str());
  }
  bool first = true;
  std::vector<std::optional<float>> values(columns.size());
  for (;;) {
    // The rows of all columns merge by time: a row whose value is missing in
    // a column is absent from that column's query.
    double time = 0;
    bool any = false;
    for (const auto& r : rows) {
      if (r->Has() && (!any || r->Time() < time)) time = r->Time();
      any = any || r->Has();
    }
    if (!any) break;
    if (interrupt::Requested()) {
      CheckOutput(out, true);
      throw Interrupted{};
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
      values[i].reset();
      if (rows[i]->Has() && rows[i]->Time() == time) {
        values[i] = rows[i]->Value();
        rows[i]->Next();
      }
    }
    const std::string iso = IsoTime(time);
    if (o.json) {
      Json row{{"time", iso}};
      for (std::size_t i = 0; i < columns.size(); ++i) {
        row[single ? "value" : columns[i]] = values[i] ? ShortestJson(*values[i]) : Json(nullptr);
      }
      std::fprintf(out, "%s%s", first ? "" : ", ", JsonLine(row).c_str());
    } else {
      std::string line = iso;
      for (const auto& v : values) {
        line += ',';
        if (v) line += ShortestText(*v);
      }
      std::fprintf(out, "%s\n", line.c_str());
    }
    first = false;
    CheckOutput(out);
  }
  if (o.json) std::fprintf(out, "]\n");
  return kOk;
}

}  // namespace norvo::cli
