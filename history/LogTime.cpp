#include "LogTime.h"

#include <cctype>
#include <string>
#include <vector>

#include "store/OleDate.h"

namespace norvo {
namespace {

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    const std::size_t start = i;
    while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

// Splits "a<sep>b<sep>c" into numbers; false unless every part is 1..4 digits.
bool Numbers(std::string_view s, char sep, std::vector<int>* out, std::vector<int>* widths) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(sep, start);
    const std::string_view part = s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part.size() > 4) return false;
    int v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    out->push_back(v);
    widths->push_back(static_cast<int>(part.size()));
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
  std::vector<int> n, w;
  if (!Numbers(word, sep, &n, &w) || n.size() != 3) return Part::kNone;
  int y, m, d;
  if (w[0] == 4) {
    y = n[0], m = n[1], d = n[2];
  } else {
    y = n[2];
    if (w[2] <= 2) y += y < 50 ? 2000 : 1900;
    const bool day_first = n[0] > 12 || (n[1] <= 12 && order == DayOrder::kDayFirst);
    d = day_first ? n[0] : n[1];
    m = day_first ? n[1] : n[0];
  }
  if (!IsValidDate(y, m, d)) return Part::kInvalid;
  t->year = y, t->month = m, t->day = d;
  return Part::kOk;
}

Part ParseClock(std::string_view word, int meridiem, DateTime* t) {
  if (word.find(':') == std::string_view::npos) return Part::kNone;
  std::vector<int> n, w;
  if (!Numbers(word, ':', &n, &w) || n.size() < 2 || n.size() > 3) return Part::kNone;
  int h = n[0];
  const int mi = n[1], s = n.size() == 3 ? n[2] : 0;
  if (meridiem != 0) {
    if (h < 1 || h > 12) return Part::kInvalid;
    h = h % 12 + (meridiem == 2 ? 12 : 0);
  }
  if (h > 23 || mi > 59 || s > 59) return Part::kInvalid;
  t->hour = h, t->minute = mi, t->second = s;
  return Part::kOk;
}

}  // namespace

double ParseLogTime(std::string_view text, DayOrder order) {
  std::vector<std::string_view> words = Words(text);
  int meridiem = 0;  // 1 AM, 2 PM
  for (auto it = words.begin(); it != words.end();) {
    const std::string u = Upper(*it);
    if (u == "AM" || u == "PM") {
      if (meridiem != 0) return kTimeNotADate;
      meridiem = u == "AM" ? 1 : 2;
      it = words.erase(it);
    } else {
      ++it;
    }
  }
  if (words.empty() || words.size() > 2) return kTimeNotADate;
  DateTime t;  // a time alone lies on day zero, 1899-12-30
  bool have_date = false, have_time = false, invalid = false;
  for (std::string_view word : words) {
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
