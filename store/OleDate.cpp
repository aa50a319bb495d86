#include "OleDate.h"

#include <chrono>
#include <cmath>

namespace norvo {
namespace {

using namespace std::chrono;

constexpr sys_days kEpoch = year_month_day{year{1899}, month{12}, day{30}};

}  // namespace

bool IsValidDate(int y, int m, int d) {
  return m >= 1 && m <= 12 && d >= 1 && year_month_day{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}}.ok();
}

double ToOleDate(const DateTime& t) {
  const sys_days date = year_month_day{year{t.year}, month{static_cast<unsigned>(t.month)}, day{static_cast<unsigned>(t.day)}};
  const double days = static_cast<double>((date - kEpoch).count());
  const double fraction = (t.hour * 3600.0 + t.minute * 60.0 + t.second) / 86400.0;
  // The fraction counts forward from midnight on either side of the epoch.
  return days >= 0 ? days + fraction : days - fraction;
}

DateTime FromOleDate(double value) {
  double days = std::trunc(value);
  long long seconds = std::llround(std::fabs(value - days) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    days += value >= 0 ? 1 : -1;
  }
  const year_month_day ymd{kEpoch + std::chrono::days{static_cast<long long>(days)}};
  DateTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.hour = static_cast<int>(seconds / 3600);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.second = static_cast<int>(seconds % 60);
  return t;
}

}  // namespace norvo
