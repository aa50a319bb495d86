#pragma once
// The time field of a log line, in every layout the unit writes: dates
// "YYYY-MM-DD", "MM-DD-YYYY" and "DD-MM-YYYY" (with "-", "/" or "."), times
// "h:mm:ss", "AM h:mm:ss" and "h:mm:ss AM" in 12- and 24-hour form. A date
// with the year last is read in the order given, for every line alike: the
// order belongs to the whole file (see CopyDayOrder).

#include <optional>
#include <string_view>

namespace norvo {

enum class DayOrder { kMonthFirst, kDayFirst };

// Not recognisable as a date or time at all.
constexpr double kTimeNotADate = 0.0;
// Shaped like a date or time, but not a valid one (month 13, 25:00, ...).
constexpr double kTimeInvalid = -1.0;

// The order a time field shows by itself: a first number above 12 (day
// first) or a second one above 12 (month first); nothing when both are 12
// or less, or the year comes first.
std::optional<DayOrder> DateOrderClue(std::string_view text);

// The OLE Automation date of the text, or one of the two failure values.
double ParseLogTime(std::string_view text, DayOrder order);

}  // namespace norvo
