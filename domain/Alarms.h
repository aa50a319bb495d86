#pragma once
// One alarm evaluation for every front end: the unit's own alarm blocks as
// the last poll read them, and its live readings. No Qt, no I/O.
//
// A limit counts only when its quantity's switch is on (block A: 0 on, 1
// off), its enable bit is set (block A, bit c-1 for CH c) and the unit holds
// a value for it (FF FF / 7F FF for a temperature, FF for a humidity is "no
// value"). A channel enters alarm when a reading lies beyond an enabled
// limit (above a high limit, below a low one) and leaves it only once the
// reading is back inside by the hysteresis, so one noisy reading at the
// limit never makes it flap. An absent reading changes nothing.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "device/LiveReadings.h"
#include "device/Payload.h"

namespace norvo {

enum class AlarmQuantity { kTemperature, kHumidity };
enum class AlarmBound { kHigh, kLow };

// "temperature"/"humidity", "high"/"low": the names in the store, the
// metrics' labels and the MQTT payloads.
const char* QuantityName(AlarmQuantity q);
const char* BoundName(AlarmBound b);
bool ParseQuantity(const std::string& text, AlarmQuantity* q);
bool ParseBound(const std::string& text, AlarmBound* b);

// Tenths of a degree Celsius, whole percent.
constexpr int kTemperatureHysteresisTenths = 2;  // 0.2 °C
constexpr int kHumidityHysteresis = 1;           // 1 %

// The limits of one quantity and bound of every channel; nullopt where the
// limit does not count (switch off, not enabled, or "no value"). Temperatures
// in tenths of °C, humidities in percent.
struct AlarmLimits {
  // [quantity][bound][channel - 1]
  std::array<std::array<std::array<std::optional<int>, kChannels>, 2>, 2> limit{};

  std::optional<int>& At(AlarmQuantity q, AlarmBound b, int channel) {
    return limit[static_cast<std::size_t>(q)][static_cast<std::size_t>(b)][static_cast<std::size_t>(channel - 1)];
  }
  const std::optional<int>& At(AlarmQuantity q, AlarmBound b, int channel) const {
    return limit[static_cast<std::size_t>(q)][static_cast<std::size_t>(b)][static_cast<std::size_t>(channel - 1)];
  }
  bool operator==(const AlarmLimits&) const = default;
};

// Blocks A, C and D as the unit answers them (block B holds nothing the
// evaluation needs).
AlarmLimits DecodeAlarmLimits(const Payload& a, const Payload& c, const Payload& d);

// A limit in its own unit: °C for a temperature, % for a humidity.
double LimitValue(AlarmQuantity q, int limit);

// One alarm of one channel: entered at `start`, left at `end` (nullopt while
// it lasts), its worst reading (the highest above a high limit, the lowest
// below a low one) and when it was read. Times in Unix seconds.
struct AlarmRecord {
  std::string unit;
  int channel = 0;  // 1..8
  AlarmQuantity quantity = AlarmQuantity::kTemperature;
  AlarmBound bound = AlarmBound::kHigh;
  double limit = 0;  // °C or %
  double start = 0;
  std::optional<double> end;
  double peak = 0;
  double peak_time = 0;
};

struct AlarmEvent {
  enum Kind { kEnter, kLeave } kind = kEnter;
  AlarmRecord record;  // as it stands after the event
};

// The alarm state of one unit. Not thread-safe: one caller at a time.
class AlarmEvaluator {
 public:
  explicit AlarmEvaluator(std::string unit) : unit_(std::move(unit)) {}

  // One answered poll: its limits and readings at `time` (Unix seconds).
  // Returns what entered and what left alarm, in channel order. An alarm
  // whose limit stops counting (disabled, switched off, "no value") leaves
  // at this poll.
  std::vector<AlarmEvent> Evaluate(const AlarmLimits& limits, const LiveReadings& live, double time);

  // The alarms that last, with their peaks so far, in channel order.
  std::vector<AlarmRecord> Active() const;
  const AlarmLimits& Limits() const { return limits_; }

 private:
  struct State {
    bool active = false;
    AlarmRecord record;
  };
  std::string unit_;
  AlarmLimits limits_;
  // [quantity][bound][channel - 1]
  std::array<std::array<std::array<State, kChannels>, 2>, 2> state_{};
};

// The evaluation alone, for one reading against one limit (both in tenths of
// °C or in percent): whether the channel is in alarm after the reading, given
// whether it was before.
bool InAlarmAfter(AlarmQuantity q, AlarmBound b, int limit, int reading, bool was_active);

// Texts in the loaded language (res/Strings.h); unit_flag 0 shows °C, any
// other °F. A value with its unit: "35.0 °C", "95.0 °F", "80 %".
std::string ValueText(AlarmQuantity q, double value, int unit_flag);
// "CH3 above 35.0 °C since 14:02".
std::string AlarmStatusText(const AlarmRecord& record, int unit_flag);
// A desktop notification's title and body for an alarm that entered or left.
struct AlarmMessage {
  std::string title, body;
};
AlarmMessage AlarmNotification(const AlarmEvent& event, int unit_flag);
// Local time in a strftime format ("%H:%M" gives "14:02").
std::string LocalTimeText(double unix_seconds, const char* format);
// Local time of day, "14:02".
inline std::string ClockText(double unix_seconds) { return LocalTimeText(unix_seconds, "%H:%M"); }

}  // namespace norvo
