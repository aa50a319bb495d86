#pragma once
// The unit's parameter blocks, one table of offsets each. Answer offset k of
// a block that is both read and written travels at offset k + 1 of its write
// frame (after "{" and the command code). Byte 0 of every answer is "{".

#include <cstddef>
#include <string_view>

namespace norvo {

// The identification text of the eight-area model holds "{QT7100K@}"
// (case-sensitive); every other unit has five display areas.
constexpr std::string_view kEightAreaTag = "{QT7100K@}";
constexpr bool IsEightAreaModel(std::string_view identification) {
  return identification.find(kEightAreaTag) != std::string_view::npos;
}

// Settings block (answer to 0x04).
namespace settings {
constexpr std::size_t kGraphType = 1;
constexpr std::size_t kGraphSpan = 2;
constexpr std::size_t kTimeFormat = 3;
constexpr std::size_t kDateFormat = 4;
constexpr std::size_t kDst = 5;
constexpr std::size_t kTimeZone = 6;
constexpr std::size_t kUnit = 7;
constexpr std::size_t kFirstMask = 8;  // masks 1..8 at 8, 12, ..., 36
constexpr std::size_t kMaskSize = 4;
constexpr int kFiveAreas = 5;
constexpr int kEightAreas = 8;
static_assert(kFirstMask + kEightAreas * kMaskSize == 40);
// The last block byte a settings write carries, by model: the last mask's.
constexpr std::size_t LastWritten(bool eight_area) {
  return kFirstMask + (eight_area ? kEightAreas : kFiveAreas) * kMaskSize - 1;
}
static_assert(LastWritten(true) == 39 && LastWritten(false) == 27);
}  // namespace settings

// Calibration block (answer to 0x05): channel c (1..8) at 3c-2 (word), 3c (humidity offset).
namespace calibration {
constexpr std::size_t TemperatureAt(int channel) { return 3 * static_cast<std::size_t>(channel) - 2; }
constexpr std::size_t HumidityAt(int channel) { return 3 * static_cast<std::size_t>(channel); }
constexpr std::size_t kWrittenBytes = HumidityAt(8);  // bytes 1..24
static_assert(HumidityAt(8) == 24);
}  // namespace calibration

// Alarm block A (answer to 0x06).
namespace alarm_a {
constexpr std::size_t kHumiditySwitch = 1;
constexpr std::size_t kTemperatureSwitch = 2;
constexpr std::size_t kHumidityHigh = 3;
constexpr std::size_t kHumidityLow = 4;
constexpr std::size_t kTemperatureHigh = 5;
constexpr std::size_t kTemperatureLow = 6;
constexpr std::size_t kWrittenBytes = kTemperatureLow;  // bytes 1..6
}  // namespace alarm_a

// Alarm block C (answer to 0x08): channel c high word at 4c-3, low word at 4c-1.
// Alarm block D (answer to 0x09): channel c high byte at 2c-1, low byte at 2c.
namespace alarm_limits {
constexpr std::size_t TemperatureHighAt(int c) { return 4 * static_cast<std::size_t>(c) - 3; }
constexpr std::size_t TemperatureLowAt(int c) { return 4 * static_cast<std::size_t>(c) - 1; }
constexpr std::size_t HumidityHighAt(int c) { return 2 * static_cast<std::size_t>(c) - 1; }
constexpr std::size_t HumidityLowAt(int c) { return 2 * static_cast<std::size_t>(c); }
constexpr std::size_t kTemperatureBytes = TemperatureLowAt(8) + 1;  // block C bytes 1..32
constexpr std::size_t kHumidityBytes = HumidityLowAt(8);           // block D bytes 1..16
static_assert(kTemperatureBytes == 32 && kHumidityBytes == 16);
}  // namespace alarm_limits

// Answer offset k travels at frame offset k + 1.
constexpr std::size_t kFrameShift = 1;

}  // namespace norvo
