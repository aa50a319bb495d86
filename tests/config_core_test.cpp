// Parameter blocks: every write frame byte for byte, the text parsers and the
// dialogs' check boundaries.

#include <gtest/gtest.h>

#include "config/ParameterBlocks.h"
#include "config/Ranges.h"

namespace norvo {
namespace {

Payload Bytes(std::initializer_list<int> head) {
  Payload p{};
  std::size_t i = 0;
  for (int b : head) p[i++] = static_cast<std::uint8_t>(b);
  return p;
}

TEST(WriteFrames, ClockIntervalLanguageAndSwitches) {
  EXPECT_EQ(BuildClockFrame({2026, 12, 6, 23, 5, 9, 0}),
            Bytes({0x7B, 0x30, 0x07, 0xEA, 0x0C, 0x06, 0x17, 0x05, 0x09, 0x00, 0x40, 0x7D}));
  EXPECT_EQ(BuildIntervalFrame(60), Bytes({0x7B, 0x40, 0x3C, 0x40, 0x7D}));
  EXPECT_EQ(BuildIntervalFrame(240), Bytes({0x7B, 0x40, 0xF0, 0x40, 0x7D}));
  EXPECT_EQ(BuildLanguageFrame(true), Bytes({0x7B, 0x0B, 0x01, 0x40, 0x7D}));
  EXPECT_EQ(BuildLanguageFrame(false), Bytes({0x7B, 0x0B, 0x00, 0x40, 0x7D}));
  EXPECT_EQ(BuildAlarmSwitchFrame({1, 0, 0x81, 0x02, 0xFF, 0x00}),
            Bytes({0x7B, 0x12, 0x01, 0x00, 0x81, 0x02, 0xFF, 0x00, 0x40, 0x7D}));
}

TEST(WriteFrames, SettingsForFiveAndEightAreas) {
  SettingsFields f;
  f.graph_type = 2;
  f.graph_span = 48;
  f.time_format = 1;
  f.date_format = 2;
  f.dst = 1;
  f.time_zone = -12;
  f.unit = 1;
  for (std::size_t a = 0; a < 8; ++a) f.masks[a] = 0x01000000u * static_cast<std::uint32_t>(a + 1) + 0x000102u;
  const Payload five = BuildSettingsFrame(f, false);
  EXPECT_EQ(five[0], 0x7B);
  EXPECT_EQ(five[1], 0x10);
  const std::uint8_t head[] = {2, 48, 1, 2, 1, 0xF4, 1};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(five[2 + i], head[i]) << i;
  EXPECT_EQ(five[9], 0x01);   // mask 1, high byte first
  EXPECT_EQ(five[11], 0x01);
  EXPECT_EQ(five[12], 0x02);
  EXPECT_EQ(five[25], 0x05);  // mask 5
  EXPECT_EQ(five[29], 0x40);
  EXPECT_EQ(five[30], 0x7D);
  EXPECT_EQ(five[31], 0x00);

  f.time_zone = 12;
  const Payload eight = BuildSettingsFrame(f, true);
  EXPECT_EQ(eight[7], 0x0C);
  EXPECT_EQ(eight[29], 0x06);  // mask 6
  EXPECT_EQ(eight[37], 0x08);  // mask 8
  EXPECT_EQ(eight[40], 0x02);
  EXPECT_EQ(eight[41], 0x40);
  EXPECT_EQ(eight[42], 0x7D);
  EXPECT_EQ(eight[43], 0x00);

  // Lists without a selection: -1 becomes 0xFF, the time zone -13 = 0xF3, the span 0.
  SettingsFields none;
  none.graph_type = none.time_format = none.date_format = none.dst = none.unit = -1;
  none.time_zone = -13;
  none.graph_span = 0;
  const Payload blank = BuildSettingsFrame(none, false);
  EXPECT_EQ(blank[2], 0xFF);
  EXPECT_EQ(blank[3], 0x00);
  EXPECT_EQ(blank[4], 0xFF);
  EXPECT_EQ(blank[7], 0xF3);
  EXPECT_EQ(blank[8], 0xFF);
}

TEST(WriteFrames, CalibrationAndAlarmLimits) {
  CalibrationFields cal;
  cal.temperature = {5, -200, 0xFFFF, 0, 0, 0, 0, 10};
  cal.humidity = {-3, 2, 0xFFFF, 0, 0, 0, 0, -2};
  const Payload c = BuildCalibrationFrame(cal);
  EXPECT_EQ(c, Bytes({0x7B, 0x11, 0x00, 0x05, 0xFD, 0xFF, 0x38, 0x02, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0x00, 0x0A, 0xFE, 0x40, 0x7D}));

  AlarmTemperatureWords t;
  for (std::size_t i = 0; i < 8; ++i) {
    t.high[i] = EncodeTemperatureWord(300 + static_cast<int>(i));
    t.low[i] = EncodeTemperatureWord(-10);
  }
  t.low[7] = EncodeTemperatureWord(0xFFFF);
  const Payload tf = BuildAlarmTemperatureFrame(t);
  EXPECT_EQ(tf[1], 0x14);
  EXPECT_EQ(tf[2], 0x01);
  EXPECT_EQ(tf[3], 0x2C);  // CH1 high 300
  EXPECT_EQ(tf[4], 0xFF);
  EXPECT_EQ(tf[5], 0xF6);  // CH1 low -10
  EXPECT_EQ(tf[32], 0xFF);
  EXPECT_EQ(tf[33], 0xFF);  // CH8 low invalid
  EXPECT_EQ(tf[34], 0x40);
  EXPECT_EQ(tf[35], 0x7D);

  AlarmHumidityBytes h;
  for (std::size_t i = 0; i < 8; ++i) {
    h.high[i] = static_cast<std::uint8_t>(80 + i);
    h.low[i] = static_cast<std::uint8_t>(20 + i);
  }
  const Payload hf = BuildAlarmHumidityFrame(h);
  EXPECT_EQ(hf[1], 0x15);
  EXPECT_EQ(hf[2], 80);
  EXPECT_EQ(hf[3], 20);
  EXPECT_EQ(hf[17], 27);
  EXPECT_EQ(hf[18], 0x40);
  EXPECT_EQ(hf[19], 0x7D);
}

TEST(TextParsing, TemperaturesInBothUnitsAndTheMarker) {
  using K = TemperatureKind;
  const struct {
    const char* text;
    K kind;
    int unit;
    int tenths;
  } cases[] = {
      {"-20.0", K::kLimit, 0, -200}, {"23.7", K::kLimit, 0, 237},    {"  23.7  ", K::kLimit, 0, 237},
      {"77.5  ", K::kLimit, 1, 253}, {"1.8", K::kOffset, 1, 10},     {"140.0", K::kLimit, 1, 600},
      // A typed Fahrenheit text goes to the nearest tenth of a degree Celsius.
      {"98.6", K::kLimit, 1, 370},   {"33.8", K::kLimit, 1, 10},     {"-0.2", K::kOffset, 1, -1},
      // A comma is a decimal separator too; Celsius tenths are exact, then truncated.
      {"36,1", K::kLimit, 0, 361},   {"0,5", K::kOffset, 0, 5},      {"-0.1", K::kOffset, 0, -1},
      {"4.1", K::kLimit, 0, 41},     {"-39.99", K::kLimit, 0, -399}, {"1e-1", K::kLimit, 0, 1},
      {"-40.0", K::kLimit, 1, -400}, {"abc", K::kLimit, 0, 0},       {"", K::kLimit, 0, 0},
      {"--", K::kLimit, 0, 0xFFFF},  {"--  ", K::kLimit, 0, 0},       {"-- ", K::kOffset, 1, 0},
      {"60.05", K::kLimit, 0, 600},  {"12abc", K::kLimit, 0, 120},    {"1e1", K::kLimit, 0, 100},
      {"inf", K::kLimit, 0, 0},      {"nan", K::kLimit, 0, 0},        {"0x10", K::kLimit, 0, 0},
      {"99999999999", K::kLimit, 0, 2147483647},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseTemperatureText(c.text, c.kind, c.unit), c.tenths) << '"' << c.text << '"';
  }
  EXPECT_EQ(ParseHumidityText("--"), 0xFFFF);
  EXPECT_EQ(ParseHumidityText("-- "), 0);
  EXPECT_EQ(ParseHumidityText("50.7"), 50);
  EXPECT_EQ(ParseHumidityText("-3  "), -3);
  EXPECT_EQ(EncodeHumidityByte(ParseHumidityText("-3")), 0xFD);
  // Every tenth of a degree Celsius from -40.0 to 60.0, shown in Fahrenheit
  // with one decimal as the dialogs show it, reads back as the same tenth.
  for (int tenths = -400; tenths <= 600; ++tenths) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.1f", tenths / 10.0 * 1.8 + 32);
    EXPECT_EQ(CheckedTenths(shown, K::kLimit, 1), tenths) << shown;
    // A live reading arrives as a float of whole tenths.
    EXPECT_EQ(LiveTenths(static_cast<float>(tenths / 10.0)), tenths);
  }
  // The alarm check's boundaries.
  EXPECT_EQ(CheckedTenths("60.1", K::kLimit, 0), 601);
  EXPECT_EQ(CheckedTenths("140.2", K::kLimit, 1), 601);
  EXPECT_EQ(CheckedTenths("--", K::kLimit, 0), 0);
}

TEST(Blocks, MasksAndModel) {
  Payload p{};
  p[8] = 0x12;
  p[9] = 0x34;
  p[10] = 0x56;
  p[11] = 0x78;
  EXPECT_EQ(ReadMask(p, 8), 0x12345678u);
  EXPECT_TRUE(IsEightAreaModel("xx{QT7100K@}yy"));
  EXPECT_FALSE(IsEightAreaModel("{qt7100k@}"));
  EXPECT_FALSE(IsEightAreaModel("{QT7100K}"));
}

}  // namespace
}  // namespace norvo

namespace norvo {
namespace {

// The one table of ranges the dialogs, norvoctl set and restore share.
TEST(Ranges, BoundariesOfEveryCheck) {
  const struct {
    const char* what;
    bool holds;
    bool expected;
  } cases[] = {
      {"interval 5", ranges::kIntervalMinutes.Holds(5), true},
      {"interval 4", ranges::kIntervalMinutes.Holds(4), false},
      {"interval 240", ranges::kIntervalMinutes.Holds(240), true},
      {"interval 241", ranges::kIntervalMinutes.Holds(241), false},
      {"alarm -40.0", ranges::kAlarmTemperatureTenths.Holds(-400), true},
      {"alarm -40.1", ranges::kAlarmTemperatureTenths.Holds(-401), false},
      {"alarm 60.0", ranges::kAlarmTemperatureTenths.Holds(600), true},
      {"alarm 60.1", ranges::kAlarmTemperatureTenths.Holds(601), false},
      {"humidity limit 0", ranges::kAlarmHumidity.Holds(0), false},
      {"humidity limit 99", ranges::kAlarmHumidity.Holds(99), true},
      {"humidity limit 100", ranges::kAlarmHumidity.Holds(100), false},
      {"span 36", ranges::IsGraphSpan(36), false},
      {"span 72", ranges::IsGraphSpan(72), true},
      {"59.5 + 0.5", ranges::CorrectedTemperatureFits(595, 0, 5), true},
      {"59.5 + 0.6", ranges::CorrectedTemperatureFits(595, 0, 6), false},
      {"59.5 - old 1.0 + 1.5", ranges::CorrectedTemperatureFits(595, 10, 15), true},
      {"59.5 - old 1.0 + 1.6", ranges::CorrectedTemperatureFits(595, 10, 16), false},
      {"95 % + 5", ranges::CorrectedHumidityFits(95, 0, 5), false},
      {"95 % + 4", ranges::CorrectedHumidityFits(95, 0, 4), true},
      {"5 % - 6", ranges::CorrectedHumidityFits(5, 0, -6), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.holds, c.expected) << c.what;
}

}  // namespace
}  // namespace norvo
