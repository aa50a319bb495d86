#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "device/Encodings.h"

namespace norvo {
namespace {

int Tenths(double v) { return static_cast<int>(std::lround(v * 10)); }

// Local time with its offset, to the second: 2026-12-08T10:15:00+01:00.
std::string IsoTime(double unix_seconds) {
  std::string s = LocalTimeText(unix_seconds, "%Y-%m-%dT%H:%M:%S%z");
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

std::string Number(double v, int decimals) { return FixedText(v, decimals); }

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

int Decimals(AlarmQuantity q) { return q == AlarmQuantity::kTemperature ? 1 : 0; }

}  // namespace

double MedianInterval(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  if (times.size() < 2) return 0;
  std::vector<double> gaps;
  for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
  return gaps[gaps.size() / 2];
}

UnitReportBuilder::UnitReportBuilder(std::string unit, UnitFacts facts, const ReportOptions& options,
                                     double poll_interval)
    : options_(options), max_gap_(poll_interval > 0 ? 3 * poll_interval : 0) {
  report_.unit = std::move(unit);
  report_.facts = std::move(facts);
  report_.poll_interval = poll_interval;
  for (int ch = 1; ch <= kChannels; ++ch) {
    wanted_[static_cast<std::size_t>(ch - 1)] =
        options.channels.empty() || std::find(options.channels.begin(), options.channels.end(), ch) != options.channels.end();
  }
  for (auto& channel : tracks_) {
    for (std::size_t q = 0; q < 2; ++q) {
      channel[q].mkt = MktAccumulator(options.mkt_activation);
      channel[q].figures.chart.resize(static_cast<std::size_t>(std::max(1, options.chart_columns)));
    }
  }
  if (report_.facts.limits) {
    for (int ch = 1; ch <= kChannels; ++ch) {
      for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
        for (AlarmBound b : {AlarmBound::kHigh, AlarmBound::kLow}) {
          const std::optional<int>& limit = report_.facts.limits->At(q, b, ch);
          if (limit) {
            tracks_[static_cast<std::size_t>(ch - 1)][static_cast<std::size_t>(q)]
                .figures.limit[static_cast<std::size_t>(b)] = LimitValue(q, *limit);
          }
        }
      }
    }
  }
}

void UnitReportBuilder::Add(double time, int channel, std::optional<double> temperature,
                            std::optional<double> humidity) {
  if (channel < 1 || channel > kChannels) return;
  if (time != last_poll_) {
    if (report_.polls == 0) report_.first = time;
    report_.last = time;
    ++report_.polls;
    last_poll_ = time;
  }
  if (!wanted_[static_cast<std::size_t>(channel - 1)]) return;
  auto& track = tracks_[static_cast<std::size_t>(channel - 1)];
  if (temperature) AddValue(track[0], AlarmQuantity::kTemperature, channel, time, *temperature);
  if (humidity) AddValue(track[1], AlarmQuantity::kHumidity, channel, time, *humidity);
}

void UnitReportBuilder::AddValue(Track& t, AlarmQuantity q, int /*channel*/, double time, double value) {
  QuantityFigures& f = t.figures;
  if (f.count == 0 || value < f.min) {
    f.min = value;
    f.min_time = time;
  }
  if (f.count == 0 || value > f.max) {
    f.max = value;
    f.max_time = time;
  }
  ++f.count;
  f.sum += value;
  if (q == AlarmQuantity::kTemperature) t.mkt.Add(value);
  AddTimeBeyond(t, time);
  t.last_time = time;
  t.last_value = value;
  AddExcursions(t, q, time, value);
  AddToChart(f, time, value);
}

// The time since the previous reading belongs to the previous reading.
void UnitReportBuilder::AddTimeBeyond(Track& t, double time) const {
  if (t.last_time && t.last_value && (max_gap_ <= 0 || time - *t.last_time <= max_gap_)) {
    QuantityFigures& f = t.figures;
    const double span = time - *t.last_time;
    if (f.limit[0] && *t.last_value > *f.limit[0]) f.seconds_beyond[0] += span;
    if (f.limit[1] && *t.last_value < *f.limit[1]) f.seconds_beyond[1] += span;
  }
}

// Excursions, with the alarm evaluation's hysteresis, on whole tenths or percent.
void UnitReportBuilder::AddExcursions(Track& t, AlarmQuantity q, double time, double value) {
  QuantityFigures& f = t.figures;
  const int reading = q == AlarmQuantity::kTemperature ? Tenths(value) : static_cast<int>(std::lround(value));
  for (std::size_t b = 0; b < 2; ++b) {
    if (!f.limit[b]) continue;
    const int limit = q == AlarmQuantity::kTemperature ? Tenths(*f.limit[b]) : static_cast<int>(std::lround(*f.limit[b]));
    const AlarmBound bound = static_cast<AlarmBound>(b);
    const bool now = InAlarmAfter(q, bound, limit, reading, t.in_excursion[b]);
    if (now && !t.in_excursion[b]) {
      f.excursions.push_back({bound, *f.limit[b], time, time, true, value, time});
    } else if (now) {
      Excursion& e = f.excursions.back();
      e.end = time;
      if (bound == AlarmBound::kHigh ? value > e.peak : value < e.peak) {
        e.peak = value;
        e.peak_time = time;
      }
    } else if (t.in_excursion[b]) {
      Excursion& e = f.excursions.back();
      e.end = time;
      e.open = false;
    }
    t.in_excursion[b] = now;
  }
}

// The chart: the lowest and highest reading per bucket of the span.
void UnitReportBuilder::AddToChart(QuantityFigures& f, double time, double value) const {
  const std::size_t columns = f.chart.size();
  const double width = (options_.to - options_.from) / static_cast<double>(columns);
  if (!(width > 0)) return;
  const double at = std::floor((time - options_.from) / width);
  const std::size_t k = static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(columns - 1)));
  std::optional<ChartColumn>& c = f.chart[k];
  if (!c) {
    c = ChartColumn{options_.from + width * static_cast<double>(k), value, value};
  } else {
    c->min = std::min(c->min, value);
    c->max = std::max(c->max, value);
  }
}

UnitReport UnitReportBuilder::Finish() {
  for (int ch = 1; ch <= kChannels; ++ch) {
    if (!wanted_[static_cast<std::size_t>(ch - 1)]) continue;
    ChannelFigures c;
    c.channel = ch;
    for (std::size_t q = 0; q < 2; ++q) {
      Track& t = tracks_[static_cast<std::size_t>(ch - 1)][q];
      t.figures.mkt = q == 0 ? t.mkt.Value() : std::nullopt;
      c.quantity[q] = std::move(t.figures);
    }
    report_.channels.push_back(std::move(c));
  }
  return std::move(report_);
}

std::string DurationText(double seconds) {
  const std::int64_t s = std::llround(std::max(0.0, seconds));
  char text[48];
  if (s >= 86400) {
    std::snprintf(text, sizeof text, "%lld d %02lld:%02lld:%02lld", static_cast<long long>(s / 86400),
                  static_cast<long long>(s % 86400 / 3600), static_cast<long long>(s % 3600 / 60),
                  static_cast<long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60), static_cast<long long>(s % 60));
  }
  return text;
}

std::string ReportCsv(const Report& report) {
  std::string out =
      "unit,identification,channel,quantity,count,min,min_time,max,max_time,mean,mkt,"
      "high_limit,seconds_above,low_limit,seconds_below,excursions\n";
  std::string excursions = "unit,channel,quantity,bound,limit,start,end,duration_seconds,peak,peak_time,open\n";
  for (const UnitReport& u : report.units) {
    for (const ChannelFigures& c : u.channels) {
      for (std::size_t q = 0; q < 2; ++q) {
        const QuantityFigures& f = c.quantity[q];
        const AlarmQuantity quantity = static_cast<AlarmQuantity>(q);
        const int d = Decimals(quantity);
        out += CsvField(u.unit) + "," + CsvField(u.facts.identification) + "," + std::to_string(c.channel) + "," +
               QuantityName(quantity) + "," + std::to_string(f.count) + ",";
        if (f.count) {
          out += Number(f.min, d) + "," + IsoTime(f.min_time) + "," + Number(f.max, d) + "," + IsoTime(f.max_time) +
                 "," + Number(*f.Mean(), 2) + ",";
        } else {
          out += ",,,,,";
        }
        out += f.mkt ? Number(*f.mkt, 2) : "";
        for (std::size_t b = 0; b < 2; ++b) {
          out += ",";
          if (f.limit[b]) out += Number(*f.limit[b], d) + "," + Number(f.seconds_beyond[b], 0);
          else out += ",";
        }
        out += "," + std::to_string(f.excursions.size()) + "\n";
        for (const Excursion& e : f.excursions) {
          excursions += CsvField(u.unit) + "," + std::to_string(c.channel) + "," + QuantityName(quantity) + "," +
                        BoundName(e.bound) + "," + Number(e.limit, d) + "," + IsoTime(e.start) + "," + IsoTime(e.end) +
                        "," + Number(e.end - e.start, 0) + "," + Number(e.peak, d) + "," + IsoTime(e.peak_time) + "," +
                        (e.open ? "yes" : "no") + "\n";
        }
      }
    }
  }
  return "# " + IsoTime(report.options.from) + " to " + IsoTime(report.options.to) + ", made " +
         IsoTime(report.made) + "\n" + out + "\n" + excursions;
}

std::string ReportJson(const Report& report) {
  std::string out = "{\"from\": " + JsonString(IsoTime(report.options.from)) +
                    ", \"to\": " + JsonString(IsoTime(report.options.to)) +
                    ", \"made\": " + JsonString(IsoTime(report.made)) +
                    ", \"mkt_activation_kelvin\": " + Number(report.options.mkt_activation, 1) + ", \"units\": [";
  bool first_unit = true;
  for (const UnitReport& u : report.units) {
    out += first_unit ? "" : ", ";
    first_unit = false;
    out += "{\"unit\": " + JsonString(u.unit) + ", \"identification\": " + JsonString(u.facts.identification) +
           ", \"interval_minutes\": " + (u.facts.interval_minutes ? std::to_string(u.facts.interval_minutes) : "null") +
           ", \"poll_interval_seconds\": " + Number(u.poll_interval, 1) + ", \"polls\": " + std::to_string(u.polls) +
           ", \"channels\": [";
    bool first_channel = true;
    for (const ChannelFigures& c : u.channels) {
      out += first_channel ? "" : ", ";
      first_channel = false;
      out += "{\"channel\": " + std::to_string(c.channel);
      for (std::size_t q = 0; q < 2; ++q) {
        const QuantityFigures& f = c.quantity[q];
        const AlarmQuantity quantity = static_cast<AlarmQuantity>(q);
        const int d = Decimals(quantity);
        out += std::string(", \"") + QuantityName(quantity) + "\": {\"count\": " + std::to_string(f.count);
        if (f.count) {
          out += ", \"min\": " + Number(f.min, d) + ", \"min_time\": " + JsonString(IsoTime(f.min_time)) +
                 ", \"max\": " + Number(f.max, d) + ", \"max_time\": " + JsonString(IsoTime(f.max_time)) +
                 ", \"mean\": " + Number(*f.Mean(), 3);
        }
        if (f.mkt) out += ", \"mkt\": " + Number(*f.mkt, 3);
        for (std::size_t b = 0; b < 2; ++b) {
          if (!f.limit[b]) continue;
          const std::string name = b == 0 ? "high" : "low";
          out += ", \"" + name + "_limit\": " + Number(*f.limit[b], d) + ", \"seconds_" + (b == 0 ? "above" : "below") +
                 "\": " + Number(f.seconds_beyond[b], 0);
        }
        out += ", \"excursions\": [";
        for (std::size_t i = 0; i < f.excursions.size(); ++i) {
          const Excursion& e = f.excursions[i];
          out += std::string(i ? ", " : "") + "{\"bound\": \"" + BoundName(e.bound) + "\", \"limit\": " +
                 Number(e.limit, d) + ", \"start\": " + JsonString(IsoTime(e.start)) +
                 ", \"end\": " + JsonString(IsoTime(e.end)) + ", \"duration_seconds\": " + Number(e.end - e.start, 0) +
                 ", \"peak\": " + Number(e.peak, d) + ", \"peak_time\": " + JsonString(IsoTime(e.peak_time)) +
                 ", \"open\": " + (e.open ? "true" : "false") + "}";
        }
        out += "]}";
      }
      out += "}";
    }
    out += "]}";
  }
  return out + "]}\n";
}

}  // namespace norvo
