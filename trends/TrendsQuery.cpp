#include "TrendsQuery.h"

#include "store/AlarmLog.h"
#include "store/LiveRollup.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <set>

namespace norvo::trends {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kRawSecondsPerColumn = 20;

std::optional<int> ValueOf(const LiveChannel& c, LiveQuantity q) {
  switch (q) {
    case LiveQuantity::kTemperature:
      if (c.temperature) return static_cast<int>(std::lround(*c.temperature * 10));
      break;
    case LiveQuantity::kHumidity:
      if (c.humidity) return *c.humidity;
      break;
    case LiveQuantity::kDewPoint:
      if (c.dew_point) return static_cast<int>(std::lround(*c.dew_point * 10));
      break;
  }
  return std::nullopt;
}

double Scale(LiveQuantity q) { return q == LiveQuantity::kHumidity ? 1.0 : 10.0; }

// The polls of all stores by time in milliseconds; a moment two stores both hold is taken once.
void Polls(const Request& r, std::int64_t from, std::int64_t to, std::map<std::int64_t, LivePoll>* polls, std::string* error) {
  for (const std::string& db : r.databases) {
    LiveStore store;
    std::string e;
    if (!store.OpenReadOnly(db, &e) ||
        !store.QueryPolls(r.unit, from, to, [&](const LivePoll& p) {
          polls->emplace(std::llround(p.time * 1000.0), p);
          return true;
        }, &e)) {
      if (error->empty()) *error = e;
    }
  }
}

void Rollups(const Request& r, int bucket, std::int64_t from, std::int64_t to, std::map<std::int64_t, LiveRollup>* out,
             std::string* error) {
  for (const std::string& db : r.databases) {
    LiveStore store;
    std::string e;
    if (!store.OpenReadOnly(db, &e) ||
        !store.QueryRollups(r.unit, bucket, from, to, [&](const LiveRollup& b) {
          // Two recorders in one bucket: their polls together.
          auto [at, fresh] = out->emplace(b.start, b);
          if (!fresh) live::MergeRollup(&at->second, b);
          return true;
        }, &e)) {
      if (error->empty()) *error = e;
    }
  }
}

// The usual step between polls in milliseconds: the median one; 20 s with
// fewer than two polls.
std::int64_t UsualStep(const std::map<std::int64_t, LivePoll>& polls) {
  std::vector<std::int64_t> steps;
  for (auto it = polls.begin(); it != polls.end() && std::next(it) != polls.end(); ++it) steps.push_back(std::next(it)->first - it->first);
  if (steps.empty()) return 20000;
  std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
  return std::max<std::int64_t>(1, steps[steps.size() / 2]);
}

// Each shown channel's line through every poll of the span. A step longer
// than 2.5 times the usual one is a gap (unplugged, logging off).
void ReadPollSeries(const Request& r, Result* out) {
  std::map<std::int64_t, LivePoll> polls;
  Polls(r, r.from, r.to, &polls, &out->error);
  const std::int64_t usual = UsualStep(polls);
  const double scale = Scale(r.quantity);
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    if (!r.channels[k]) continue;
    Series& s = out->series[k];
    std::int64_t previous = 0;
    for (const auto& [t, p] : polls) {
      if (previous && t - previous > usual * 5 / 2) {
        s.x.push_back(static_cast<double>(previous + usual) / 1000.0);
        s.value.push_back(kNaN);
      }
      previous = t;
      const std::optional<int> v = ValueOf(p.channels[k], r.quantity);
      s.x.push_back(static_cast<double>(t) / 1000.0);
      s.value.push_back(v ? *v / scale : kNaN);
      if (v) live::Add(&out->stats[k], *v, t / 1000);
    }
  }
}

// One channel's line through the roll-ups: the mean in the middle of each
// bucket, with its lowest and highest reading; a missing bucket breaks it.
void BucketLine(const std::map<std::int64_t, LiveRollup>& buckets, int bucket, std::size_t k, LiveQuantity quantity,
                Series* s) {
  const auto q = static_cast<std::size_t>(quantity);
  const double scale = Scale(quantity);
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  for (const auto& [start, b] : buckets) {
    const LiveStats& st = b.stats[k][q];
    if (previous != std::numeric_limits<std::int64_t>::min() && start - previous > bucket) {
      s->x.push_back(static_cast<double>(previous + bucket));
      s->value.push_back(kNaN);
      s->low.push_back(kNaN);
      s->high.push_back(kNaN);
    }
    previous = start;
    s->x.push_back(static_cast<double>(start) + bucket / 2.0);
    s->value.push_back(st.count ? st.Mean() / scale : kNaN);
    s->low.push_back(st.count ? st.min / scale : kNaN);
    s->high.push_back(st.count ? st.max / scale : kNaN);
  }
}

// Each shown channel's line through the roll-ups of the span; the span's
// figures from the whole buckets inside it and the polls of its two ends.
void ReadRollupSeries(const Request& r, Result* out) {
  const int bucket = out->bucket;
  std::map<std::int64_t, LiveRollup> buckets;
  Rollups(r, bucket, r.from, r.to, &buckets, &out->error);
  const std::int64_t inner_from = (r.from + bucket - 1) / bucket * bucket;
  const std::int64_t inner_to = r.to / bucket * bucket;
  std::map<std::int64_t, LivePoll> edges;
  if (inner_from < inner_to) {
    Polls(r, r.from, inner_from, &edges, &out->error);
    Polls(r, inner_to, r.to, &edges, &out->error);
  } else {
    Polls(r, r.from, r.to, &edges, &out->error);
  }
  const auto q = static_cast<std::size_t>(r.quantity);
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    if (!r.channels[k]) continue;
    BucketLine(buckets, bucket, k, r.quantity, &out->series[k]);
    for (const auto& [start, b] : buckets) {
      if (start >= inner_from && start + bucket <= inner_to) live::Merge(&out->stats[k], b.stats[k][q]);
    }
    for (const auto& [t, p] : edges) {
      if (const std::optional<int> v = ValueOf(p.channels[k], r.quantity)) live::Add(&out->stats[k], *v, t / 1000);
    }
  }
}

}  // namespace

std::vector<std::string> RecordedUnits(const std::vector<std::string>& databases) {
  std::set<std::string> all;
  for (const std::string& db : databases) {
    LiveStore store;
    std::vector<std::string> units;
    std::string e;
    if (store.OpenReadOnly(db, &e) && store.Units(&units, &e)) all.insert(units.begin(), units.end());
  }
  return {all.begin(), all.end()};
}

void RecordedExtent(const std::vector<std::string>& databases, const std::string& unit, std::int64_t* first,
                    std::int64_t* last) {
  *first = *last = 0;
  for (const std::string& db : databases) {
    LiveStore store;
    std::string e;
    std::int64_t f = 0, l = 0;
    if (!store.OpenReadOnly(db, &e) || !store.Extent(unit, &f, &l, &e) || (f == 0 && l == 0)) continue;
    *first = *first == 0 ? f : std::min(*first, f);
    *last = std::max(*last, l);
  }
}

int BucketFor(std::int64_t span_seconds, int width) {
  width = std::max(width, 50);
  if (span_seconds <= static_cast<std::int64_t>(width) * kRawSecondsPerColumn) return 0;
  for (const int b : {300, 3600}) {
    if (span_seconds / b <= width) return b;
  }
  return 86400;
}

static Result ReadSeries(const Request& r) {
  Result out;
  out.bucket = BucketFor(r.to - r.from, r.width);
  if (out.bucket == 0) {
    ReadPollSeries(r, &out);
  } else {
    ReadRollupSeries(r, &out);
  }
  return out;
}

// The holder of the unit logs its alarms in the same store as its polls.
static void ReadAlarmBands(const Request& r, Result* out) {
  if (r.quantity == LiveQuantity::kDewPoint) return;
  const std::string quantity = r.quantity == LiveQuantity::kTemperature ? "temperature" : "humidity";
  for (const std::string& database : r.databases) {
    AlarmLog log;
    std::string error;
    if (!log.OpenReadOnly(database, &error)) continue;
    log.Query(static_cast<double>(r.from), static_cast<double>(r.to), r.unit, [&](const AlarmLogRow& a) {
      if (a.quantity != quantity || a.channel < 1 || a.channel > kLiveChannels) return;
      if (!r.channels[static_cast<std::size_t>(a.channel - 1)]) return;
      out->alarms.push_back({a.channel, a.start, a.end.value_or(0)});
    }, &error);
  }
}

Result Run(const Request& r) {
  Result out = ReadSeries(r);
  ReadAlarmBands(r, &out);
  return out;
}

bool WriteCsv(const Request& r, const std::string& path, bool fahrenheit, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    *error = path;
    return false;
  }
  std::string header = "time";
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    if (r.channels[k]) header += ",CH" + std::to_string(k + 1);
  }
  bool ok = std::fputs((header + "\n").c_str(), f) >= 0;
  const bool convert = fahrenheit && r.quantity != LiveQuantity::kHumidity;
  const double scale = Scale(r.quantity);
  std::map<std::int64_t, LivePoll> polls;
  // A day at a time, so that a year's CSV needs no year in memory.
  for (std::int64_t day = r.from; ok && day < r.to; day += 86400) {
    polls.clear();
    Polls(r, day, std::min(r.to, day + 86400), &polls, error);
    for (const auto& [t, p] : polls) {
      const std::time_t tt = static_cast<std::time_t>(t / 1000);
      std::tm local{};
      localtime_r(&tt, &local);
      char line[64];
      std::strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S", &local);
      std::string text = line;
      if (t % 1000) {
        char ms[8];
        std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(t % 1000));
        text += ms;
      }
      for (std::size_t k = 0; k < kLiveChannels; ++k) {
        if (!r.channels[k]) continue;
        text += ",";
        if (const std::optional<int> v = ValueOf(p.channels[k], r.quantity)) {
          const double value = convert ? *v / scale * 9.0 / 5.0 + 32.0 : *v / scale;
          // Never the locale's decimal comma: a CSV field.
          char number[32];
          const auto end = std::to_chars(number, number + sizeof number, value, std::chars_format::fixed,
                                         convert ? 2 : (scale == 1.0 ? 0 : 1));
          text.append(number, end.ptr);
        }
      }
      ok = std::fputs((text + "\n").c_str(), f) >= 0;
      if (!ok) break;
    }
  }
  ok = std::fclose(f) == 0 && ok;
  if (!ok && error->empty()) *error = path;
  return ok;
}

}  // namespace norvo::trends
