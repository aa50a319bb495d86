// The commands that read the unit's readings and blocks and write its
// interval, language and clock.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "Interrupt.h"
#include "Internal.h"
#include "config/Backup.h"
#include "config/ParameterBlocks.h"
#include "config/Ranges.h"
#include "device/LiveReadings.h"
#include "device/Frames.h"
#include "device/Responses.h"
#include "monitor/Format.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "settings/DataFolder.h"

namespace norvo::cli {
namespace {

const char* UnitSign(int unit_flag) { return unit_flag ? "\u00B0F" : "\u00B0C"; }

// A temperature in the unit's display unit with one decimal, or null.
Json Temperature(float celsius, int unit_flag) {
  if (celsius == kInvalidTemperature) return nullptr;
  return OneDecimal(unit_flag ? celsius * 1.8 + 32 : celsius);
}

Json Humidity(int percent) { return percent == kInvalidHumidity ? Json(nullptr) : Json(percent); }

// A JSON number or null as a CSV field: null is the empty field.
std::string Field(const Json& value) { return value.is_null() ? std::string() : JsonLine(value); }

// Pads to a width in characters, not bytes: the degree sign takes two bytes.
std::string Pad(const std::string& text, std::size_t width) {
  std::size_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
  return chars >= width ? text + " " : text + std::string(width - chars, ' ');
}

void PrintLive(const Options& o, const LiveReadings& r, int unit, const std::string& time, bool first, std::FILE* out) {
  if (o.json) {
    Json channels = Json::array();
    for (int k = 0; k < kChannels; ++k) {
      const float t = r.temperature[k];
      const int h = r.humidity[k];
      const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, h);
      channels.push_back(Json{{"channel", k + 1},
                              {"temperature", Temperature(t, unit)},
                              {"humidity", Humidity(h)},
                              {"dew_point", Temperature(dew, unit)}});
    }
    const Json line{{"unit", UnitSign(unit)}, {"channels", channels}, {"time", time}};
    std::fprintf(out, "%s\n", JsonLine(line).c_str());
    return;
  }
  if (o.csv) {
    if (first) std::fprintf(out, "time,channel,temperature,humidity,dew_point,unit\n");
    for (int k = 0; k < kChannels; ++k) {
      const float t = r.temperature[k];
      const int h = r.humidity[k];
      const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, h);
      std::fprintf(out, "%s,%d,%s,%s,%s,%s\n", time.c_str(), k + 1, Field(Temperature(t, unit)).c_str(),
                   Field(Humidity(h)).c_str(), Field(Temperature(dew, unit)).c_str(), UnitSign(unit));
    }
    return;
  }
  if (o.watch > 0) std::fprintf(out, "%s\n", time.c_str());
  std::fprintf(out, "%-8s%-14s%-10s%s\n", "channel", "temperature", "humidity", "dew point");
  for (int k = 0; k < kChannels; ++k) {
    const float t = r.temperature[k];
    const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, r.humidity[k]);
    const std::string ts = FormatTemperature(t, kFullText, unit), hs = FormatHumidity(r.humidity[k], kFullText);
    std::fprintf(out, "CH%-6d%s%s%s\n", k + 1, Pad(ts, 14).c_str(), Pad(hs, 10).c_str(),
                 FormatTemperature(dew, kFullText, unit).c_str());
  }
}

}  // namespace

void Live(const Options& o, CommandUnit& s, std::FILE* out) {
  s.ReadSettings();
  const auto period = std::chrono::seconds(o.watch);
  auto next = std::chrono::steady_clock::now();
  for (bool first = true;; first = false) {
    s.ReadLive();
    const std::string time = LocalTimeStamp();
    const LiveReadings r = s.Blocks().live;
    PrintLive(o, r, s.TheUnit().UnitFlag(), time, first, out);
    CheckOutput(out, true);
    if (o.watch == 0) return;
    next += period;
    if (!interrupt::Sleep(next - std::chrono::steady_clock::now())) throw Interrupted{};
  }
}

void Settings(const Options& o, CommandUnit& s, std::FILE* out) {
  s.ReadSettings();
  const PollSnapshot blocks = s.Blocks();
  const Payload& b = blocks.settings;
  const bool eight = IsEightAreaModel(blocks.identification);
  const char* graph[4] = {"Temperature", "Humidity", "DewPoint", "HeatIndex"};
  const char* times[3] = {"h:mm:ss", "AM h:mm:ss", "h:mm:ss AM"};
  const char* dates[3] = {"YYYY-MM-DD", "MM-DD-YYYY", "DD-MM-YYYY"};
  const auto pick = [](const char* const* names, int n, int v) { return v < n ? std::string(names[v]) : std::to_string(v); };
  const int zone = static_cast<std::int8_t>(b[settings::kTimeZone]);
  const int span = b[settings::kGraphSpan];
  const int areas = eight ? settings::kEightAreas : settings::kFiveAreas;
  const auto mask = [&](int a) { return ReadMask(b, settings::kFirstMask + settings::kMaskSize * static_cast<std::size_t>(a)); };
  const std::string graph_type = pick(graph, 4, b[settings::kGraphType]);
  const std::string time_format = pick(times, 3, b[settings::kTimeFormat]);
  const std::string date_format = pick(dates, 3, b[settings::kDateFormat]);
  const bool dst = b[settings::kDst] != 0;
  const char* unit = UnitSign(b[settings::kUnit]);
  if (o.json) {
    Json list = Json::array();
    for (int a = 0; a < areas; ++a) list.push_back(Json{{"area", a + 1}, {"mask", mask(a)}, {"shows", AreaContents(mask(a))}});
    const Json line{{"graph_type", graph_type}, {"graph_span_hours", span},  {"time_format", time_format},
                    {"date_format", date_format}, {"dst", dst},              {"time_zone", zone},
                    {"unit", unit},               {"interval_minutes", blocks.interval},
                    {"model", ModelName(eight)},  {"areas", list}};
    std::fprintf(out, "%s\n", JsonLine(line).c_str());
    return;
  }
  std::fprintf(out, "graph type:   %s\ngraph span:   %d h\ntime format:  %s\ndate format:  %s\nDST:          %s\n"
                    "time zone:    %+d\nunit:         %s\ninterval:     %d min\nmodel:        %s\n",
               graph_type.c_str(), span, time_format.c_str(), date_format.c_str(), dst ? "ON" : "OFF", zone, unit,
               blocks.interval, ModelName(eight));
  for (int a = 0; a < areas; ++a) std::fprintf(out, "CH Area%d:     %s\n", a + 1, AreaContents(mask(a)).c_str());
}

void Alarms(const Options& o, CommandUnit& s, std::FILE* out) {
  s.ReadSettings();
  s.ReadAlarms();
  const PollSnapshot blocks = s.Blocks();
  const Payload &a = blocks.alarm_a, &c = blocks.alarm_c, &d = blocks.alarm_d;
  const int unit = s.TheUnit().UnitFlag();
  const auto temp = [&](std::size_t at) { return Temperature(DecodeTemperatureWord(c[at], c[at + 1]), unit); };
  const auto hum = [&](std::size_t at) { return Humidity(DecodeHumidityByte(d[at])); };
  const auto on = [&](std::size_t at, int ch) { return (a[at] >> (ch - 1) & 1) != 0; };
  const bool temperature_alarm = a[alarm_a::kTemperatureSwitch] == 0, humidity_alarm = a[alarm_a::kHumiditySwitch] == 0;
  if (o.json) {
    Json channels = Json::array();
    for (int ch = 1; ch <= 8; ++ch) {
      channels.push_back(Json{{"channel", ch},
                              {"temperature_high", temp(alarm_limits::TemperatureHighAt(ch))},
                              {"temperature_high_enabled", on(alarm_a::kTemperatureHigh, ch)},
                              {"temperature_low", temp(alarm_limits::TemperatureLowAt(ch))},
                              {"temperature_low_enabled", on(alarm_a::kTemperatureLow, ch)},
                              {"humidity_high", hum(alarm_limits::HumidityHighAt(ch))},
                              {"humidity_high_enabled", on(alarm_a::kHumidityHigh, ch)},
                              {"humidity_low", hum(alarm_limits::HumidityLowAt(ch))},
                              {"humidity_low_enabled", on(alarm_a::kHumidityLow, ch)}});
    }
    const Json line{{"unit", UnitSign(unit)},
                    {"temperature_alarm", temperature_alarm},
                    {"humidity_alarm", humidity_alarm},
                    {"channels", channels}};
    std::fprintf(out, "%s\n", JsonLine(line).c_str());
    return;
  }
  std::fprintf(out, "temperature alarm: %s\nhumidity alarm:    %s\n", temperature_alarm ? "ON" : "OFF",
               humidity_alarm ? "ON" : "OFF");
  std::fprintf(out, "%-8s%-12s%-12s%-10s%s\n", "channel", "temp high", "temp low", "hum high", "hum low");
  const auto cell = [](const Json& v, bool enabled) { return (v.is_null() ? "--" : JsonLine(v)) + (enabled ? "" : " (off)"); };
  for (int ch = 1; ch <= 8; ++ch) {
    std::fprintf(out, "CH%-6d%-12s%-12s%-10s%s\n", ch,
                 cell(temp(alarm_limits::TemperatureHighAt(ch)), on(alarm_a::kTemperatureHigh, ch)).c_str(),
                 cell(temp(alarm_limits::TemperatureLowAt(ch)), on(alarm_a::kTemperatureLow, ch)).c_str(),
                 cell(hum(alarm_limits::HumidityHighAt(ch)), on(alarm_a::kHumidityHigh, ch)).c_str(),
                 cell(hum(alarm_limits::HumidityLowAt(ch)), on(alarm_a::kHumidityLow, ch)).c_str());
  }
}

void Calibration(const Options& o, CommandUnit& s, std::FILE* out) {
  s.ReadSettings();
  s.ReadCalibration();
  const Payload b = s.Blocks().calibration;
  const int unit = s.TheUnit().UnitFlag();
  Json channels = Json::array();
  if (!o.json) std::fprintf(out, "%-8s%-14s%s\n", "channel", "temperature", "humidity");
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t at = calibration::TemperatureAt(ch);
    const float word = DecodeTemperatureWord(b[at], b[at + 1]);
    const int h = static_cast<std::int8_t>(b[calibration::HumidityAt(ch)]);
    // The offset as the Calibration dialog shows it: a difference, no 32 added.
    const std::string t = word == kInvalidTemperature ? "" : FormatTemperature(word, kDifference, unit);
    if (o.json) {
      channels.push_back(Json{{"channel", ch},
                              {"temperature_offset", t.empty() ? Json(nullptr) : OneDecimal(static_cast<double>(word) * (unit ? 1.8 : 1.0))},
                              {"humidity_offset", h}});
    } else {
      std::fprintf(out, "CH%-6d%s%d %%\n", ch, Pad(t.empty() ? "--" : t + " " + UnitSign(unit), 14).c_str(), h);
    }
  }
  if (o.json) std::fprintf(out, "%s\n", JsonLine(Json{{"unit", UnitSign(unit)}, {"channels", channels}}).c_str());
}

int IntervalMinutes(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  const std::string trimmed = first < last ? std::string(first, last) : std::string();
  // The Setup dialog's reading of the number; the whole text must be that number.
  const std::size_t sign = !trimmed.empty() && (trimmed[0] == '+' || trimmed[0] == '-') ? 1 : 0;
  const bool whole = trimmed.size() > sign &&
                     std::all_of(trimmed.begin() + static_cast<long>(sign), trimmed.end(),
                                 [](unsigned char c) { return c >= '0' && c <= '9'; });
  const int minutes = LeadingInteger(trimmed);
  if (!whole || !ranges::kIntervalMinutes.Holds(minutes)) throw Failure(kBadInput, UIString(ui::kIntervalRange));
  return minutes;
}

int SetInterval(int minutes, CommandUnit& s, std::FILE* err) {
  const Payload frames[] = {BuildIntervalFrame(minutes)};
  WriteChecked(s, frames, kIntervalWrite);
  std::fprintf(err, "%s\n", UIString(ui::kSetIntervalSuccess).c_str());
  return kOk;
}

int SyncTime(CommandUnit& s, std::FILE* err) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const Payload frames[] = {BuildClockFrame({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                             local.tm_min, local.tm_sec, local.tm_wday})};
  WriteChecked(s, frames, kClockWrite);
  std::fprintf(err, "%s\n", UIString(ui::kSyncTimeSuccess).c_str());
  return kOk;
}

int SetLanguage(const std::string& language, CommandUnit& s, const fs::path& data_folder, std::FILE* err) {
  // Main.ini first, as the Language dialog does: a refusal still switches the console.
  if (!WriteLanguageSetting(data_folder, language)) {
    throw Failure(kStoreError, UIString(ui::kCannotWritePath) + (data_folder / kSettingsFile).string());
  }
  const Payload frames[] = {BuildLanguageFrame(language == "English")};
  try {
    WriteChecked(s, frames, kDialogWrite);
  } catch (const Failure& f) {
    // Whatever the unit did, the console is switched: the message says so.
    throw Failure(f.Code(), UIString(ui::kMainIniSwitched) + language +
                                UIString(ui::kUnitNotSwitched) + f.Message());
  }
  std::fprintf(err, "%s%s\n", UIString(ui::kLanguageIs).c_str(), language.c_str());
  return kOk;
}

}  // namespace norvo::cli
