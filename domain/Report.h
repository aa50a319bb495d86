#pragma once
// The figures of a report over a span of recorded polls: per unit and
// channel, for temperature and humidity, the count, the lowest and highest
// reading with their times, the mean, the mean kinetic temperature, the time
// spent beyond each enabled limit, the excursions, and a chart's points.
// Built in one pass over the rows in time order; no Qt, no I/O.
//
// Time beyond a limit: the time from a reading beyond it to the next reading
// of the channel, unless that gap is longer than the report's largest gap
// (three logging intervals: the unit was away, nothing is known). An
// excursion follows the alarm evaluation (Alarms.h): it starts with the
// first reading beyond the limit and ends with the first reading back inside
// by the hysteresis; one still running at the span's end is open.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Alarms.h"
#include "Mkt.h"

namespace norvo {

struct ReportOptions {
  double from = 0, to = 0;  // Unix seconds; from < time <= to
  std::vector<int> channels;  // empty: all eight
  double mkt_activation = kDefaultMktActivation;
  int chart_columns = 600;  // the chart's time buckets
};

struct Excursion {
  AlarmBound bound = AlarmBound::kHigh;
  double limit = 0;
  double start = 0, end = 0;  // end: the first reading back inside, or the last reading of an open one
  bool open = false;
  double peak = 0, peak_time = 0;
};

// One bucket of the chart: the lowest and highest reading in it.
struct ChartColumn {
  double time = 0;  // the bucket's start
  double min = 0, max = 0;
};

struct QuantityFigures {
  std::int64_t count = 0;
  double min = 0, min_time = 0, max = 0, max_time = 0;
  double sum = 0;
  std::optional<double> Mean() const { return count ? std::optional<double>(sum / static_cast<double>(count)) : std::nullopt; }
  std::optional<double> mkt;  // temperature only
  // [bound]: the limit (°C or %) and the seconds beyond it; no limit, no figure.
  std::array<std::optional<double>, 2> limit{};
  std::array<double, 2> seconds_beyond{};
  std::vector<Excursion> excursions;
  std::vector<std::optional<ChartColumn>> chart;  // one per bucket; nullopt: no reading there
};

struct ChannelFigures {
  int channel = 0;
  std::array<QuantityFigures, 2> quantity;  // [AlarmQuantity]
};

// What the store knows of a unit besides its readings (AlarmLog.h).
struct UnitFacts {
  std::string identification;
  int interval_minutes = 0;  // the unit's own logging interval; 0: unknown
  std::optional<AlarmLimits> limits;
};

struct UnitReport {
  std::string unit;
  UnitFacts facts;
  double poll_interval = 0;  // seconds between recorded polls (the median of the first ones)
  double first = 0, last = 0;  // the first and last reading's time
  std::int64_t polls = 0;
  std::vector<ChannelFigures> channels;
};

struct Report {
  ReportOptions options;
  double made = 0;  // Unix seconds
  std::vector<UnitReport> units;
};

// Accumulates one unit's rows in time order.
class UnitReportBuilder {
 public:
  // poll_interval: the typical gap between polls (seconds), from a first
  // look at the rows; gaps over three of it are time nothing is known of.
  UnitReportBuilder(std::string unit, UnitFacts facts, const ReportOptions& options, double poll_interval);
  // One channel's row; absent values as nullopt (humidity as a whole percent).
  void Add(double time, int channel, std::optional<double> temperature, std::optional<double> humidity);
  UnitReport Finish();

 private:
  struct Track {
    QuantityFigures figures;
    MktAccumulator mkt;
    std::optional<double> last_time;
    std::optional<double> last_value;
    std::array<bool, 2> in_excursion{};
  };
  void AddValue(Track& track, AlarmQuantity q, int channel, double time, double value);
  void AddTimeBeyond(Track& track, double time) const;
  static void AddExcursions(Track& track, AlarmQuantity q, double time, double value);
  void AddToChart(QuantityFigures& figures, double time, double value) const;

  UnitReport report_;
  ReportOptions options_;
  double max_gap_;
  double last_poll_ = -1;
  std::array<std::array<Track, 2>, kChannels> tracks_;
  std::array<bool, kChannels> wanted_{};
};

// The typical gap between polls: the median of the gaps between distinct
// times (seconds); 0 for fewer than two.
double MedianInterval(std::vector<double> times);

// Texts of a report without Qt: a CSV of every figure and excursion, and a
// JSON document. Times in local time with their offset.
std::string ReportCsv(const Report& report);
std::string ReportJson(const Report& report);

// "1 d 02:03:04" / "02:03:04".
std::string DurationText(double seconds);

}  // namespace norvo
