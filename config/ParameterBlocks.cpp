#include "ParameterBlocks.h"

#include <algorithm>
#include <climits>
#include <string>
#include <cmath>
#include <vector>

namespace norvo {
namespace {

Payload Frame(std::uint8_t command, const std::vector<std::uint8_t>& data) {
  return BuildCommandFrame(command, data);
}

void PutWord(std::vector<std::uint8_t>& data, TemperatureWord w) {
  data.push_back(w.high);
  data.push_back(w.low);
}

int ClampToInt(std::int64_t v) {
  if (v >= INT_MAX) return INT_MAX;
  if (v <= INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// The leading decimal number of a text in thousandths, exactly (digits past
// the third decimal are dropped): blanks, a sign, digits, "." or "," and more
// digits, an optional exponent ("1e1"); whatever follows is ignored, and a
// text without digits is 0. Far-off values are capped well inside int64.
std::int64_t LeadingThousandths(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string digits;  // significant digits without the separator
  int point = 0;       // digits before the separator
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true) {
    digits += text[i];
    ++point;
  }
  if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
    ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true) digits += text[i];
  }
  if (!any) return 0;
  if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    bool exp_negative = false;
    if (j < text.size() && (text[j] == '-' || text[j] == '+')) exp_negative = text[j++] == '-';
    int exponent = 0;
    bool exp_digits = false;
    for (; j < text.size() && text[j] >= '0' && text[j] <= '9'; ++j, exp_digits = true) {
      exponent = std::min(exponent * 10 + (text[j] - '0'), 1000);
    }
    if (exp_digits) point += exp_negative ? -exponent : exponent;
  }
  // value = 0.digits x 10^point; thousandths take point + 3 digits.
  constexpr std::int64_t kCap = std::int64_t{1} << 50;
  std::int64_t value = 0;
  for (int k = 0; k < point + 3; ++k) {
    const int digit = k < static_cast<int>(digits.size()) ? digits[static_cast<std::size_t>(k)] - '0' : 0;
    if (k >= 0) value = std::min(kCap, value * 10 + digit);
  }
  return negative ? -value : value;
}

}  // namespace

std::uint32_t ReadMask(const Payload& block, std::size_t at) {
  return std::uint32_t{block[at]} << 24 | std::uint32_t{block[at + 1]} << 16 | std::uint32_t{block[at + 2]} << 8 |
         std::uint32_t{block[at + 3]};
}


int CheckedTenths(std::string_view text, TemperatureKind kind, int unit_flag) {
  const std::int64_t thousandths = LeadingThousandths(text);
  if (unit_flag == 0) return ClampToInt(thousandths / 100);  // toward zero
  // (F - 32) / 1.8 in tenths is (thousandths - 32000) / 180, rounded half away from zero.
  const std::int64_t n = kind == TemperatureKind::kLimit ? thousandths - 32000 : thousandths;
  return ClampToInt(n >= 0 ? (n + 90) / 180 : -((-n + 90) / 180));
}

int LiveTenths(float celsius) { return static_cast<int>(std::lround(static_cast<double>(celsius) * 10)); }

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
