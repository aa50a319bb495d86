#pragma once
// Texts of temperatures and humidities. Temperatures are held in degrees
// Celsius; Fahrenheit exists only in the texts made here. The dew point is
// the reading's (device/LiveReadings.h).

#include <string>

#include "device/LiveReadings.h"

namespace norvo {

enum FormatMode {
  kFullText = 0,    // number, two spaces, unit sign (monitor)
  kNumberText = 1,  // the same without the unit sign (alarm limits)
  kDifference = 2,  // a temperature difference, no unit, no offset 32 (calibration offsets)
};

// unit_flag: 0 Celsius, non-zero Fahrenheit. UTF-8 text; "°" is U+00B0.
std::string FormatTemperature(float value, int mode, int unit_flag);
std::string FormatHumidity(int value, int mode);

}  // namespace norvo
