#pragma once
// Texts of temperatures and humidities, and the dew point. Temperatures are
// held in degrees Celsius; Fahrenheit exists only in the texts made here.

#include <string>

namespace norvo {

enum FormatMode {
  kFullText = 0,    // number, two spaces, unit sign (monitor)
  kNumberText = 1,  // the same without the unit sign (alarm limits)
  kDifference = 2,  // a temperature difference, no unit, no offset 32 (calibration offsets)
};

// unit_flag: 0 Celsius, non-zero Fahrenheit. UTF-8 text; "°" is U+00B0.
std::string FormatTemperature(float value, int mode, int unit_flag);
std::string FormatHumidity(int value, int mode);

// Magnus-type dew point in °C with each stored step rounded to float, or
// 65535.0 when the humidity is missing or the result lies outside -40..60.
float DewPoint(float temperature, int humidity);

}  // namespace norvo
