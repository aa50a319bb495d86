#include "LogTime.h"

#include <cctype>

#include "store/OleDate.h"

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

double ParseLogTime(std::string_view text, DayOrder order) {
  std::string_view all[4], words[2];
  int count = 0, kept = 0;
  if (!Words(text, all, &count)) return kTimeNotADate;
  int meridiem = 0;  // 1 AM, 2 PM
  for (int i = 0; i < count; ++i) {
    if (const int m = Meridiem(all[i]); m != 0) {
      if (meridiem != 0) return kTimeNotADate;
      meridiem = m;
    } else {
      if (kept == 2) return kTimeNotADate;
      words[kept++] = all[i];
    }
  }
  if (kept == 0) return kTimeNotADate;
  DateTime t;  // a time alone lies on day zero, 1899-12-30
  bool have_date = false, have_time = false, invalid = false;
  for (int i = 0; i < kept; ++i) {
    const std::string_view word = words[i];
    const Part date = have_date ? Part::kNone : ParseDate(word, order, &t);
    if (date != Part::kNone) {
      have_date = true;
      invalid = invalid || date == Part::kInvalid;
      continue;
    }
    const Part clock = have_time ? Part::kNone : ParseClock(word, meridiem, &t);
    if (clock == Part::kNone) return kTimeNotADate;
    have_time = true;
    invalid = invalid || clock == Part::kInvalid;
  }
  if (meridiem != 0 && !have_time) return kTimeNotADate;
  if (invalid) return kTimeInvalid;
  return ToOleDate(t);
}

}  // namespace norvo
