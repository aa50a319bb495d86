#include "Format.h"

#include <cmath>

#include "device/Encodings.h"

namespace norvo {
namespace {


void RemoveAll(std::string& text, const std::string& what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

}  // namespace

std::string FormatTemperature(float value, int mode, int unit_flag) {
  const bool fahrenheit = unit_flag != 0;
  if (mode == kDifference) {
    return FixedText(fahrenheit ? static_cast<double>(value) * 1.8 : static_cast<double>(value), 1);
  }
  std::string text;
  if (value == kInvalidTemperature) {
    text = fahrenheit ? "--  \u00B0F" : "--  \u00B0C";
  } else if (fahrenheit) {
    text = FixedText(static_cast<double>(value) * 1.8 + 32, 1) + "  \u00B0F";
  } else {
    text = FixedText(static_cast<double>(value), 1) + "  \u00B0C";
  }
  if (mode == kNumberText) {
    RemoveAll(text, "\u00B0C");
    RemoveAll(text, "\u00B0F");
  }
  return text;
}

std::string FormatHumidity(int value, int mode) {
  std::string text = value == kInvalidHumidity ? std::string("--  %") : std::to_string(value) + "  %";
  if (mode == kNumberText) RemoveAll(text, "%");
  return text;
}

}  // namespace norvo
