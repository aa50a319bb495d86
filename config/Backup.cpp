#include "Backup.h"

#include "device/WriteMap.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "ParameterBlocks.h"
#include "Ranges.h"

namespace norvo {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kGraphTypes[] = {"Temperature", "Humidity", "DewPoint", "HeatIndex"};
constexpr const char* kTimeFormats[] = {"h:mm:ss", "AM h:mm:ss", "h:mm:ss AM"};
constexpr const char* kDateFormats[] = {"YYYY-MM-DD", "MM-DD-YYYY", "DD-MM-YYYY"};

// A field the restore cannot use; the text names the field.
struct BadField : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

// A list position as its name, or the number itself when the list has no such entry.
template <std::size_t N>
Json Named(const char* const (&names)[N], std::uint8_t value) {
  return value < N ? Json(names[value]) : Json(value);
}

// A number with one decimal, as the dialogs show it, kept exact as JSON number text.
Json Tenths(int tenths) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, tenths / 10.0, std::chars_format::fixed, 1).ptr;
  double value = 0;
  std::from_chars(text, end, value);
  return value;
}

Json TemperatureEntry(std::uint8_t high, std::uint8_t low) {
  const bool invalid = (high == 0xFF || high == 0x7F) && low == 0xFF;
  const std::uint8_t raw[2] = {high, low};
  return Json{{"celsius", invalid ? Json(nullptr) : Tenths(static_cast<std::int16_t>(high << 8 | low))},
              {"raw", Hex(raw, 2)}};
}

Json HumidityLimitEntry(std::uint8_t value) {
  return Json{{"percent", value == 0xFF ? Json(nullptr) : Json(value)}, {"raw", Hex(&value, 1)}};
}

Json SwitchEntry(std::uint8_t value) {
  return Json{{"value", value == 0 ? Json("ON") : value == 1 ? Json("OFF") : Json(value)}, {"raw", Hex(&value, 1)}};
}

Json ByteEntry(Json value, std::uint8_t raw) { return Json{{"value", std::move(value)}, {"raw", Hex(&raw, 1)}}; }

Json EnableEntry(std::uint8_t bits) {
  Json channels = Json::array();
  for (int c = 1; c <= 8; ++c) {
    if (bits >> (c - 1) & 1) channels.push_back(c);
  }
  return Json{{"channels", channels}, {"raw", Hex(&bits, 1)}};
}

Json ToJson(const UnitConfiguration& c) {
  const bool eight = c.EightArea();
  const Payload& s = c.settings;
  Json areas = Json::array();
  for (int a = 0; a < (eight ? settings::kEightAreas : settings::kFiveAreas); ++a) {
    const std::size_t at = settings::kFirstMask + settings::kMaskSize * static_cast<std::size_t>(a);
    areas.push_back(Json{{"area", a + 1}, {"shows", AreaContents(ReadMask(s, at))}, {"raw", Hex(&s[at], 4)}});
  }
  const std::uint8_t interval = static_cast<std::uint8_t>(c.interval);
  Json out;
  out["model"] = ModelName(eight);
  out["identification"] = c.identification;
  out["interval"] = Json{{"minutes", c.interval}, {"raw", Hex(&interval, 1)}};
  out["settings"] = Json{
      {"graph_type", ByteEntry(Named(kGraphTypes, s[settings::kGraphType]), s[settings::kGraphType])},
      {"graph_span_hours", ByteEntry(s[settings::kGraphSpan], s[settings::kGraphSpan])},
      {"time_format", ByteEntry(Named(kTimeFormats, s[settings::kTimeFormat]), s[settings::kTimeFormat])},
      {"date_format", ByteEntry(Named(kDateFormats, s[settings::kDateFormat]), s[settings::kDateFormat])},
      {"dst", ByteEntry(s[settings::kDst] == 0 ? Json("OFF") : s[settings::kDst] == 1 ? Json("ON") : Json(s[settings::kDst]),
                        s[settings::kDst])},
      {"time_zone", ByteEntry(static_cast<std::int8_t>(s[settings::kTimeZone]), s[settings::kTimeZone])},
      {"unit", ByteEntry(s[settings::kUnit] == 0 ? "\u00B0C" : "\u00B0F", s[settings::kUnit])},
      {"areas", areas}};

  const Payload &a = c.alarm_a, &t = c.alarm_c, &h = c.alarm_d;
  Json alarm_channels = Json::array();
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t hi = alarm_limits::TemperatureHighAt(ch), lo = alarm_limits::TemperatureLowAt(ch);
    alarm_channels.push_back(Json{{"channel", ch},
                                  {"temperature_high", TemperatureEntry(t[hi], t[hi + 1])},
                                  {"temperature_low", TemperatureEntry(t[lo], t[lo + 1])},
                                  {"humidity_high", HumidityLimitEntry(h[alarm_limits::HumidityHighAt(ch)])},
                                  {"humidity_low", HumidityLimitEntry(h[alarm_limits::HumidityLowAt(ch)])}});
  }
  out["alarms"] = Json{{"humidity_alarm", SwitchEntry(a[alarm_a::kHumiditySwitch])},
                       {"temperature_alarm", SwitchEntry(a[alarm_a::kTemperatureSwitch])},
                       {"humidity_high_enabled", EnableEntry(a[alarm_a::kHumidityHigh])},
                       {"humidity_low_enabled", EnableEntry(a[alarm_a::kHumidityLow])},
                       {"temperature_high_enabled", EnableEntry(a[alarm_a::kTemperatureHigh])},
                       {"temperature_low_enabled", EnableEntry(a[alarm_a::kTemperatureLow])},
                       {"channels", alarm_channels}};

  const Payload& b = c.calibration;
  Json offsets = Json::array();
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t at = calibration::TemperatureAt(ch);
    const std::uint8_t humidity = b[calibration::HumidityAt(ch)];
    offsets.push_back(Json{{"channel", ch},
                           {"temperature_offset", TemperatureEntry(b[at], b[at + 1])},
                           {"humidity_offset", Json{{"percent", static_cast<std::int8_t>(humidity)}, {"raw", Hex(&humidity, 1)}}}});
  }
  out["calibration"] = Json{{"channels", offsets}};
  return out;
}

// ---- reading -------------------------------------------------------------------

const Json& Member(const Json& object, const char* key, const std::string& path) {
  if (!object.is_object()) throw BadField((path.empty() ? std::string("/") : path) + ": not an object");
  const auto found = object.find(key);
  if (found == object.end()) throw BadField(path + "/" + key + ": missing");
  return *found;
}

const Json& Element(const Json& array, std::size_t index, std::size_t size, const std::string& path) {
  if (!array.is_array() || array.size() != size) {
    throw BadField(path + ": not a list of " + std::to_string(size) + " entries");
  }
  return array[index];
}

// The raw bytes of an entry: exactly 2n hex digits.
void Raw(const Json& entry, const std::string& path, std::uint8_t* out, std::size_t n) {
  const Json& raw = Member(entry, "raw", path);
  const std::string where = path + "/raw";
  if (!raw.is_string() || raw.get_ref<const std::string&>().size() != 2 * n) {
    throw BadField(where + ": not " + std::to_string(2 * n) + " hex digits");
  }
  const std::string& text = raw.get_ref<const std::string&>();
  for (std::size_t i = 0; i < n; ++i) {
    const auto [end, ec] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, out[i], 16);
    if (ec != std::errc() || end != text.data() + 2 * i + 2) throw BadField(where + ": not " + std::to_string(2 * n) + " hex digits");
  }
}

UnitConfiguration FromJson(const Json& in) {
  UnitConfiguration c;
  const Json& identification = Member(in, "identification", "");
  if (!identification.is_string()) throw BadField("/identification: not a text");
  c.identification = identification.get_ref<const std::string&>();
  const bool eight = c.EightArea();

  std::uint8_t interval = 0;
  Raw(Member(in, "interval", ""), "/interval", &interval, 1);
  c.interval = interval;

  const Json& s = Member(in, "settings", "");
  const std::pair<const char*, std::size_t> fields[] = {
      {"graph_type", settings::kGraphType}, {"graph_span_hours", settings::kGraphSpan},
      {"time_format", settings::kTimeFormat}, {"date_format", settings::kDateFormat},
      {"dst", settings::kDst}, {"time_zone", settings::kTimeZone}, {"unit", settings::kUnit}};
  for (const auto& [key, at] : fields) Raw(Member(s, key, "/settings"), std::string("/settings/") + key, &c.settings[at], 1);
  const int area_count = eight ? settings::kEightAreas : settings::kFiveAreas;
  const Json& areas = Member(s, "areas", "/settings");
  for (int a = 0; a < area_count; ++a) {
    const std::string path = "/settings/areas/" + std::to_string(a);
    Raw(Element(areas, static_cast<std::size_t>(a), static_cast<std::size_t>(area_count), "/settings/areas"), path,
        &c.settings[settings::kFirstMask + settings::kMaskSize * static_cast<std::size_t>(a)], 4);
  }

  const Json& a = Member(in, "alarms", "");
  const std::pair<const char*, std::size_t> bytes[] = {
      {"humidity_alarm", alarm_a::kHumiditySwitch}, {"temperature_alarm", alarm_a::kTemperatureSwitch},
      {"humidity_high_enabled", alarm_a::kHumidityHigh}, {"humidity_low_enabled", alarm_a::kHumidityLow},
      {"temperature_high_enabled", alarm_a::kTemperatureHigh}, {"temperature_low_enabled", alarm_a::kTemperatureLow}};
  for (const auto& [key, at] : bytes) Raw(Member(a, key, "/alarms"), std::string("/alarms/") + key, &c.alarm_a[at], 1);
  const Json& limits = Member(a, "channels", "/alarms");
  for (int ch = 1; ch <= 8; ++ch) {
    const std::string path = "/alarms/channels/" + std::to_string(ch - 1);
    const Json& entry = Element(limits, static_cast<std::size_t>(ch - 1), 8, "/alarms/channels");
    Raw(Member(entry, "temperature_high", path), path + "/temperature_high", &c.alarm_c[alarm_limits::TemperatureHighAt(ch)], 2);
    Raw(Member(entry, "temperature_low", path), path + "/temperature_low", &c.alarm_c[alarm_limits::TemperatureLowAt(ch)], 2);
    Raw(Member(entry, "humidity_high", path), path + "/humidity_high", &c.alarm_d[alarm_limits::HumidityHighAt(ch)], 1);
    Raw(Member(entry, "humidity_low", path), path + "/humidity_low", &c.alarm_d[alarm_limits::HumidityLowAt(ch)], 1);
  }

  const Json& offsets = Member(Member(in, "calibration", ""), "channels", "/calibration");
  for (int ch = 1; ch <= 8; ++ch) {
    const std::string path = "/calibration/channels/" + std::to_string(ch - 1);
    const Json& entry = Element(offsets, static_cast<std::size_t>(ch - 1), 8, "/calibration/channels");
    Raw(Member(entry, "temperature_offset", path), path + "/temperature_offset", &c.calibration[calibration::TemperatureAt(ch)], 2);
    Raw(Member(entry, "humidity_offset", path), path + "/humidity_offset", &c.calibration[calibration::HumidityAt(ch)], 1);
  }
  return c;
}

}  // namespace

bool UnitConfiguration::EightArea() const { return IsEightAreaModel(identification); }

const char* ModelName(bool eight_area) { return eight_area ? "eight-area" : "five-area"; }

std::string AreaContents(std::uint32_t mask) {
  std::string text;
  const char* kinds[3] = {"temperature", "dew point", "heat index"};
  for (int c = 1; c <= 8; ++c) {
    for (int r = 0; r < 3; ++r) {
      if (mask >> (3 * (c - 1) + r) & 1u) text += (text.empty() ? "" : ", ") + ("CH" + std::to_string(c) + " " + kinds[r]);
    }
  }
  return text.empty() ? "-" : text;
}

std::string BackupJson(const UnitConfiguration& config) {
  return ToJson(config).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// A backup nests five levels deep. Deeper text is refused before it is
// parsed: the comparisons below recurse once per level.
constexpr int kMaxDepth = 32;

bool TooDeep(std::string_view text) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// nlohmann keeps the last of two equal keys without a word, and a reader of
// the file may well have looked at the first: a key given twice is refused,
// named with both lines. Keys compare as JSON reads them ("a" and "\u0061"
// are one key). Runs on text the parser took, so every token is well formed.
std::string DuplicateKey(std::string_view text) {
  struct Level {
    bool object;
    std::string pointer;
    std::map<std::string, int> keys;  // key -> line
    bool expect_key = true;
    std::size_t index = 0;
    std::string last_key;
  };
  std::vector<Level> levels;
  int line = 1;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '\n') {
      ++line;
    } else if (c == '"') {
      const std::size_t start = at;
      for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] == '\\') ++at;
      }
      if (levels.empty() || !levels.back().object || !levels.back().expect_key) continue;
      Level& level = levels.back();
      const std::string key = nlohmann::json::parse(std::string(text.substr(start, at - start + 1))).get<std::string>();
      const auto [seen, fresh] = level.keys.emplace(key, line);
      if (!fresh) {
        return (level.pointer.empty() ? "/" : level.pointer) + ": the key \"" + key + "\" twice, on lines " +
               std::to_string(seen->second) + " and " + std::to_string(line);
      }
      level.expect_key = false;
      level.last_key = key;
    } else if (c == '{' || c == '[') {
      std::string pointer;
      if (!levels.empty()) {
        const Level& parent = levels.back();
        pointer = parent.pointer + "/" + (parent.object ? parent.last_key : std::to_string(parent.index));
      }
      levels.push_back({c == '{', pointer, {}, true, 0, {}});
    } else if (c == '}' || c == ']') {
      if (!levels.empty()) levels.pop_back();
    } else if (c == ',' && !levels.empty()) {
      levels.back().expect_key = true;
      ++levels.back().index;
    }
  }
  return {};
}

// nlohmann's message without the text it last read: a file given by mistake
// (a key, a password) is never echoed.
std::string SyntaxError(const std::string& what) {
  std::string message = what;
  if (const std::size_t read = message.find("; last read:"); read != std::string::npos) message.erase(read);
  if (const std::size_t at = message.find(" at line "); at != std::string::npos) message.erase(0, at + 4);
  return message;
}

// A text nlohmann must not be given; "" when it may parse it.
std::string UnsafeText(std::string_view text) {
  if (TooDeep(text)) return "not a backup: nested deeper than " + std::to_string(kMaxDepth) + " levels";
  // nlohmann ends its input at a NUL and would take the text before it
  // alone: a NUL anywhere is no backup.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    const auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n') + 1;
    return "not a JSON text: a NUL byte on line " + std::to_string(line);
  }
  return {};
}

// The readable values must say what the raw bytes say: a restore writes
// only the raw bytes, and an edit of the value alone would be lost. The
// first place the file differs from the backup of its own configuration;
// "" when it does nowhere.
std::string Disagreement(const Json& in, const UnitConfiguration& config) {
  const nlohmann::json given = nlohmann::json::parse(in.dump());
  const nlohmann::json expected = nlohmann::json::parse(ToJson(config).dump());
  if (given == expected) return {};
  const nlohmann::json patch = nlohmann::json::diff(given, expected);
  const std::string op = patch[0]["op"], path = patch[0]["path"];
  if (op == "remove") return path + ": not part of a backup";
  if (op == "add") return path + ": missing";
  return path + ": does not agree with the raw bytes beside it (a restore writes the raw bytes; change both)";
}

BackupParse Refused(std::string error) {
  BackupParse result;
  result.error = std::move(error);
  return result;
}

BackupParse ParseChecked(std::string_view text) {
  if (std::string unsafe = UnsafeText(text); !unsafe.empty()) return Refused(std::move(unsafe));
  Json in;
  try {
    in = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    // Syntax, and numbers beyond any range ("minutes": 1e400).
    return Refused("not a JSON text: " + SyntaxError(e.what()));
  }
  if (std::string twice = DuplicateKey(text); !twice.empty()) return Refused(std::move(twice));
  UnitConfiguration config;
  try {
    config = FromJson(in);
  } catch (const BadField& e) {
    return Refused(e.what());
  }
  if (!ranges::kIntervalMinutes.Holds(config.interval)) {
    return Refused("/interval: " + std::to_string(config.interval) + " minutes; the unit takes 5 to 240");
  }
  if (std::string differs = Disagreement(in, config); !differs.empty()) return Refused(std::move(differs));
  // What no dialog would write, a restore does not write either.
  if (const auto bad = CheckConfiguration(config)) return Refused(bad->field + ": " + bad->reason);
  BackupParse result;
  result.config = config;
  return result;
}

}  // namespace

std::optional<ranges::OutOfRange> CheckConfiguration(const UnitConfiguration& c) {
  if (auto bad = ranges::CheckInterval(c.interval)) return bad;
  if (auto bad = ranges::CheckSettingsBlock(c.settings)) return bad;
  if (auto bad = ranges::CheckAlarmBlocks(c.alarm_a, c.alarm_c, c.alarm_d)) return bad;
  return ranges::CheckCalibrationBlock(c.calibration);
}

BackupParse ParseBackupJson(std::string_view text) {
  try {
    return ParseChecked(text);
  } catch (const nlohmann::json::exception& e) {
    // Any other surprise of the library is a text this program cannot use.
    BackupParse result;
    result.error = "not a usable backup: " + SyntaxError(e.what());
    return result;
  }
}

std::vector<RestoreSequence> RestoreSequences(const UnitConfiguration& c) {
  const Payload& s = c.settings;
  SettingsFields fields;
  fields.graph_type = s[settings::kGraphType];
  fields.graph_span = s[settings::kGraphSpan];
  fields.time_format = s[settings::kTimeFormat];
  fields.date_format = s[settings::kDateFormat];
  fields.dst = s[settings::kDst];
  fields.time_zone = s[settings::kTimeZone];
  fields.unit = s[settings::kUnit];
  for (std::size_t a = 0; a < fields.masks.size(); ++a) {
    fields.masks[a] = ReadMask(s, settings::kFirstMask + settings::kMaskSize * a);
  }

  AlarmSwitches switches;
  switches.humidity_switch = c.alarm_a[alarm_a::kHumiditySwitch];
  switches.temperature_switch = c.alarm_a[alarm_a::kTemperatureSwitch];
  switches.humidity_high = c.alarm_a[alarm_a::kHumidityHigh];
  switches.humidity_low = c.alarm_a[alarm_a::kHumidityLow];
  switches.temperature_high = c.alarm_a[alarm_a::kTemperatureHigh];
  switches.temperature_low = c.alarm_a[alarm_a::kTemperatureLow];
  AlarmTemperatureWords words;
  AlarmHumidityBytes humidity;
  CalibrationRaw offsets;
  for (int ch = 1; ch <= 8; ++ch) {
    const auto i = static_cast<std::size_t>(ch - 1);
    const std::size_t hi = alarm_limits::TemperatureHighAt(ch), lo = alarm_limits::TemperatureLowAt(ch);
    words.high[i] = {c.alarm_c[hi], c.alarm_c[hi + 1]};
    words.low[i] = {c.alarm_c[lo], c.alarm_c[lo + 1]};
    humidity.high[i] = c.alarm_d[alarm_limits::HumidityHighAt(ch)];
    humidity.low[i] = c.alarm_d[alarm_limits::HumidityLowAt(ch)];
    const std::size_t at = calibration::TemperatureAt(ch);
    offsets.temperature[i] = {c.calibration[at], c.calibration[at + 1]};
    offsets.humidity[i] = c.calibration[calibration::HumidityAt(ch)];
  }
  return {
      {"settings", kDialogWrite, {BuildSettingsFrame(fields, c.EightArea())}},
      {"alarms", kDialogWrite,
       {BuildAlarmSwitchFrame(switches), BuildAlarmTemperatureFrame(words), BuildAlarmHumidityFrame(humidity)}},
      {"calibration", kDialogWrite, {BuildCalibrationFrame(offsets)}},
      {"interval", kIntervalWrite, {BuildIntervalFrame(c.interval)}},
  };
}

std::vector<std::string> DifferingBlocks(const UnitConfiguration& wanted, const UnitConfiguration& read) {
  // The same rule as every verified write of the session (device/WriteMap.h):
  // the wanted block is put where its write frame carries it.
  const bool eight = wanted.EightArea();
  const auto holds = [eight](std::uint8_t write_command, const Payload& block, const Payload& answer) {
    Payload frame{};
    for (std::size_t k = 0; k + kFrameShift < frame.size(); ++k) frame[k + kFrameShift] = block[k];
    return HoldsWritten(*FindWrittenBlock(write_command), frame, answer, eight);
  };
  std::vector<std::string> blocks;
  if (!holds(code::kWriteSettings, wanted.settings, read.settings)) blocks.push_back("settings");
  if (!holds(code::kWriteAlarmSwitches, wanted.alarm_a, read.alarm_a) ||
      !holds(code::kWriteAlarmTemperature, wanted.alarm_c, read.alarm_c) ||
      !holds(code::kWriteAlarmHumidity, wanted.alarm_d, read.alarm_d)) {
    blocks.push_back("alarms");
  }
  if (!holds(code::kWriteCalibration, wanted.calibration, read.calibration)) blocks.push_back("calibration");
  if (wanted.interval != read.interval) blocks.push_back("interval");
  return blocks;
}

std::string FrameHex(const Payload& frame) {
  std::string text;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (i) text += ' ';
    text += Hex(&frame[i], 1);
  }
  return text;
}

}  // namespace norvo
