#pragma once
// Value encodings of the unit, shared by the live readings and every
// parameter block.
//
// Temperature word: signed 16-bit, high byte first, tenths of a degree
// Celsius; FF FF and 7F FF mean "no value". Humidity byte: unsigned percent;
// 0xFF means "no value". Inside the program 65535 marks a missing value.

#include <cstdint>
#include <string>
#include <string_view>

namespace norvo {

constexpr float kInvalidTemperature = 65535.0f;
constexpr std::int32_t kInvalidHumidity = 65535;
constexpr int kInvalidMarker = 0xFFFF;

// Returns word / 10 as float, or 65535.0 for the two invalid byte pairs.
float DecodeTemperatureWord(std::uint8_t high, std::uint8_t low);

// Returns the byte, or 65535 for 0xFF.
std::int32_t DecodeHumidityByte(std::uint8_t value);

struct TemperatureWord {
  std::uint8_t high;
  std::uint8_t low;
};

// 0xFFFF goes out as FF FF; anything else as its two low bytes.
TemperatureWord EncodeTemperatureWord(int value);

// 0xFFFF goes out as 0xFF; anything else as its low 8 bits.
std::uint8_t EncodeHumidityByte(int value);

// The unit's 8-bit text (up to the first zero byte, at most max_len bytes),
// each byte taken as the character of the same value, as UTF-8.
std::string Latin1ToUtf8(const std::uint8_t* bytes, std::size_t max_len);
inline std::string Latin1ToUtf8(std::string_view bytes) {
  return Latin1ToUtf8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// UTF-8 back to one byte per character; characters above U+00FF become '?'.
std::string Utf8ToLatin1(std::string_view text);

// value with `decimals` digits after a point, in every locale (rounded as
// "%.*f" rounds): the desktop's locale may make printf write a comma.
std::string FixedText(double value, int decimals);

// The leading decimal number of a text as the C library reads it: leading
// blanks skipped, stops at the first character that does not fit, 0 when
// there is no number. Only plain decimal notation is taken (no hex, no
// "inf" or "nan"), so the result is always finite.
double LeadingNumber(std::string_view text);
// The leading integer, by the same rules; clamped to the int range.
int LeadingInteger(std::string_view text);

}  // namespace norvo
