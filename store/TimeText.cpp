#include "TimeText.h"

#include <ctime>
#include <cstdio>

namespace norvo {
namespace {

// Up to four blank-separated words; false when there are more.
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool Words(std::string_view s, std::string_view* words, int* count) {
  *count = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && Blank(s[i])) ++i;
    const std::size_t start = i;
    while (i < s.size() && !Blank(s[i])) ++i;
    if (i > start) {
      if (*count == 4) return false;
      words[(*count)++] = s.substr(start, i - start);
    }
  }
  return true;
}

// 1 for "AM", 2 for "PM" in any case, else 0.
int Meridiem(std::string_view w) {
  if (w.size() != 2 || (w[1] != 'M' && w[1] != 'm')) return 0;
  if (w[0] == 'A' || w[0] == 'a') return 1;
  if (w[0] == 'P' || w[0] == 'p') return 2;
  return 0;
}

// Splits "a<sep>b<sep>c" into up to three numbers; false unless every part
// is 1..4 digits.
bool Numbers(std::string_view s, char sep, int* out, int* widths, int* count) {
  *count = 0;
  std::size_t start = 0;
  for (;;) {
    if (*count == 3) return false;
    const std::size_t end = s.find(sep, start);
    const std::string_view part = s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part.size() > 4) return false;
    int v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    out[*count] = v;
    widths[(*count)++] = static_cast<int>(part.size());
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

enum class Part { kNone, kOk, kInvalid };

Part ParseDate(std::string_view word, DayOrder order, DateTime* t) {
  char sep = 0;
  for (char c : {'-', '/', '.'}) {
    if (word.find(c) != std::string_view::npos) sep = c;
  }
  if (sep == 0) return Part::kNone;
  int n[3], w[3], count;
  if (!Numbers(word, sep, n, w, &count) || count != 3) return Part::kNone;
  int y, m, d;
  if (w[0] == 4) {
    y = n[0], m = n[1], d = n[2];
  } else {
    y = n[2];
    if (w[2] <= 2) y += y < 50 ? 2000 : 1900;
    const bool day_first = order == DayOrder::kDayFirst;
    d = day_first ? n[0] : n[1];
    m = day_first ? n[1] : n[0];
  }
  if (!IsValidDate(y, m, d)) return Part::kInvalid;
  t->year = y, t->month = m, t->day = d;
  return Part::kOk;
}

Part ParseClock(std::string_view word, int meridiem, DateTime* t) {
  if (word.find(':') == std::string_view::npos) return Part::kNone;
  int n[3], w[3], count;
  if (!Numbers(word, ':', n, w, &count) || count < 2) return Part::kNone;
  int h = n[0];
  const int mi = n[1], s = count == 3 ? n[2] : 0;
  if (meridiem != 0) {
    if (h < 1 || h > 12) return Part::kInvalid;
    h = h % 12 + (meridiem == 2 ? 12 : 0);
  }
  if (h > 23 || mi > 59 || s > 59) return Part::kInvalid;
  t->hour = h, t->minute = mi, t->second = s;
  return Part::kOk;
}

}  // namespace

std::optional<DayOrder> DateOrderClue(std::string_view text) {
  std::string_view words[4];
  int count = 0;
  Words(text, words, &count);
  for (int i = 0; i < count; ++i) {
    for (char sep : {'-', '/', '.'}) {
      int n[3], w[3], parts;
      if (words[i].find(sep) == std::string_view::npos || !Numbers(words[i], sep, n, w, &parts) || parts != 3 ||
          w[0] == 4) {
        continue;
      }
      if (n[0] > 12 && n[1] <= 12) return DayOrder::kDayFirst;
      if (n[1] > 12 && n[0] <= 12) return DayOrder::kMonthFirst;
    }
  }
  return std::nullopt;
}

TimeText ReadLogTime(std::string_view text, DayOrder order) {
  TimeText r;
  std::string_view all[4], words[2];
  int count = 0, kept = 0;
  if (!Words(text, all, &count)) return r;
  int meridiem = 0;  // 1 AM, 2 PM
  for (int i = 0; i < count; ++i) {
    if (const int m = Meridiem(all[i]); m != 0) {
      if (meridiem != 0) return r;
      meridiem = m;
    } else {
      if (kept == 2) return r;
      words[kept++] = all[i];
    }
  }
  if (kept == 0) return r;
  DateTime t;
  bool invalid = false;
  for (int i = 0; i < kept; ++i) {
    const std::string_view word = words[i];
    const Part date = r.date ? Part::kNone : ParseDate(word, order, &t);
    if (date != Part::kNone) {
      r.date = true;
      invalid = invalid || date == Part::kInvalid;
      continue;
    }
    const Part clock = r.clock ? Part::kNone : ParseClock(word, meridiem, &t);
    if (clock == Part::kNone) return TimeText{};
    r.clock = true;
    invalid = invalid || clock == Part::kInvalid;
  }
  if (meridiem != 0 && !r.clock) return TimeText{};
  r.status = invalid ? TimeText::kInvalid : TimeText::kOk;
  r.at = t;
  return r;
}

double ParseLogTime(std::string_view text, DayOrder order) {
  const TimeText t = ReadLogTime(text, order);
  if (t.status == TimeText::kNotATime) return kTimeNotADate;
  if (t.status != TimeText::kOk) return kTimeInvalid;
  return ToOleDate(t.at);
}

namespace {

// Reads the typed grammar left to right; every step false when the text
// does not go on as it must.
class TypedReader {
 public:
  explicit TypedReader(std::string_view s) : s_(s) {}
  bool AtEnd() const { return at_ == s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[at_]; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++at_;
    return true;
  }
  void SkipBlanks() {
    while (!AtEnd() && Blank(s_[at_])) ++at_;
  }
  // 1 to `most` digits.
  bool Number(std::size_t most, long* value) {
    std::size_t n = 0;
    long v = 0;
    while (n < most && at_ + n < s_.size() && s_[at_ + n] >= '0' && s_[at_ + n] <= '9') {
      v = v * 10 + (s_[at_ + n] - '0');
      ++n;
    }
    if (n == 0) return false;
    at_ += n;
    *value = v;
    return true;
  }
  bool Field(int* value) {
    long v = 0;
    if (!Number(2, &v)) return false;
    *value = static_cast<int>(v);
    return true;
  }
  std::size_t Left() const { return s_.size() - at_; }
  // Exactly n digits.
  bool Digits(std::size_t n, int* value) {
    long v = 0;
    const std::size_t from = at_;
    if (!Number(n, &v) || at_ - from != n) return false;
    *value = static_cast<int>(v);
    return true;
  }

 private:
  std::string_view s_;
  std::size_t at_ = 0;
};

// "Z", "+hh", "+hhmm" or "+hh:mm" (or "-") to the text's end.
bool ReadZone(TypedReader& in, long* offset) {
  if (in.Take('Z')) return in.AtEnd();
  const char sign = in.Peek();
  if (sign != '+' && sign != '-') return false;
  in.Take(sign);
  int hours = 0, minutes = 0;
  const std::size_t rest = in.Left();
  const bool ok = (rest == 2 && in.Digits(2, &hours)) || (rest == 4 && in.Digits(2, &hours) && in.Digits(2, &minutes)) ||
                  (rest == 5 && in.Digits(2, &hours) && in.Take(':') && in.Digits(2, &minutes));
  if (!ok || hours > 23 || minutes > 59) return false;
  *offset = (sign == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
  return true;
}

}  // namespace

TimeText ReadTypedTime(std::string_view text) {
  TimeText r;
  TypedReader in(text);
  in.SkipBlanks();
  const bool negative = in.Take('-');
  long year = 0;
  if (!in.Number(9, &year) || in.Peek() != '-') return r;
  r.at.year = static_cast<int>(negative ? -year : year);
  if (r.at.year < kFirstTypedYear || r.at.year > kLastTypedYear) {
    r.status = TimeText::kYearOutside;
    return r;
  }
  in.Take('-');
  if (!in.Field(&r.at.month) || !in.Take('-') || !in.Field(&r.at.day)) return r;
  r.date = true;
  if (!in.AtEnd()) {
    r.t_separator = in.Take('T');
    if (!r.t_separator) {
      if (!Blank(in.Peek())) return TimeText{};
      in.SkipBlanks();
    }
    if (!in.Field(&r.at.hour) || !in.Take(':') || !in.Field(&r.at.minute)) return TimeText{};
    r.clock = true;
    r.seconds = in.Take(':');
    if (r.seconds && !in.Field(&r.at.second)) return TimeText{};
    if (!in.AtEnd()) {
      r.zoned = true;
      if (!ReadZone(in, &r.offset)) return TimeText{};
    }
  }
  const DateTime& t = r.at;
  const bool valid = IsValidDate(t.year, t.month, t.day) && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
  r.status = valid ? TimeText::kOk : TimeText::kInvalid;
  return r;
}

std::optional<double> LocalOleDate(const TimeText& t) {
  if (t.status != TimeText::kOk) return std::nullopt;
  if (!t.zoned) return ToOleDate(t.at);
  // The instant it names, then that instant on this computer's clock.
  std::tm utc{};
  utc.tm_year = t.at.year - 1900;
  utc.tm_mon = t.at.month - 1;
  utc.tm_mday = t.at.day;
  utc.tm_hour = t.at.hour;
  utc.tm_min = t.at.minute;
  utc.tm_sec = t.at.second;
  const std::time_t instant = ::timegm(&utc) - t.offset;
  std::tm local{};
  if (::localtime_r(&instant, &local) == nullptr) return std::nullopt;
  const DateTime here{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
  if (here.year < kFirstTypedYear || here.year > kLastTypedYear) return std::nullopt;
  return ToOleDate(here);
}

std::string FormatSpanTime(double ole_date) {
  const DateTime t = FromOleDate(ole_date);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%02d-%02d %d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

namespace {

// A typed date and a clock with seconds, no zone.
std::optional<DateTime> PlainTypedTime(const std::string& text, bool t_allowed) {
  const TimeText t = ReadTypedTime(text);
  if (t.status != TimeText::kOk || !t.clock || !t.seconds || t.zoned || (t.t_separator && !t_allowed)) {
    return std::nullopt;
  }
  return t.at;
}

}  // namespace

bool ParseSpanTime(const std::string& text, double* ole_date) {
  const auto t = PlainTypedTime(text, false);
  if (!t) return false;
  *ole_date = ToOleDate(*t);
  return true;
}

bool ParseLocalTime(const std::string& text, double* unix_seconds) {
  const auto d = PlainTypedTime(text, true);
  if (!d) return false;
  std::tm local{};
  local.tm_year = d->year - 1900;
  local.tm_mon = d->month - 1;
  local.tm_mday = d->day;
  local.tm_hour = d->hour;
  local.tm_min = d->minute;
  local.tm_sec = d->second;
  local.tm_isdst = -1;
  const std::time_t at = std::mktime(&local);
  if (at == static_cast<std::time_t>(-1)) return false;
  *unix_seconds = static_cast<double>(at);
  return true;
}

}  // namespace norvo
