#pragma once
// The unit's parameter blocks and write frames: one table of offsets per
// block, the decoders and text parsers the dialogs use, and one builder per
// write frame. Answer offset k of a block that is both read and written is
// frame offset k + 1 of its write frame. No Qt here.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/Blocks.h"
#include "device/Encodings.h"
#include "device/Frames.h"
#include "device/Payload.h"

namespace norvo {

// ---- values and texts -----------------------------------------------------------

std::uint32_t ReadMask(const Payload& block, std::size_t at);


enum class TemperatureKind { kLimit, kOffset };

// Tenths of a degree Celsius, truncated toward zero, or 0xFFFF for exactly "--".
// In Fahrenheit a limit converts with the offset 32, an offset without.
int ParseTemperatureText(std::string_view text, TemperatureKind kind, int unit_flag);
// Percent, or 0xFFFF for exactly "--".
int ParseHumidityText(std::string_view text);

// Tenths of °C the check sees for a text (the "--" text is not special here).
// The text is read as an exact decimal with "." or "," as its separator and
// anything after the number ignored. In Celsius the tenths are truncated
// toward zero; a Fahrenheit text converts to the nearest tenth of a degree
// Celsius (98.6 °F is 37.0 °C), so what a field shows reads back the same.
int CheckedTenths(std::string_view text, TemperatureKind kind, int unit_flag);

// A live reading (whole tenths, held as a float) as integer tenths.
int LiveTenths(float celsius);

// -1 tenth encodes as FF FF, which the unit reads as "no value": a limit or
// offset of -0.1 °C cannot be stored.
constexpr int kUnstorableTenths = -1;

// ---- write frames ----------------------------------------------------------------

struct SettingsFields {
  int graph_type = 0;   // list positions; -1 when a list has no selection
  int graph_span = 0;   // hours: 12, 24, 48, 72, or 0 when nothing is selected
  int time_format = 0;
  int date_format = 0;
  int dst = 0;
  int time_zone = 0;    // hours, -12..12 (list position - 12)
  int unit = 0;
  std::array<std::uint32_t, 8> masks{};
};

Payload BuildSettingsFrame(const SettingsFields& fields, bool eight_area);

struct CalibrationFields {
  std::array<int, 8> temperature{};  // tenths, or 0xFFFF
  std::array<int, 8> humidity{};     // percent (may be negative), or 0xFFFF
};
Payload BuildCalibrationFrame(const CalibrationFields& fields);
// The same frame from raw words and bytes, for values that pass unchanged.
struct CalibrationRaw {
  std::array<TemperatureWord, 8> temperature{};
  std::array<std::uint8_t, 8> humidity{};
};
Payload BuildCalibrationFrame(const CalibrationRaw& raw);

struct AlarmSwitches {
  int humidity_switch = 0;     // 0 on, 1 off
  int temperature_switch = 0;
  std::uint8_t humidity_high = 0, humidity_low = 0, temperature_high = 0, temperature_low = 0;
};
Payload BuildAlarmSwitchFrame(const AlarmSwitches& switches);

struct AlarmTemperatureWords {
  std::array<TemperatureWord, 8> high{}, low{};
};
Payload BuildAlarmTemperatureFrame(const AlarmTemperatureWords& limits);

struct AlarmHumidityBytes {
  std::array<std::uint8_t, 8> high{}, low{};
};
Payload BuildAlarmHumidityFrame(const AlarmHumidityBytes& limits);

Payload BuildLanguageFrame(bool english);

struct ClockFields {
  int year, month, day, hour, minute, second, day_of_week;  // 0 = Sunday
};
Payload BuildClockFrame(const ClockFields& clock);

Payload BuildIntervalFrame(int minutes);

}  // namespace norvo
