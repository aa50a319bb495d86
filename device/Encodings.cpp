#include "Encodings.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "Wire.h"

namespace norvo {

float DecodeTemperatureWord(std::uint8_t high, std::uint8_t low) {
  if (wire::IsNoValueWord(high, low)) return kInvalidTemperature;
  const auto raw = static_cast<std::int16_t>(static_cast<std::uint16_t>(high << 8 | low));
  return static_cast<float>(raw / 10.0);
}

std::int32_t DecodeHumidityByte(std::uint8_t value) {
  return wire::IsNoValueByte(value) ? kInvalidHumidity : value;
}

TemperatureWord EncodeTemperatureWord(int value) {
  if (value == kInvalidMarker) return {wire::kNoValueByte, wire::kNoValueByte};
  const auto bits = static_cast<std::uint16_t>(value);
  return {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits & 0xFF)};
}

std::uint8_t EncodeHumidityByte(int value) {
  if (value == kInvalidMarker) return wire::kNoValueByte;
  return static_cast<std::uint8_t>(value & 0xFF);
}

std::string Latin1ToUtf8(const std::uint8_t* bytes, std::size_t max_len) {
  std::string text;
  for (std::size_t i = 0; i < max_len && bytes[i] != 0; ++i) {
    const std::uint8_t c = bytes[i];
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    int len = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (len == 2 && i + 1 < text.size()) {
      const unsigned code = (c & 0x1F) << 6 | (static_cast<std::uint8_t>(text[i + 1]) & 0x3F);
      out += code <= 0xFF ? static_cast<char>(code) : '?';
    } else {
      out += '?';
    }
    i += static_cast<std::size_t>(len);
  }
  return out;
}

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                             text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t digits_start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  bool any = i > digits_start;
  if (i < text.size() && text[i] == '.') {
    const std::size_t frac = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    any = any || i > frac;
  }
  if (!any) return 0.0;
  // An exponent counts only when digits follow it.
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exp_digits = j;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
    if (j > exp_digits) i = j;
  }
  // The token is delimited already; from_chars reads it as strtod would,
  // without a copy. It takes no leading '+'.
  const char* first = text.data() + start;
  const char* last = text.data() + i;
  const bool negative = *first == '-';
  if (*first == '+' || *first == '-') ++first;
  double v = 0.0;
  const auto [end, error] = std::from_chars(first, last, v, std::chars_format::general);
  if (error == std::errc::result_out_of_range) return 0.0;
  (void)end;
  if (negative) v = -v;
  return std::isfinite(v) ? v : 0.0;
}

int LeadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                             text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > INT_MAX) return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(negative ? -v : v);
}

std::string FixedText(double value, int decimals) {
  char buf[400];  // the widest double in fixed notation, with a sign and decimals
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return result.ec == std::errc() ? std::string(buf, result.ptr) : std::string();
}

}  // namespace norvo
