#include "Alarms.h"

#include <cmath>
#include <ctime>

#include "device/Blocks.h"
#include "device/Encodings.h"
#include "res/Strings.h"

namespace norvo {
namespace {

// A live reading or limit (whole tenths, held as a float) as integer tenths.
int Tenths(float celsius) { return static_cast<int>(std::lround(static_cast<double>(celsius) * 10)); }

std::string Fill(std::string_view pattern, const std::string& one, const std::string& two = "") {
  std::string out(pattern);
  if (const std::size_t at = out.find("%1"); at != std::string::npos) out.replace(at, 2, one);
  if (const std::size_t at = out.find("%2"); at != std::string::npos) out.replace(at, 2, two);
  return out;
}

}  // namespace

const char* QuantityName(AlarmQuantity q) { return q == AlarmQuantity::kTemperature ? "temperature" : "humidity"; }
const char* BoundName(AlarmBound b) { return b == AlarmBound::kHigh ? "high" : "low"; }

bool ParseQuantity(const std::string& text, AlarmQuantity* q) {
  if (text == "temperature") *q = AlarmQuantity::kTemperature;
  else if (text == "humidity") *q = AlarmQuantity::kHumidity;
  else return false;
  return true;
}

bool ParseBound(const std::string& text, AlarmBound* b) {
  if (text == "high") *b = AlarmBound::kHigh;
  else if (text == "low") *b = AlarmBound::kLow;
  else return false;
  return true;
}

AlarmLimits DecodeAlarmLimits(const Payload& a, const Payload& c, const Payload& d) {
  AlarmLimits limits;
  // The switch bytes say 0 for on.
  const bool t_on = a[alarm_a::kTemperatureSwitch] == 0;
  const bool h_on = a[alarm_a::kHumiditySwitch] == 0;
  for (int ch = 1; ch <= kChannels; ++ch) {
    const unsigned bit = 1u << (ch - 1);
    if (t_on) {
      const std::size_t at[2] = {alarm_limits::TemperatureHighAt(ch), alarm_limits::TemperatureLowAt(ch)};
      const std::size_t enable[2] = {alarm_a::kTemperatureHigh, alarm_a::kTemperatureLow};
      for (std::size_t side = 0; side < 2; ++side) {
        if (!(a[enable[side]] & bit)) continue;
        const float value = DecodeTemperatureWord(c[at[side]], c[at[side] + 1]);
        if (value == kInvalidTemperature) continue;
        limits.At(AlarmQuantity::kTemperature, static_cast<AlarmBound>(side), ch) = Tenths(value);
      }
    }
    if (h_on) {
      const std::size_t at[2] = {alarm_limits::HumidityHighAt(ch), alarm_limits::HumidityLowAt(ch)};
      const std::size_t enable[2] = {alarm_a::kHumidityHigh, alarm_a::kHumidityLow};
      for (std::size_t side = 0; side < 2; ++side) {
        if (!(a[enable[side]] & bit)) continue;
        const std::int32_t value = DecodeHumidityByte(d[at[side]]);
        if (value == kInvalidHumidity) continue;
        limits.At(AlarmQuantity::kHumidity, static_cast<AlarmBound>(side), ch) = value;
      }
    }
  }
  return limits;
}

double LimitValue(AlarmQuantity q, int limit) { return q == AlarmQuantity::kTemperature ? limit / 10.0 : limit; }

bool InAlarmAfter(AlarmQuantity q, AlarmBound b, int limit, int reading, bool was_active) {
  const int hysteresis = q == AlarmQuantity::kTemperature ? kTemperatureHysteresisTenths : kHumidityHysteresis;
  if (b == AlarmBound::kHigh) return was_active ? reading > limit - hysteresis : reading > limit;
  return was_active ? reading < limit + hysteresis : reading < limit;
}

std::vector<AlarmEvent> AlarmEvaluator::Evaluate(const AlarmLimits& limits, const LiveReadings& live, double time) {
  limits_ = limits;
  std::vector<AlarmEvent> events;
  for (int ch = 1; ch <= kChannels; ++ch) {
    const std::size_t k = static_cast<std::size_t>(ch - 1);
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
      // Readings in the limits' units: tenths of °C, percent.
      std::optional<int> reading;
      if (q == AlarmQuantity::kTemperature) {
        if (live.temperature[k] != kInvalidTemperature) reading = Tenths(live.temperature[k]);
      } else if (live.humidity[k] != kInvalidHumidity) {
        reading = live.humidity[k];
      }
      for (AlarmBound b : {AlarmBound::kHigh, AlarmBound::kLow}) {
        State& s = state_[static_cast<std::size_t>(q)][static_cast<std::size_t>(b)][k];
        const std::optional<int>& limit = limits.At(q, b, ch);
        if (!limit) {
          if (s.active) {
            s.active = false;
            s.record.end = time;
            events.push_back({AlarmEvent::kLeave, s.record});
          }
          continue;
        }
        if (!reading) continue;
        const bool now = InAlarmAfter(q, b, *limit, *reading, s.active);
        const double value = LimitValue(q, *reading);
        if (now && !s.active) {
          s.active = true;
          s.record = AlarmRecord{unit_, ch, q, b, LimitValue(q, *limit), time, std::nullopt, value, time};
          events.push_back({AlarmEvent::kEnter, s.record});
        } else if (now) {
          const bool worse = b == AlarmBound::kHigh ? value > s.record.peak : value < s.record.peak;
          if (worse) {
            s.record.peak = value;
            s.record.peak_time = time;
          }
        } else if (s.active) {
          s.active = false;
          s.record.end = time;
          events.push_back({AlarmEvent::kLeave, s.record});
        }
      }
    }
  }
  return events;
}

std::vector<AlarmRecord> AlarmEvaluator::Active() const {
  std::vector<AlarmRecord> active;
  for (std::size_t k = 0; k < static_cast<std::size_t>(kChannels); ++k) {
    for (std::size_t q = 0; q < 2; ++q) {
      for (std::size_t b = 0; b < 2; ++b) {
        if (state_[q][b][k].active) active.push_back(state_[q][b][k].record);
      }
    }
  }
  return active;
}

std::string ValueText(AlarmQuantity q, double value, int unit_flag) {
  if (q == AlarmQuantity::kHumidity) return FixedText(value, 0) + " %";
  if (unit_flag != 0) return FixedText(value * 1.8 + 32, 1) + " \u00B0F";
  return FixedText(value, 1) + " \u00B0C";
}

std::string LocalTimeText(double unix_seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(std::floor(unix_seconds));
  std::tm local{};
  localtime_r(&t, &local);
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

std::string AlarmStatusText(const AlarmRecord& r, int unit_flag) {
  const AlarmTexts& t = AlarmExtras();
  return "CH" + std::to_string(r.channel) + " " + std::string(r.bound == AlarmBound::kHigh ? t.above : t.below) + " " +
         ValueText(r.quantity, r.limit, unit_flag) + " " + std::string(t.since) + " " + ClockText(r.start);
}

AlarmMessage AlarmNotification(const AlarmEvent& e, int unit_flag) {
  const AlarmTexts& t = AlarmExtras();
  const AlarmRecord& r = e.record;
  const std::string channel = "CH" + std::to_string(r.channel);
  const std::string peak = Fill(t.peak, ValueText(r.quantity, r.peak, unit_flag), ClockText(r.peak_time));
  if (e.kind == AlarmEvent::kEnter) {
    return {Fill(t.entered, channel, std::string(r.quantity == AlarmQuantity::kTemperature ? t.temperature : t.humidity)),
            AlarmStatusText(r, unit_flag)};
  }
  return {Fill(t.left, channel),
          Fill(t.back_within, channel, ValueText(r.quantity, r.limit, unit_flag)) + " (" + ClockText(r.start) + "\u2013" +
              ClockText(r.end.value_or(r.start)) + ", " + peak + ")"};
}

}  // namespace norvo
