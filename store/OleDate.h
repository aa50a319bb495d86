#pragma once
// OLE Automation dates: days since 1899-12-30 00:00 as a double, the time of
// day as its fraction. Before 1899-12-30 the day part is negative while the
// time part still counts forward: -1.25 is 1899-12-29 06:00.

namespace norvo {

struct DateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0;
  bool operator==(const DateTime&) const = default;
};

double ToOleDate(const DateTime& t);
// Rounded to the nearest second.
DateTime FromOleDate(double value);

bool IsValidDate(int year, int month, int day);

}  // namespace norvo
