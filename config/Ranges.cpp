#include "Ranges.h"

#include <charconv>
#include <cstdint>

#include "ParameterBlocks.h"
#include "res/Strings.h"

namespace norvo::ranges {
namespace {

std::string Number(int v) { return std::to_string(v); }

// Tenths as degrees with one decimal, the same in every locale.
std::string Degrees(long long tenths) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(tenths) / 10.0, std::chars_format::fixed, 1).ptr;
  return std::string(text, end) + " \u00B0C";
}

// "<value>; allowed: <low> to <high>", in the loaded language.
std::string Allowed(const std::string& value, const std::string& low, const std::string& high) {
  std::string text = value;
  text.append(UIString(ui::kAllowedRange));
  text.append(low);
  text.append(UIString(ui::kRangeTo));
  text.append(high);
  return text;
}

std::optional<OutOfRange> Outside(std::string field, int value, Range range, const char* unit = "") {
  if (range.Holds(value)) return std::nullopt;
  return OutOfRange{std::move(field), Allowed(Number(value) + unit, Number(range.low) + unit, Number(range.high) + unit)};
}

std::optional<OutOfRange> OutsideDegrees(std::string field, long long tenths, Range range) {
  if (range.Holds(tenths)) return std::nullopt;
  return OutOfRange{std::move(field), Allowed(Degrees(tenths), Degrees(range.low), Degrees(range.high))};
}

bool NoValue(std::uint8_t high, std::uint8_t low) { return (high == 0xFF || high == 0x7F) && low == 0xFF; }

int WordTenths(std::uint8_t high, std::uint8_t low) { return static_cast<std::int16_t>(high << 8 | low); }

// An offset of "no value" counts as 0, as the Calibration dialog reads "--".
int OffsetTenths(const Payload& b, int channel) {
  const std::size_t at = calibration::TemperatureAt(channel);
  return NoValue(b[at], b[at + 1]) ? 0 : WordTenths(b[at], b[at + 1]);
}

int OffsetPercent(const Payload& b, int channel) { return static_cast<std::int8_t>(b[calibration::HumidityAt(channel)]); }

std::string Channel(const char* block, int channel, const char* field) {
  return std::string("/") + block + "/channels/" + std::to_string(channel - 1) + "/" + field;
}

}  // namespace

bool IsGraphSpan(int hours) { return hours == 12 || hours == 24 || hours == 48 || hours == 72; }

bool CorrectedTemperatureFits(int live_tenths, int old_tenths, int new_tenths) {
  return kCorrectedTemperatureTenths.Holds(static_cast<long long>(live_tenths) - old_tenths + new_tenths);
}

bool CorrectedHumidityFits(int live_percent, int old_percent, int new_percent) {
  return kCorrectedHumidity.Holds(static_cast<long long>(live_percent) - old_percent + new_percent);
}

std::optional<OutOfRange> CheckSettingsBlock(const Payload& s) {
  if (auto bad = Outside("/settings/graph_type", s[settings::kGraphType], kGraphType)) return bad;
  if (!IsGraphSpan(s[settings::kGraphSpan])) {
    std::string reason = Number(s[settings::kGraphSpan]);
    reason.append(UIString(ui::kAllowedGraphSpans));
    return OutOfRange{"/settings/graph_span_hours", reason};
  }
  if (auto bad = Outside("/settings/time_format", s[settings::kTimeFormat], kTimeFormat)) return bad;
  if (auto bad = Outside("/settings/date_format", s[settings::kDateFormat], kDateFormat)) return bad;
  if (auto bad = Outside("/settings/dst", s[settings::kDst], kDst)) return bad;
  if (auto bad = Outside("/settings/time_zone", static_cast<std::int8_t>(s[settings::kTimeZone]), kTimeZone)) return bad;
  return Outside("/settings/unit", s[settings::kUnit], kTemperatureUnit);
}

std::optional<OutOfRange> CheckAlarmBlocks(const Payload& a, const Payload& c, const Payload& d) {
  if (auto bad = Outside("/alarms/humidity_alarm", a[alarm_a::kHumiditySwitch], kAlarmSwitch)) return bad;
  if (auto bad = Outside("/alarms/temperature_alarm", a[alarm_a::kTemperatureSwitch], kAlarmSwitch)) return bad;
  // In channel order, high then low, temperatures before humidities, as the
  // Alarm dialog checks. "No value" (FF FF, FF) is what the unit itself
  // reports for a limit never set; the dialog passes it on unchanged.
  for (int ch = 1; ch <= 8; ++ch) {
    const std::pair<std::size_t, const char*> sides[] = {{alarm_limits::TemperatureHighAt(ch), "temperature_high"},
                                                         {alarm_limits::TemperatureLowAt(ch), "temperature_low"}};
    for (const auto& [at, name] : sides) {
      if (NoValue(c[at], c[at + 1])) continue;
      if (auto bad = OutsideDegrees(Channel("alarms", ch, name), WordTenths(c[at], c[at + 1]), kAlarmTemperatureTenths)) {
        return bad;
      }
    }
  }
  for (int ch = 1; ch <= 8; ++ch) {
    const std::pair<std::size_t, const char*> sides[] = {{alarm_limits::HumidityHighAt(ch), "humidity_high"},
                                                         {alarm_limits::HumidityLowAt(ch), "humidity_low"}};
    for (const auto& [at, name] : sides) {
      if (d[at] == 0xFF) continue;
      if (auto bad = Outside(Channel("alarms", ch, name), d[at], kAlarmHumidity, " %")) return bad;
    }
  }
  return std::nullopt;
}

std::optional<OutOfRange> CheckCalibrationBlock(const Payload& b) {
  for (int ch = 1; ch <= 8; ++ch) {
    if (auto bad = OutsideDegrees(Channel("calibration", ch, "temperature_offset"), OffsetTenths(b, ch), kOffsetTemperatureTenths)) {
      return bad;
    }
  }
  for (int ch = 1; ch <= 8; ++ch) {
    if (auto bad = Outside(Channel("calibration", ch, "humidity_offset"), OffsetPercent(b, ch), kOffsetHumidity, " %")) return bad;
  }
  return std::nullopt;
}

std::optional<OutOfRange> CheckCorrectedCalibration(const Payload& now, const Payload& wanted, const LiveReadings& live) {
  // The Calibration dialog's message: " CH3 Temp Out of value."
  const auto out_of_value = [](int ch, int text_id) { return " CH" + std::to_string(ch) + " " + UIString(text_id) + "."; };
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t i = static_cast<std::size_t>(ch - 1);
    const int before = OffsetTenths(now, ch), after = OffsetTenths(wanted, ch);
    if (before == after || live.temperature[i] > 60000) continue;
    if (!CorrectedTemperatureFits(LiveTenths(live.temperature[i]), before, after)) {
      return OutOfRange{Channel("calibration", ch, "temperature_offset"), out_of_value(ch, ui::kTempOutOfValue)};
    }
  }
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t i = static_cast<std::size_t>(ch - 1);
    const int before = OffsetPercent(now, ch), after = OffsetPercent(wanted, ch);
    if (before == after || live.humidity[i] == kInvalidHumidity) continue;
    if (!CorrectedHumidityFits(live.humidity[i], before, after)) {
      return OutOfRange{Channel("calibration", ch, "humidity_offset"), out_of_value(ch, ui::kHumiOutOfValue)};
    }
  }
  return std::nullopt;
}

std::optional<OutOfRange> CheckInterval(int minutes) {
  if (kIntervalMinutes.Holds(minutes)) return std::nullopt;
  return OutOfRange{"/interval", UIString(ui::kIntervalRange)};
}

}  // namespace norvo::ranges
