#include "ParameterBlocks.h"

#include <climits>
#include <cmath>
#include <vector>

namespace norvo {
namespace {

constexpr std::string_view kEightAreaTag = "{QT7100K@}";

Payload Frame(std::uint8_t command, const std::vector<std::uint8_t>& data) {
  return BuildCommandFrame(command, data);
}

void PutWord(std::vector<std::uint8_t>& data, TemperatureWord w) {
  data.push_back(w.high);
  data.push_back(w.low);
}

int TruncateToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);  // toward zero
}

}  // namespace

std::uint32_t ReadMask(const Payload& block, std::size_t at) {
  return std::uint32_t{block[at]} << 24 | std::uint32_t{block[at + 1]} << 16 | std::uint32_t{block[at + 2]} << 8 |
         std::uint32_t{block[at + 3]};
}

bool IsEightAreaModel(std::string_view identification) {
  return identification.find(kEightAreaTag) != std::string_view::npos;
}

int CheckedTenths(std::string_view text, TemperatureKind kind, int unit_flag) {
  const double x = LeadingNumber(text);
  if (unit_flag == 0) return TruncateToInt(x * 10);
  if (kind == TemperatureKind::kLimit) return TruncateToInt((x - 32) / 1.8 * 10);
  return TruncateToInt(x / 1.8 * 10);
}

int ParseTemperatureText(std::string_view text, TemperatureKind kind, int unit_flag) {
  if (text == "--") return kInvalidMarker;
  return CheckedTenths(text, kind, unit_flag);
}

int ParseHumidityText(std::string_view text) {
  if (text == "--") return kInvalidMarker;
  return LeadingInteger(text);
}

Payload BuildSettingsFrame(const SettingsFields& f, bool eight_area) {
  std::vector<std::uint8_t> data = {
      static_cast<std::uint8_t>(f.graph_type),  static_cast<std::uint8_t>(f.graph_span),
      static_cast<std::uint8_t>(f.time_format), static_cast<std::uint8_t>(f.date_format),
      static_cast<std::uint8_t>(f.dst),         static_cast<std::uint8_t>(f.time_zone),
      static_cast<std::uint8_t>(f.unit)};
  const int areas = eight_area ? settings::kEightAreas : settings::kFiveAreas;
  for (int a = 0; a < areas; ++a) {
    const std::uint32_t m = f.masks[static_cast<std::size_t>(a)];
    data.insert(data.end(), {static_cast<std::uint8_t>(m >> 24), static_cast<std::uint8_t>(m >> 16),
                             static_cast<std::uint8_t>(m >> 8), static_cast<std::uint8_t>(m)});
  }
  return Frame(code::kWriteSettings, data);
}

Payload BuildCalibrationFrame(const CalibrationFields& fields) {
  CalibrationRaw raw;
  for (std::size_t c = 0; c < 8; ++c) {
    raw.temperature[c] = EncodeTemperatureWord(fields.temperature[c]);
    raw.humidity[c] = EncodeHumidityByte(fields.humidity[c]);
  }
  return BuildCalibrationFrame(raw);
}

Payload BuildCalibrationFrame(const CalibrationRaw& raw) {
  std::vector<std::uint8_t> data;
  for (std::size_t c = 0; c < 8; ++c) {
    PutWord(data, raw.temperature[c]);
    data.push_back(raw.humidity[c]);
  }
  return Frame(code::kWriteCalibration, data);
}

Payload BuildAlarmSwitchFrame(const AlarmSwitches& s) {
  return Frame(code::kWriteAlarmSwitches,
               {static_cast<std::uint8_t>(s.humidity_switch), static_cast<std::uint8_t>(s.temperature_switch),
                s.humidity_high, s.humidity_low, s.temperature_high, s.temperature_low});
}

Payload BuildAlarmTemperatureFrame(const AlarmTemperatureWords& limits) {
  std::vector<std::uint8_t> data;
  for (std::size_t c = 0; c < 8; ++c) {
    PutWord(data, limits.high[c]);
    PutWord(data, limits.low[c]);
  }
  return Frame(code::kWriteAlarmTemperature, data);
}

Payload BuildAlarmHumidityFrame(const AlarmHumidityBytes& limits) {
  std::vector<std::uint8_t> data;
  for (std::size_t c = 0; c < 8; ++c) {
    data.push_back(limits.high[c]);
    data.push_back(limits.low[c]);
  }
  return Frame(code::kWriteAlarmHumidity, data);
}

Payload BuildLanguageFrame(bool english) { return Frame(code::kSetLanguage, {english ? std::uint8_t{1} : std::uint8_t{0}}); }

Payload BuildClockFrame(const ClockFields& c) {
  return Frame(code::kSetClock,
               {static_cast<std::uint8_t>(c.year >> 8), static_cast<std::uint8_t>(c.year & 0xFF),
                static_cast<std::uint8_t>(c.month), static_cast<std::uint8_t>(c.day),
                static_cast<std::uint8_t>(c.hour), static_cast<std::uint8_t>(c.minute),
                static_cast<std::uint8_t>(c.second), static_cast<std::uint8_t>(c.day_of_week)});
}

Payload BuildIntervalFrame(int minutes) {
  return Frame(code::kSetInterval, {static_cast<std::uint8_t>(minutes)});
}

}  // namespace norvo
