#pragma once
// Reads a local copy of a card log file: every line becomes a display row for
// the record list and a record of the store, which the import refills in one
// transaction. No Qt here.
//
// Line 1 is the header; its second field gives the unit label ("(C)" becomes
// "(°C)"). A file whose name contains "IN" has three fields (time,
// temperature, humidity), any other five (plus dew point and heat index).
// A field that contains "--" is an absent value (65535).

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "store/TimeText.h"
#include "store/RecordStore.h"

namespace norvo {

// The texts of one line: time, temperature, humidity, dew point, heat index,
// each up to 79 bytes and zero-terminated.
struct DisplayRow {
  std::array<std::array<char, 80>, 5> slot{};
};
static_assert(sizeof(DisplayRow) == 400);

// The display rows of an imported copy, read from the copy when asked for:
// only every 256th line's position is kept, and the 256 rows around the last
// one asked for, so a file of any length takes little memory. Any thread;
// the cache is guarded.
class LogRows {
 public:
  virtual ~LogRows() = default;
  virtual std::size_t size() const = 0;
  bool empty() const { return size() == 0; }
  // The row of a data line (0 is the line after the header); an empty row
  // when the copy can no longer be read.
  virtual DisplayRow Row(std::size_t index) const = 0;
};

// Rows held in memory (tests, benchmarks).
class MemoryRows : public LogRows {
 public:
  explicit MemoryRows(std::vector<DisplayRow> rows) : rows_(std::move(rows)) {}
  std::size_t size() const override { return rows_.size(); }
  DisplayRow Row(std::size_t index) const override { return index < rows_.size() ? rows_[index] : DisplayRow{}; }

 private:
  std::vector<DisplayRow> rows_;
};

struct ImportResult {
  bool opened = false;        // false: "Open Error2", nothing imported
  std::string message;        // a message for the user, when there is one
  std::shared_ptr<const LogRows> rows = std::make_shared<MemoryRows>(std::vector<DisplayRow>{});
  bool three_fields = false;
  std::string unit_label;     // e.g. "(°C)", UTF-8
  bool stored = false;        // the store now holds exactly this file's records
  bool stopped = false;       // stop said so: the store holds what it held before
};

// The order in which a copy's dates are read: decided once for the whole
// file from its own dates (a day or a month above 12) when they show it;
// otherwise the unit's date format recorded with the copy (DateFormatNote);
// only a file without either takes the fallback, the user's locale.
struct CopyOrder {
  DayOrder order;
  bool from_dates;  // the file's dates showed it: a line that shows the other order is refused
};
CopyOrder CopyDayOrder(const std::filesystem::path& local_path, bool three_fields, DayOrder fallback);

// The store's path is the data folder's "Norvo.mdb". The copy is read as a
// stream: memory does not grow with its length. fallback: see CopyDayOrder.
// stop: asked now and then; true abandons the import and the store keeps
// its previous contents (result.stopped). whole_copy: false for a copy whose
// download stopped early; its last line, when it lacks its line feed, is cut
// off and left for the resume. A file whose dates show both orders of day
// and month is refused with a message, the store keeping its contents.
ImportResult ImportLocalCopy(const std::string& file_name, const std::filesystem::path& local_path,
                             const std::string& database_path, DayOrder fallback, RecordStore& store,
                             const std::function<bool()>& stop = {}, bool whole_copy = true);

// One line split into n fields; surplus commas stay in the last field. A line
// with fewer commas gives empty fields at its end.
std::vector<std::string> SplitFields(const std::string& line, int n);
// The same into views of the line, without copies.
void SplitFields(std::string_view line, int n, std::string_view* fields);

// The unit label from a header line.
std::string UnitLabel(const std::string& header);

// The record list's column titles for a layout and unit label.
std::vector<std::string> ColumnTitles(bool three_fields, const std::string& unit_label);

// A value read from a field: absent ("--", not finite, 1e6 or more in size)
// gives 65535.
float FieldNumber(std::string_view field);
std::int32_t FieldInteger(std::string_view field);

// The record of one data line; fields the line lacks are absent.
LogRecord ParseLine(const std::string& line, bool three_fields, DayOrder order);
// The record from a line's fields (3 or 5 of them), of which the line has
// `present` (fewer when it has fewer commas).
LogRecord ParseFields(const std::string_view* fields, bool three_fields, DayOrder order, int present = 5);

}  // namespace norvo
