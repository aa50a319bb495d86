// The alarm evaluation, mean kinetic temperature and a report's figures,
// against the simulated unit's own alarm blocks and values worked by hand.

#include <gtest/gtest.h>

#include <cmath>

#include "device/Blocks.h"
#include "domain/Alarms.h"
#include "domain/Mkt.h"
#include "domain/Report.h"
#include "sim/SimUnit.h"

namespace norvo {
namespace {

LiveReadings Reading(int channel, float celsius, int humidity = kInvalidHumidity) {
  LiveReadings r;
  r.temperature[static_cast<std::size_t>(channel - 1)] = celsius;
  r.humidity[static_cast<std::size_t>(channel - 1)] = humidity;
  return r;
}

AlarmLimits SimLimits(sim::SimUnit& unit) {
  return DecodeAlarmLimits(unit.AlarmBlock('A'), unit.AlarmBlock('C'), unit.AlarmBlock('D'));
}

TEST(AlarmLimits, SwitchesEnablesAndNoValueFromTheUnitsBlocks) {
  sim::SimUnit unit;
  // The simulated unit: CH c high c+35.0 °C (enabled CH1..CH7), low -5.c °C
  // (enabled CH1, CH2), humidity high 80+c (CH1..CH7), low 20-c (CH1..CH4); CH8 has no sensor.
  const AlarmLimits limits = SimLimits(unit);
  struct Case {
    AlarmQuantity q;
    AlarmBound b;
    int channel;
    std::optional<int> limit;
  } cases[] = {
      {AlarmQuantity::kTemperature, AlarmBound::kHigh, 3, 353},
      {AlarmQuantity::kTemperature, AlarmBound::kLow, 2, -52},
      {AlarmQuantity::kTemperature, AlarmBound::kLow, 3, std::nullopt},   // not enabled
      {AlarmQuantity::kTemperature, AlarmBound::kHigh, 8, std::nullopt},  // neither enabled nor a value
      {AlarmQuantity::kHumidity, AlarmBound::kHigh, 7, 87},
      {AlarmQuantity::kHumidity, AlarmBound::kLow, 4, 16},
      {AlarmQuantity::kHumidity, AlarmBound::kLow, 5, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(limits.At(c.q, c.b, c.channel), c.limit) << c.channel;

  // Enabled with "no value" (FF FF), and a switch turned off.
  Payload a = unit.AlarmBlock('A'), cblock = unit.AlarmBlock('C');
  a[alarm_a::kTemperatureHigh] = 0xFF;
  EXPECT_FALSE(DecodeAlarmLimits(a, cblock, unit.AlarmBlock('D')).At(AlarmQuantity::kTemperature, AlarmBound::kHigh, 8));
  a[alarm_a::kHumiditySwitch] = 1;
  const AlarmLimits off = DecodeAlarmLimits(a, cblock, unit.AlarmBlock('D'));
  EXPECT_FALSE(off.At(AlarmQuantity::kHumidity, AlarmBound::kHigh, 1));
  EXPECT_TRUE(off.At(AlarmQuantity::kTemperature, AlarmBound::kHigh, 1));
}

TEST(AlarmEvaluator, EntersBeyondTheLimitAndLeavesOnlyPastTheHysteresis) {
  AlarmLimits limits;
  limits.At(AlarmQuantity::kTemperature, AlarmBound::kHigh, 3) = 350;  // 35.0 °C
  limits.At(AlarmQuantity::kTemperature, AlarmBound::kLow, 3) = 20;    // 2.0 °C
  // A reading per row: whether CH3 is in alarm afterwards, and what the poll told.
  struct Step {
    float celsius;
    bool active;
    const char* event;  // "", "enter", "leave"
  } steps[] = {
      {35.0f, false, ""},         // at the limit: not beyond it
      {35.1f, true, "enter"},     // beyond
      {34.9f, true, ""},          // noise back inside, within 0.2 °C
      {35.4f, true, ""},          // a new peak
      {kInvalidTemperature, true, ""},  // absent: nothing changes
      {34.8f, false, "leave"},    // 0.2 °C inside
      {35.0f, false, ""},
      {1.9f, true, "enter"},      // the low limit
      {2.1f, true, ""},
      {2.2f, false, "leave"},
  };
  AlarmEvaluator evaluator("U");
  double t = 1000;
  for (const Step& s : steps) {
    const auto events = evaluator.Evaluate(limits, Reading(3, s.celsius), t);
    SCOPED_TRACE(s.celsius);
    EXPECT_EQ(!evaluator.Active().empty(), s.active);
    if (std::string(s.event).empty()) {
      EXPECT_TRUE(events.empty());
    } else {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].kind == AlarmEvent::kEnter ? "enter" : "leave", std::string(s.event));
      EXPECT_EQ(events[0].record.channel, 3);
    }
    t += 20;
  }
}

TEST(AlarmEvaluator, PeakHumidityAndADisabledLimitEndsTheAlarm) {
  AlarmLimits limits;
  limits.At(AlarmQuantity::kHumidity, AlarmBound::kHigh, 1) = 80;
  AlarmEvaluator evaluator("U");
  EXPECT_EQ(evaluator.Evaluate(limits, Reading(1, 20.0f, 81), 10).size(), 1u);
  EXPECT_TRUE(evaluator.Evaluate(limits, Reading(1, 20.0f, 85), 30).empty());
  EXPECT_TRUE(evaluator.Evaluate(limits, Reading(1, 20.0f, 80), 50).empty());  // 1 % inside is needed
  const auto left = evaluator.Evaluate(AlarmLimits{}, Reading(1, 20.0f, 85), 70);
  ASSERT_EQ(left.size(), 1u);
  const AlarmRecord& r = left[0].record;
  EXPECT_EQ(left[0].kind, AlarmEvent::kLeave);
  EXPECT_EQ(r.quantity, AlarmQuantity::kHumidity);
  EXPECT_EQ(r.bound, AlarmBound::kHigh);
  EXPECT_DOUBLE_EQ(r.limit, 80);
  EXPECT_DOUBLE_EQ(r.start, 10);
  EXPECT_EQ(r.end, 70);
  EXPECT_DOUBLE_EQ(r.peak, 85);
  EXPECT_DOUBLE_EQ(r.peak_time, 30);
}

TEST(Mkt, ValuesWorkedByHand) {
  struct Case {
    std::vector<double> celsius;
    double activation;
    double mkt;
  } cases[] = {
      {{25.0}, kDefaultMktActivation, 25.0},
      {{4.0, 4.0, 4.0, 4.0}, kDefaultMktActivation, 4.0},
      {{20.0, 30.0}, kDefaultMktActivation, 26.26},  // above the mean of 25
      {{20.0, 20.0, 30.0, 30.0}, kDefaultMktActivation, 26.26},
      {{20.0, 30.0}, 5000.0, 25.61},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(*MeanKineticTemperature(c.celsius, c.activation), c.mkt, 0.005);
  }
  EXPECT_FALSE(MeanKineticTemperature({}).has_value());
}

TEST(Report, FiguresTimeBeyondAndExcursionsOfOneChannel) {
  ReportOptions options;
  options.from = 0;
  options.to = 1000;
  options.channels = {2};
  UnitFacts facts;
  facts.limits = AlarmLimits{};
  facts.limits->At(AlarmQuantity::kTemperature, AlarmBound::kHigh, 2) = 250;
  UnitReportBuilder builder("U", facts, options, 20);
  // 20 s apart; beyond 25.0 °C from 40 to 100 (three readings), a 200 s gap is not counted.
  const double readings[][2] = {{20, 24.0}, {40, 25.5}, {60, 26.0}, {80, 25.1}, {100, 24.8}, {120, 24.0}, {320, 25.2}};
  for (const auto& r : readings) {
    builder.Add(r[0], 1, 10.0, std::nullopt);  // CH1 is not asked for
    builder.Add(r[0], 2, r[1], 50.0);
  }
  const UnitReport report = builder.Finish();
  ASSERT_EQ(report.channels.size(), 1u);
  const QuantityFigures& t = report.channels[0].quantity[0];
  EXPECT_EQ(report.polls, 7);
  EXPECT_EQ(t.count, 7);
  EXPECT_DOUBLE_EQ(t.min, 24.0);
  EXPECT_DOUBLE_EQ(t.min_time, 20);
  EXPECT_DOUBLE_EQ(t.max, 26.0);
  EXPECT_DOUBLE_EQ(t.max_time, 60);
  EXPECT_NEAR(*t.Mean(), (24.0 + 25.5 + 26.0 + 25.1 + 24.8 + 24.0 + 25.2) / 7, 1e-9);
  EXPECT_DOUBLE_EQ(t.seconds_beyond[0], 60);
  ASSERT_EQ(t.excursions.size(), 2u);
  EXPECT_DOUBLE_EQ(t.excursions[0].start, 40);
  EXPECT_DOUBLE_EQ(t.excursions[0].end, 100);
  EXPECT_DOUBLE_EQ(t.excursions[0].peak, 26.0);
  EXPECT_FALSE(t.excursions[0].open);
  EXPECT_TRUE(t.excursions[1].open);
  EXPECT_FALSE(report.channels[0].quantity[1].limit[0].has_value());
  EXPECT_DOUBLE_EQ(MedianInterval({0, 20, 40, 40, 60, 300}), 20);
}

}  // namespace
}  // namespace norvo
