#pragma once
// What the Trends window draws, read on a worker thread: one unit's
// recorded history from one or more stores (the console's own and the
// logger's, each opened read-only), reduced to the chart's width from the
// roll-up that fits, and the figures of the span. No widgets.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/LiveStore.h"

namespace norvo::trends {

struct Request {
  std::vector<std::string> databases;
  std::string unit;
  LiveQuantity quantity = LiveQuantity::kTemperature;
  std::array<bool, kLiveChannels> channels{};
  std::int64_t from = 0, to = 0;  // Unix seconds, [from, to)
  int width = 800;                // pixel columns of the plot
};

// Points of one channel: x in Unix seconds; a NaN value breaks the line.
// With roll-ups, value is the mean and low/high the envelope.
struct Series {
  std::vector<double> x, value, low, high;
};

// A recorded alarm of a shown channel in the quantity asked for, drawn as a
// shaded band; end 0: still running.
struct AlarmBand {
  int channel = 0;  // 1..8
  double start = 0, end = 0;  // Unix seconds
};

struct Result {
  int bucket = 0;  // 0: every poll; else the roll-up's seconds
  std::vector<AlarmBand> alarms;
  std::array<Series, kLiveChannels> series;
  std::array<LiveStats, kLiveChannels> stats{};  // exact over [from, to)
  std::string error;  // a store that could not be read
};

// The stores' recorded unit names, merged and sorted; and the first and
// last poll time of a unit over all of them (0, 0 without polls).
std::vector<std::string> RecordedUnits(const std::vector<std::string>& databases);
void RecordedExtent(const std::vector<std::string>& databases, const std::string& unit, std::int64_t* first,
                    std::int64_t* last);

// The bucket that gives at most one bucket per pixel column: 0 (every poll)
// up to spans of width x 20 s, else 300, 3600 or 86400.
int BucketFor(std::int64_t span_seconds, int width);

Result Run(const Request& r);

// Every recorded poll of the span, one line per poll: "time" then one
// column per requested channel, in the quantity asked for (values as
// recorded: °C or %). False when the file could not be written completely.
bool WriteCsv(const Request& r, const std::string& path, bool fahrenheit, std::string* error);

}  // namespace norvo::trends
