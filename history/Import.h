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
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "LogTime.h"
#include "store/RecordStore.h"

namespace norvo {

// The texts of one line: time, temperature, humidity, dew point, heat index,
// each up to 79 bytes and zero-terminated.
struct DisplayRow {
  std::array<std::array<char, 80>, 5> slot{};
};
static_assert(sizeof(DisplayRow) == 400);

struct ImportResult {
  bool opened = false;        // false: "Open Error2", nothing imported
  std::string message;        // a message for the user, when there is one
  std::vector<DisplayRow> rows;
  bool three_fields = false;
  std::string unit_label;     // e.g. "(°C)", UTF-8
  bool stored = false;        // the store now holds exactly this file's records
};

// The store's path is the data folder's "Norvo.mdb".
ImportResult ImportLocalCopy(const std::string& file_name, const std::filesystem::path& local_path,
                             const std::string& database_path, DayOrder order, RecordStore& store);

// One line split into n fields; surplus commas stay in the last field. A line
// with fewer commas gives empty fields at its end.
std::vector<std::string> SplitFields(const std::string& line, int n);
// The same into views of the line, without copies.
void SplitFields(std::string_view line, int n, std::string_view* fields);

// The unit label from a header line.
std::string UnitLabel(const std::string& header);

// The record list's column titles for a layout and unit label.
std::vector<std::string> ColumnTitles(bool three_fields, const std::string& unit_label);

// The record of one data line.
LogRecord ParseLine(const std::string& line, bool three_fields, DayOrder order);
// The record from a line's fields (3 or 5 of them).
LogRecord ParseFields(const std::string_view* fields, bool three_fields, DayOrder order);

}  // namespace norvo
