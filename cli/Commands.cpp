#include "Commands.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "settings/DataFolder.h"
#include "config/ParameterBlocks.h"
#include <optional>

#include "session/UnitSession.h"
#include "device/Exchange.h"
#include "device/Frames.h"
#include "device/HidapiTransport.h"
#include "device/LiveReadings.h"
#include "device/Responses.h"
#include "history/Import.h"
#include "history/Transfer.h"
#include "monitor/Format.h"
#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"

namespace fs = std::filesystem;

namespace norvo::cli {
namespace {

constexpr const char* kUsage =
    "usage: norvoctl [--simulate] [--data-dir DIR] [--lang English|Deutsch] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  live [--json] [--watch SECONDS]   the eight channels: temperature, humidity, dew point\n"
    "  settings [--json]                 the unit's settings block and logging interval\n"
    "  alarms [--json]                   alarm switches, limits and enables per channel\n"
    "  calibration [--json]              calibration offsets per channel\n"
    "  set interval MINUTES              logging interval, 5 to 240 minutes\n"
    "  set language English|Deutsch      Main.ini and the unit's language\n"
    "  sync-time                         set the unit's clock to this computer's local time\n"
    "  sd list [--json]                  the files on the unit's SD card\n"
    "  sd get NAME [--import]            download a card file into the data folder (resumes)\n"
    "  sd rm NAME                        delete a card file, its local copy and the stored records\n"
    "  export --from TIME --to TIME [--column Temperature|Humidity|DewPoint|Heatindex] [--csv|--json]\n"
    "                                    stored readings after --from up to and including --to;\n"
    "                                    TIME as \"YYYY-MM-DD hh:mm:ss\"\n"
    "\n"
    "exit status: 0 done, 1 no unit found, 2 the unit refused a write, 3 bad arguments or input,\n"
    "4 a store or file error, 5 the unit is in use by another process. Data goes to standard output,\n"
    "messages to standard error.\n";

std::atomic<bool> g_interrupted{false};

struct Options {
  bool simulate = false;
  bool json = false;
  bool csv = false;
  bool help = false;
  bool import = false;
  std::string data_dir;
  std::string lang;
  std::string fault;  // simulated unit only: unplugged, silent, refuse, short-block, ignore-writes, open-failure
  std::string from, to, column = "Temperature";
  int watch = 0;
  std::vector<std::string> words;
};

class Failure {
 public:
  Failure(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int code_;
  std::string message_;
};

Options Parse(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw Failure(kBadInput, a + " needs a value");
      return args[++i];
    };
    if (a == "--simulate") {
      o.simulate = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--csv") {
      o.csv = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--import") {
      o.import = true;
    } else if (a == "--data-dir") {
      o.data_dir = value();
    } else if (a == "--lang") {
      o.lang = value();
      if (o.lang != "English" && o.lang != "Deutsch") throw Failure(kBadInput, "--lang takes English or Deutsch");
    } else if (a == "--sim-fault") {
      o.fault = value();
    } else if (a == "--from") {
      o.from = value();
    } else if (a == "--to") {
      o.to = value();
    } else if (a == "--column") {
      o.column = value();
    } else if (a == "--watch") {
      const std::string v = value();
      o.watch = LeadingInteger(v);
      if (o.watch < 1 || std::to_string(o.watch) != v) throw Failure(kBadInput, "--watch takes whole seconds, 1 or more");
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      throw Failure(kBadInput, "unknown option " + a);
    } else {
      o.words.push_back(a);
    }
  }
  return o;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Number(double v, int decimals = 1) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// The unit's temperature in its display unit, one decimal, or null/"--".
std::string TemperatureValue(float celsius, int unit_flag, bool json) {
  if (celsius == kInvalidTemperature) return json ? "null" : "--";
  return Number(unit_flag ? celsius * 1.8 + 32 : celsius);
}

// Pads to a width in characters, not bytes: the degree sign takes two bytes.
std::string Pad(const std::string& text, std::size_t width) {
  std::size_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
  return chars >= width ? text + " " : text + std::string(width - chars, ' ');
}

std::string Latin1(const std::string& bytes) {
  return Latin1ToUtf8(bytes);
}

// The transport (real or simulated) and the one unit session over it.
class Session {
 public:
  Session(const Options& o, const fs::path& data_folder) {
    if (o.simulate) {
      unit_ = std::make_unique<sim::SimUnit>(sim::SimUnit::Options{.eight_area = true, .pacing = true, .seed = 1, .default_card = true});
      auto sim = std::make_unique<sim::SimTransport>();
      sim->AddUnit(unit_.get(), "sim:unit");
      if (o.fault == "unplugged") unit_->Unplug();
      if (o.fault == "silent") unit_->SetSilent(true);
      if (o.fault == "refuse") unit_->SetRefuseWrites(true);
      if (o.fault == "short-block") unit_->SetShortBlocks(1);
      if (o.fault == "ignore-writes") unit_->SetIgnoreWrites(true);
      if (o.fault == "open-failure") unit_->SetOpenFailure(true);
      transport_ = std::move(sim);
    } else {
      if (!o.fault.empty()) throw Failure(kBadInput, "--sim-fault goes with --simulate");
      transport_ = std::make_unique<HidapiTransport>();
    }
    std::string scale_error;
    const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
    if (!scale) throw Failure(kBadInput, scale_error);
    session_ = std::make_unique<UnitSession>(*transport_, data_folder, UnitSession::SessionOptions(*scale));
    session_->ResponseDispatcher().SetListReceiver(true);
    const OpenState state = session_->Open();
    if (state == OpenState::kInUse) throw Failure(kInUse, session_->StateMessage());
    if (state != OpenState::kOpened) throw Failure(kNoUnit, session_->StateMessage());
  }
  ~Session() { session_->Stop(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  UnitSession& Unit() { return *session_; }
  DeviceLink& Link() { return session_->Link(); }
  ResponseStore& Store() { return session_->Responses(); }
  CardTransfer& Transfer() { return session_->Transfer(); }

  // The settings sequence; fails when the unit does not answer at all.
  void ReadSettings() {
    if (!session_->ReadSettings()) throw Failure(kNoUnit, "The unit does not answer.");
  }

 private:
  std::unique_ptr<sim::SimUnit> unit_;
  std::unique_ptr<Transport> transport_;
  std::unique_ptr<UnitSession> session_;
};

// ---- commands ------------------------------------------------------------------

void Live(const Options& o, Session& s, std::FILE* out) {
  s.ReadSettings();
  for (;;) {
    if (!s.Unit().ReadLive()) throw Failure(kNoUnit, "The unit does not answer.");
    const LiveReadings r = DecodeLiveReadings(s.Store().Block(response::kLive));
    const int unit = s.Link().UnitFlag();
    const char* sign = unit ? "\u00B0F" : "\u00B0C";
    if (o.json) {
      std::fprintf(out, "{\"unit\": \"%s\", \"channels\": [", sign);
      for (int k = 0; k < kChannels; ++k) {
        const float t = r.temperature[k];
        const int h = r.humidity[k];
        const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, h);
        std::fprintf(out, "%s{\"channel\": %d, \"temperature\": %s, \"humidity\": %s, \"dew_point\": %s}",
                     k ? ", " : "", k + 1, TemperatureValue(t, unit, true).c_str(),
                     h == kInvalidHumidity ? "null" : std::to_string(h).c_str(), TemperatureValue(dew, unit, true).c_str());
      }
      std::fprintf(out, "]}\n");
    } else {
      std::fprintf(out, "%-8s%-14s%-10s%s\n", "channel", "temperature", "humidity", "dew point");
      for (int k = 0; k < kChannels; ++k) {
        const float t = r.temperature[k];
        const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, r.humidity[k]);
        const std::string ts = FormatTemperature(t, kFullText, unit), hs = FormatHumidity(r.humidity[k], kFullText);
        std::fprintf(out, "CH%-6d%s%s%s\n", k + 1, Pad(ts, 14).c_str(), Pad(hs, 10).c_str(),
                     FormatTemperature(dew, kFullText, unit).c_str());
      }
    }
    std::fflush(out);
    if (o.watch == 0) return;
    for (int i = 0; i < o.watch * 10 && !g_interrupted.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (g_interrupted.load()) return;
  }
}

std::string AreaText(std::uint32_t mask) {
  std::string text;
  const char* kinds[3] = {"temperature", "dew point", "heat index"};
  for (int c = 1; c <= 8; ++c) {
    for (int r = 0; r < 3; ++r) {
      if (mask >> (3 * (c - 1) + r) & 1u) text += (text.empty() ? "" : ", ") + ("CH" + std::to_string(c) + " " + kinds[r]);
    }
  }
  return text.empty() ? "-" : text;
}

void Settings(const Options& o, Session& s, std::FILE* out) {
  s.ReadSettings();
  const Payload b = s.Store().Block(response::kSettings);
  const bool eight = IsEightAreaModel(s.Store().Identification());
  const char* graph[4] = {"Temperature", "Humidity", "DewPoint", "HeatIndex"};
  const char* times[3] = {"h:mm:ss", "AM h:mm:ss", "h:mm:ss AM"};
  const char* dates[3] = {"YYYY-MM-DD", "MM-DD-YYYY", "DD-MM-YYYY"};
  const auto pick = [](const char* const* names, int n, int v) { return v < n ? std::string(names[v]) : std::to_string(v); };
  const int zone = static_cast<std::int8_t>(b[settings::kTimeZone]);
  const int span = b[settings::kGraphSpan];
  const int areas = eight ? 8 : 5;
  if (o.json) {
    std::fprintf(out, "{\"graph_type\": %s, \"graph_span_hours\": %d, \"time_format\": %s, \"date_format\": %s, "
                      "\"dst\": %s, \"time_zone\": %d, \"unit\": \"%s\", \"interval_minutes\": %d, \"model\": \"%s\", "
                      "\"areas\": [",
                 Json(pick(graph, 4, b[1])).c_str(), span, Json(pick(times, 3, b[3])).c_str(),
                 Json(pick(dates, 3, b[4])).c_str(), b[5] ? "true" : "false", zone, b[7] ? "\u00B0F" : "\u00B0C",
                 s.Store().Interval(), eight ? "eight-area" : "five-area");
    for (int a = 0; a < areas; ++a) {
      const std::uint32_t mask = ReadMask(b, settings::kFirstMask + settings::kMaskSize * a);
      std::fprintf(out, "%s{\"area\": %d, \"mask\": %u, \"shows\": %s}", a ? ", " : "", a + 1, mask, Json(AreaText(mask)).c_str());
    }
    std::fprintf(out, "]}\n");
    return;
  }
  std::fprintf(out, "graph type:   %s\ngraph span:   %d h\ntime format:  %s\ndate format:  %s\nDST:          %s\n"
                    "time zone:    %+d\nunit:         %s\ninterval:     %d min\nmodel:        %s\n",
               pick(graph, 4, b[1]).c_str(), span, pick(times, 3, b[3]).c_str(), pick(dates, 3, b[4]).c_str(),
               b[5] ? "ON" : "OFF", zone, b[7] ? "\u00B0F" : "\u00B0C", s.Store().Interval(),
               eight ? "eight-area" : "five-area");
  for (int a = 0; a < areas; ++a) {
    std::fprintf(out, "CH Area%d:     %s\n", a + 1, AreaText(ReadMask(b, settings::kFirstMask + settings::kMaskSize * a)).c_str());
  }
}

void Alarms(const Options& o, Session& s, std::FILE* out) {
  s.ReadSettings();
  if (!s.Unit().ReadAlarms()) throw Failure(kNoUnit, "The unit does not answer.");
  const Payload a = s.Store().Block(response::kAlarmA), c = s.Store().Block(response::kAlarmC),
                d = s.Store().Block(response::kAlarmD);
  const int unit = s.Link().UnitFlag();
  const auto temp = [&](std::size_t at) { return TemperatureValue(DecodeTemperatureWord(c[at], c[at + 1]), unit, o.json); };
  const auto hum = [&](std::size_t at) {
    const int h = DecodeHumidityByte(d[at]);
    return h == kInvalidHumidity ? std::string(o.json ? "null" : "--") : std::to_string(h);
  };
  const auto on = [&](std::size_t at, int ch) { return (a[at] >> (ch - 1) & 1) != 0; };
  if (o.json) {
    std::fprintf(out, "{\"unit\": \"%s\", \"temperature_alarm\": %s, \"humidity_alarm\": %s, \"channels\": [",
                 unit ? "\u00B0F" : "\u00B0C", a[alarm_a::kTemperatureSwitch] == 0 ? "true" : "false",
                 a[alarm_a::kHumiditySwitch] == 0 ? "true" : "false");
    for (int ch = 1; ch <= 8; ++ch) {
      std::fprintf(out,
                   "%s{\"channel\": %d, \"temperature_high\": %s, \"temperature_high_enabled\": %s, \"temperature_low\": %s, "
                   "\"temperature_low_enabled\": %s, \"humidity_high\": %s, \"humidity_high_enabled\": %s, "
                   "\"humidity_low\": %s, \"humidity_low_enabled\": %s}",
                   ch > 1 ? ", " : "", ch, temp(alarm_limits::TemperatureHighAt(ch)).c_str(),
                   on(alarm_a::kTemperatureHigh, ch) ? "true" : "false", temp(alarm_limits::TemperatureLowAt(ch)).c_str(),
                   on(alarm_a::kTemperatureLow, ch) ? "true" : "false", hum(alarm_limits::HumidityHighAt(ch)).c_str(),
                   on(alarm_a::kHumidityHigh, ch) ? "true" : "false", hum(alarm_limits::HumidityLowAt(ch)).c_str(),
                   on(alarm_a::kHumidityLow, ch) ? "true" : "false");
    }
    std::fprintf(out, "]}\n");
    return;
  }
  std::fprintf(out, "temperature alarm: %s\nhumidity alarm:    %s\n", a[alarm_a::kTemperatureSwitch] == 0 ? "ON" : "OFF",
               a[alarm_a::kHumiditySwitch] == 0 ? "ON" : "OFF");
  std::fprintf(out, "%-8s%-12s%-12s%-10s%s\n", "channel", "temp high", "temp low", "hum high", "hum low");
  const auto cell = [](const std::string& v, bool enabled) { return v + (enabled ? "" : " (off)"); };
  for (int ch = 1; ch <= 8; ++ch) {
    std::fprintf(out, "CH%-6d%-12s%-12s%-10s%s\n", ch,
                 cell(temp(alarm_limits::TemperatureHighAt(ch)), on(alarm_a::kTemperatureHigh, ch)).c_str(),
                 cell(temp(alarm_limits::TemperatureLowAt(ch)), on(alarm_a::kTemperatureLow, ch)).c_str(),
                 cell(hum(alarm_limits::HumidityHighAt(ch)), on(alarm_a::kHumidityHigh, ch)).c_str(),
                 cell(hum(alarm_limits::HumidityLowAt(ch)), on(alarm_a::kHumidityLow, ch)).c_str());
  }
}

void Calibration(const Options& o, Session& s, std::FILE* out) {
  s.ReadSettings();
  if (!s.Unit().ReadCalibration()) throw Failure(kNoUnit, "The unit does not answer.");
  const Payload b = s.Store().Block(response::kCalibration);
  const int unit = s.Link().UnitFlag();
  if (o.json) std::fprintf(out, "{\"unit\": \"%s\", \"channels\": [", unit ? "\u00B0F" : "\u00B0C");
  if (!o.json) std::fprintf(out, "%-8s%-14s%s\n", "channel", "temperature", "humidity");
  for (int ch = 1; ch <= 8; ++ch) {
    const std::size_t at = calibration::TemperatureAt(ch);
    const float word = DecodeTemperatureWord(b[at], b[at + 1]);
    const int h = static_cast<std::int8_t>(b[calibration::HumidityAt(ch)]);
    const std::string t = word == kInvalidTemperature ? "null" : FormatTemperature(word, kDifference, unit);
    if (o.json) {
      std::fprintf(out, "%s{\"channel\": %d, \"temperature_offset\": %s, \"humidity_offset\": %d}", ch > 1 ? ", " : "", ch,
                   t.c_str(), h);
    } else {
      std::fprintf(out, "CH%-6d%s%d %%\n", ch,
                   Pad(word == kInvalidTemperature ? "--" : t + " " + (unit ? "\u00B0F" : "\u00B0C"), 14).c_str(), h);
    }
  }
  if (o.json) std::fprintf(out, "]}\n");
}

// Writes, then reads back what the unit offers a read of. A write that did not
// take ends the command: refused or read back otherwise 2, no answer 1.
void WriteChecked(Session& s, std::span<const Payload> frames, const WriteTiming& timing) {
  std::string block;
  switch (s.Unit().WriteVerified(frames, timing, &block)) {
    case WriteOutcome::kWritten:
      return;
    case WriteOutcome::kRefused:
      throw Failure(kRefused, UIString(ui::kSwitchToMainScreen));
    case WriteOutcome::kNoAnswer:
      throw Failure(kNoUnit, "The unit does not answer; nothing was written.");
    case WriteOutcome::kNotConnected:
      throw Failure(kNoUnit, "No unit found.");
    case WriteOutcome::kDifferent:
      throw Failure(kRefused, "The unit did not take the " + block + ": it reads back otherwise.");
    case WriteOutcome::kUnverified:
      throw Failure(kNoUnit, "Written, but the unit did not answer the check of the " + block + ".");
  }
}

// The minutes were checked before the session opened.
int SetInterval(const Options& o, Session& s, std::FILE* err) {
  const Payload frames[] = {BuildIntervalFrame(LeadingInteger(o.words[2]))};
  WriteChecked(s, frames, kIntervalWrite);
  std::fprintf(err, "%s\n", UIString(ui::kSetIntervalSuccess).c_str());
  return kOk;
}

int SyncTime(Session& s, std::FILE* err) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const Payload frames[] = {BuildClockFrame({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                             local.tm_min, local.tm_sec, local.tm_wday})};
  WriteChecked(s, frames, kClockWrite);
  std::fprintf(err, "%s\n", UIString(231).c_str());
  return kOk;
}

int SetLanguage(const Options& o, Session& s, const fs::path& data_folder, std::FILE* err) {
  const std::string& language = o.words[2];
  // Main.ini first, as the Language dialog does: a refusal still switches the console.
  if (!WriteLanguageSetting(data_folder, language)) {
    throw Failure(kStoreError, "Cannot write " + (data_folder / kSettingsFile).string());
  }
  const Payload frames[] = {BuildLanguageFrame(language == "English")};
  WriteChecked(s, frames, kDialogWrite);
  std::fprintf(err, "language: %s\n", language.c_str());
  return kOk;
}

void ListFiles(const Options& o, Session& s, std::FILE* out) {
  CardTransfer& t = s.Transfer();
  t.ClearList();
  t.RequestFileList();
  if (o.json) std::fprintf(out, "[");
  for (int i = 0; i < t.Count(); ++i) {
    const std::string name = t.Name(i);
    if (o.json) {
      std::fprintf(out, "%s{\"name\": %s, \"size\": %lld, \"size_text\": %s}", i ? ", " : "", Json(Latin1(name)).c_str(),
                   static_cast<long long>(t.SizeOf(name)), Json(t.SizeTextAt(i)).c_str());
    } else {
      std::fprintf(out, "%-20s %12s\n", Latin1(name).c_str(), t.SizeTextAt(i).c_str());
    }
  }
  if (o.json) std::fprintf(out, "]\n");
}

int GetFile(const Options& o, Session& s, const fs::path& data_folder, std::FILE* out, std::FILE* err) {
  if (o.words.size() != 3) throw Failure(kBadInput, "sd get takes NAME");
  const std::string& name = o.words[2];
  if (const std::string reason = UnsafeNameReason(name); !reason.empty()) throw Failure(kBadInput, reason);
  CardTransfer& t = s.Transfer();
  t.ClearList();
  t.RequestFileList();
  if (t.SizeOf(name) < 0) throw Failure(kBadInput, name + ": not on the card");
  const bool bar = ::isatty(::fileno(err)) != 0;
  std::atomic<int> range{1};
  if (bar) {
    t.SetHooks({[&](int r) { range.store(std::max(r, 1)); },
                [&, err](int position) {
                  const int percent = std::min(100, static_cast<int>(100LL * position / range.load()));
                  std::fprintf(err, "\r[%-40s] %3d%%", std::string(static_cast<std::size_t>(percent * 40 / 100), '#').c_str(), percent);
                },
                {}});
  }
  const DownloadOutcome d = t.DownloadFile(name);
  if (bar) std::fprintf(err, "\n");
  t.SetHooks({});
  if (d.status != DownloadStatus::kDone && d.status != DownloadStatus::kBlockFailed) throw Failure(kStoreError, d.message);
  if (d.status == DownloadStatus::kBlockFailed) std::fprintf(err, "%s\n", d.message.c_str());
  std::fprintf(out, "%s\n", t.LocalPath(name).string().c_str());
  if (o.import) {
    std::string store_error;
    RecordStore store([&](const std::string& e) { store_error = e; });
    // Without a desktop locale, a date whose day and month are both 12 or
    // less is read month first.
    const ImportResult r = ImportLocalCopy(name, t.LocalPath(name), (data_folder / kDatabaseFile).string(),
                                           DayOrder::kMonthFirst, store);
    if (!r.opened) throw Failure(kStoreError, r.message);
    if (!r.stored) throw Failure(kStoreError, store_error.empty() ? r.message : store_error);
    std::fprintf(err, "imported %zu lines\n", r.rows.size());
  }
  return d.status == DownloadStatus::kDone ? kOk : kStoreError;
}

int RemoveFile(const Options& o, Session& s, const fs::path& data_folder, std::FILE* err) {
  if (o.words.size() != 3) throw Failure(kBadInput, "sd rm takes NAME");
  const std::string& name = o.words[2];
  if (const std::string reason = UnsafeNameReason(name); !reason.empty()) throw Failure(kBadInput, reason);
  s.Transfer().DeleteCardFile(name);
  std::error_code ec;
  fs::remove(s.Transfer().LocalPath(name), ec);
  std::string store_error;
  RecordStore store([&](const std::string& e) { store_error = e; });
  if (store.Connect((data_folder / kDatabaseFile).string()) < 0 || store.DeleteAllRecords() != 0) {
    throw Failure(kStoreError, store_error);
  }
  std::fprintf(err, "deleted %s\n", name.c_str());
  return kOk;
}

std::string IsoTime(double ole) {
  const DateTime t = FromOleDate(ole);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

int Export(const Options& o, const fs::path& data_folder, std::FILE* out) {
  const auto span = [](std::string text, const char* what) {
    for (char& c : text) c = c == 'T' ? ' ' : c;
    double v = 0;
    if (!ParseSpanTime(text, &v)) throw Failure(kBadInput, std::string(what) + " takes \"YYYY-MM-DD hh:mm:ss\"");
    return FormatSpanTime(v);
  };
  if (o.from.empty() || o.to.empty()) throw Failure(kBadInput, "export needs --from and --to");
  const std::string from = span(o.from, "--from"), to = span(o.to, "--to");
  const std::string known[] = {"Temperature", "Humidity", "DewPoint", "Heatindex"};
  if (std::find(std::begin(known), std::end(known), o.column) == std::end(known)) {
    throw Failure(kBadInput, "--column takes Temperature, Humidity, DewPoint or Heatindex");
  }
  const std::string db = (data_folder / kDatabaseFile).string();
  if (!fs::exists(db)) throw Failure(kStoreError, db + ": no record store");
  std::string error;
  RecordStore store([&](const std::string& e) { error = e; });
  if (store.Connect(db) < 0 || store.QueryRecords(from, to, o.column) != 0) throw Failure(kStoreError, error);
  if (o.json) {
    std::fprintf(out, "[");
  } else {
    std::fprintf(out, "time,%s\n", o.column.c_str());
  }
  double time;
  float value;
  bool first = true;
  while (store.NextRow(&time, &value)) {
    // The value as the Graph draws it: a float widened to double.
    const std::string v = Number(static_cast<double>(value), o.column == "Humidity" ? 0 : 1);
    if (o.json) {
      std::fprintf(out, "%s{\"time\": \"%s\", \"value\": %s}", first ? "" : ", ", IsoTime(time).c_str(), v.c_str());
    } else {
      std::fprintf(out, "%s,%s\n", IsoTime(time).c_str(), v.c_str());
    }
    first = false;
  }
  if (!error.empty()) throw Failure(kStoreError, error);
  if (o.json) std::fprintf(out, "]\n");
  return kOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::signal(SIGINT, [](int) { g_interrupted.store(true); });
  try {
    const Options o = Parse(args);
    if (o.help || o.words.empty()) {
      std::fputs(kUsage, o.help ? out : err);
      return o.help ? kOk : kBadInput;
    }
    const fs::path data_folder = o.data_dir.empty() ? ChooseDataFolder() : fs::path(o.data_dir);
    if (!o.data_dir.empty()) {
      std::error_code ec;
      fs::create_directories(data_folder, ec);
      if (!fs::is_directory(data_folder)) throw Failure(kStoreError, o.data_dir + ": not a folder");
    }
    LoadUIStrings(LanguageIdFor(o.lang.empty() ? ReadLanguageSetting(data_folder) : o.lang));

    const std::string& command = o.words[0];
    const auto want = [&](std::size_t n, const char* usage) {
      if (o.words.size() != n) throw Failure(kBadInput, std::string("usage: norvoctl ") + usage);
    };
    if (command == "export") {
      want(1, "export --from TIME --to TIME [--column NAME] [--csv|--json]");
      return Export(o, data_folder, out);
    }
    if (command == "live") {
      want(1, "live [--json] [--watch SECONDS]");
    } else if (command == "settings" || command == "alarms" || command == "calibration" || command == "sync-time") {
      want(1, (command + " [--json]").c_str());
    } else if (command == "set") {
      if (o.words.size() != 3 || (o.words[1] != "interval" && o.words[1] != "language")) {
        throw Failure(kBadInput, "usage: norvoctl set interval MINUTES | set language English|Deutsch");
      }
      if (o.words[1] == "language" && o.words[2] != "English" && o.words[2] != "Deutsch") {
        throw Failure(kBadInput, "set language takes English or Deutsch");
      }
      if (o.words[1] == "interval") {
        const int v = LeadingInteger(o.words[2]);
        if (std::to_string(v) != o.words[2] || v < 5 || v > 240) throw Failure(kBadInput, UIString(237));
      }
    } else if (command == "sd") {
      if (o.words.size() < 2 || (o.words[1] != "list" && o.words[1] != "get" && o.words[1] != "rm")) {
        throw Failure(kBadInput, "usage: norvoctl sd list | sd get NAME [--import] | sd rm NAME");
      }
      if (o.words[1] == "list") want(2, "sd list [--json]");
    } else {
      throw Failure(kBadInput, "unknown command " + command + " (norvoctl --help lists them)");
    }

    Session session(o, data_folder);
    if (command == "live") Live(o, session, out);
    if (command == "settings") Settings(o, session, out);
    if (command == "alarms") Alarms(o, session, out);
    if (command == "calibration") Calibration(o, session, out);
    if (command == "sync-time") return SyncTime(session, err);
    if (command == "set" && o.words[1] == "interval") return SetInterval(o, session, err);
    if (command == "set" && o.words[1] == "language") return SetLanguage(o, session, data_folder, err);
    if (command == "sd" && o.words[1] == "list") ListFiles(o, session, out);
    if (command == "sd" && o.words[1] == "get") return GetFile(o, session, data_folder, out, err);
    if (command == "sd" && o.words[1] == "rm") return RemoveFile(o, session, data_folder, err);
    return kOk;
  } catch (const Failure& f) {
    std::fprintf(err, "norvoctl: %s\n", f.message_.c_str());
    return f.code_;
  }
}

}  // namespace norvo::cli
