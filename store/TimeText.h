#pragma once
// Every time the program reads from text, in one reader with two grammars:
// - the log line's time field, in every layout the unit writes: dates
//   "YYYY-MM-DD", "MM-DD-YYYY" and "DD-MM-YYYY" (with "-", "/" or "."), times
//   "h:mm:ss", "AM h:mm:ss" and "h:mm:ss AM" in 12- and 24-hour form. A date
//   with the year last is read in the order given, for every line alike: the
//   order belongs to the whole file (see CopyDayOrder);
// - the time a person types or norvoctl prints: "YYYY-MM-DD", then a blank or
//   a "T" and "hh:mm" with optional seconds, then optionally ISO 8601's "Z"
//   or an offset ("+01:00", "+0100", "+01").
// The wrappers below are what the store, the import and the command line take.

#include <optional>
#include <string>
#include <string_view>

#include "OleDate.h"

namespace norvo {

enum class DayOrder { kMonthFirst, kDayFirst };

struct TimeText {
  enum Status {
    kOk,
    kNotATime,     // not recognisable as a date or time at all
    kInvalid,      // shaped like a date or time, but not a valid one (month 13, 25:00, ...)
    kYearOutside,  // a typed date whose year an OLE date in the store cannot hold
  } status = kNotATime;
  DateTime at;  // a time alone lies on day zero, 1899-12-30
  bool date = false, clock = false, seconds = false;
  bool t_separator = false;  // "T" between date and clock, not a blank
  bool zoned = false;        // "Z" or an offset followed
  long offset = 0;           // seconds east of UTC
};

// The years a typed date may name.
constexpr int kFirstTypedYear = 100;
constexpr int kLastTypedYear = 9999;

// A log line's time field.
TimeText ReadLogTime(std::string_view text, DayOrder order);
// A typed time. A year outside the typed years is kYearOutside, whatever follows it.
TimeText ReadTypedTime(std::string_view text);

// The OLE date of a typed time as this computer's clock shows the instant it
// names (a time without "Z" or offset is already local); nullopt when the
// text was not kOk or the instant falls outside the typed years here.
std::optional<double> LocalOleDate(const TimeText& t);

// Not recognisable as a date or time at all.
constexpr double kTimeNotADate = 0.0;
// Shaped like a date or time, but not a valid one.
constexpr double kTimeInvalid = -1.0;

// The order a time field shows by itself: a first number above 12 (day
// first) or a second one above 12 (month first); nothing when both are 12
// or less, or the year comes first.
std::optional<DayOrder> DateOrderClue(std::string_view text);

// The OLE Automation date of a log line's time field, or one of the two failure values.
double ParseLogTime(std::string_view text, DayOrder order);

// "%d-%02d-%02d %d:%02d:%02d" of an OLE date, as the queries take it.
std::string FormatSpanTime(double ole_date);
// The reverse: a typed date, a blank and a clock with seconds, no zone;
// false for any other text.
bool ParseSpanTime(const std::string& text, double* ole_date);

// A typed date and clock with seconds (blank or "T"), no zone, in local time
// as Unix seconds; false for any other text or a time that does not exist.
bool ParseLocalTime(const std::string& text, double* unix_seconds);

}  // namespace norvo
