// Backup and restore of the unit's configuration: the JSON text, its checks,
// the frames a restore sends, and the round trip through the simulated unit
// in-process (one unit whose state the test can change and look at).

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/Restore.h"
#include "config/Backup.h"
#include "config/ParameterBlocks.h"
#include "device/Frames.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "support/TestSupport.h"

namespace norvo {
namespace {

// A simulated unit and one session with it, waits shortened tenfold for both.
struct Rig : testing::SimRig {
  explicit Rig(bool eight_area = true)
      : SimRig({.eight_area = eight_area, .pacing = false, .seed = 7, .default_card = false}, 0.1) {
    UnitSession::Options options;
    options.lock_unit = false;
    options.time_scale = 0.1;
    session = std::make_unique<UnitSession>(transport, folder.path, options);
    EXPECT_EQ(session->Open(), OpenState::kOpened);
  }
  ~Rig() { session->Stop(); }

  UnitConfiguration Read() {
    UnitConfiguration c;
    EXPECT_TRUE(cli::ReadConfiguration(*session, &c));
    return c;
  }
  // What the unit itself holds, straight from the simulation.
  UnitConfiguration Held() const {
    UnitConfiguration c;
    c.identification = unit.Identification();
    c.interval = unit.Interval();
    c.settings = unit.SettingsBlock();
    c.alarm_a = unit.AlarmBlock('A');
    c.alarm_c = unit.AlarmBlock('C');
    c.alarm_d = unit.AlarmBlock('D');
    c.calibration = unit.CalibrationBlock();
    return c;
  }
  // The command codes the unit received, reads left out.
  std::vector<int> WriteCodes() const {
    std::vector<int> codes;
    for (const Payload& p : unit.Received()) {
      const int code = p[1];
      if (code == code::kPermission || code == code::kEndOfWrite || code >= code::kSetLanguage) codes.push_back(code);
    }
    std::erase_if(codes, [](int c) { return c == code::kInterval || c == code::kIdentification; });
    return codes;
  }

  testing::TempFolder folder;
  std::unique_ptr<UnitSession> session;
};

TEST(Backup, TextKeepsEachValueBesideItsRawBytesInAFixedOrder) {
  Rig rig;
  const UnitConfiguration c = rig.Read();
  const std::string text = BackupJson(c);
  const nlohmann::ordered_json j = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"model", "identification", "interval", "settings", "alarms", "calibration"}));
  EXPECT_EQ(j["model"], "eight-area");
  EXPECT_EQ(j["identification"], "{QT7100K@}");
  EXPECT_EQ(j["interval"].dump(), R"({"minutes":10,"raw":"0A"})");
  const nlohmann::ordered_json& s = j["settings"];
  EXPECT_EQ(s["graph_span_hours"].dump(), R"({"value":24,"raw":"18"})");
  EXPECT_EQ(s["time_zone"].dump(), R"({"value":1,"raw":"01"})");
  EXPECT_EQ(s["unit"].dump(), "{\"value\":\"\u00B0C\",\"raw\":\"00\"}");
  ASSERT_EQ(s["areas"].size(), 8u);
  EXPECT_EQ(s["areas"][0].dump(), R"({"area":1,"shows":"CH1 temperature, CH1 dew point, CH1 heat index","raw":"00000007"})");
  EXPECT_EQ(s["areas"][6]["raw"], "00249000");
  const nlohmann::ordered_json& a = j["alarms"];
  EXPECT_EQ(a["humidity_alarm"].dump(), R"({"value":"ON","raw":"00"})");
  EXPECT_EQ(a["humidity_high_enabled"].dump(), R"({"channels":[1,2,3,4,5,6,7],"raw":"7F"})");
  EXPECT_EQ(a["channels"][0].dump(),
            R"({"channel":1,"temperature_high":{"celsius":35.1,"raw":"015F"},"temperature_low":{"celsius":-5.1,"raw":"FFCD"},)"
            R"("humidity_high":{"percent":81,"raw":"51"},"humidity_low":{"percent":19,"raw":"13"}})");
  EXPECT_EQ(a["channels"][7]["temperature_high"].dump(), R"({"celsius":null,"raw":"FFFF"})");
  EXPECT_EQ(a["channels"][7]["humidity_low"].dump(), R"({"percent":null,"raw":"FF"})");
  EXPECT_EQ(j["calibration"]["channels"][2].dump(),
            R"({"channel":3,"temperature_offset":{"celsius":0.0,"raw":"0000"},"humidity_offset":{"percent":0,"raw":"00"}})");
  EXPECT_EQ(text.back(), '\n');

  // Read back, the text gives the same blocks.
  const BackupParse parsed = ParseBackupJson(text);
  ASSERT_TRUE(parsed.config) << parsed.error;
  EXPECT_TRUE(DifferingBlocks(c, *parsed.config).empty());
  EXPECT_EQ(parsed.config->identification, c.identification);
  EXPECT_EQ(BackupJson(*parsed.config), text);
}

TEST(Backup, TextsARestoreCannotUseAreRefusedNamingTheField) {
  UnitConfiguration c;
  c.identification = "{QT5100@}";
  c.interval = 60;
  c.alarm_c[1] = 0x7F;  // CH1 high: 7F FF, the other "no value"
  c.alarm_c[2] = 0xFF;
  c.settings[settings::kGraphSpan] = 24;
  c.alarm_d.fill(0xFF);  // humidity limits never set
  const nlohmann::ordered_json good = nlohmann::ordered_json::parse(BackupJson(c));
  ASSERT_TRUE(ParseBackupJson(good.dump()).config) << ParseBackupJson(good.dump()).error;
  using Edit = std::function<void(nlohmann::ordered_json&)>;
  const std::pair<Edit, std::string> edits[] = {
      {[](auto& j) { j["interval"]["raw"] = "3G"; }, "/interval/raw: not 2 hex digits"},
      {[](auto& j) { j["interval"]["raw"] = "03C"; }, "/interval/raw: not 2 hex digits"},
      {[](auto& j) { j["interval"]["raw"] = 60; }, "/interval/raw: not 2 hex digits"},
      {[](auto& j) { j["interval"] = {{"minutes", 4}, {"raw", "04"}}; }, "/interval: 4 minutes; the unit takes 5 to 240"},
      {[](auto& j) { j["interval"]["minutes"] = 61; }, "/interval/minutes: does not agree with the raw bytes"},
      {[](auto& j) { j["model"] = "eight-area"; }, "/model: does not agree with the raw bytes"},
      {[](auto& j) { j["identification"] = "{QT7100K@}"; }, "/settings/areas: not a list of 8 entries"},
      {[](auto& j) { j["settings"].erase("time_zone"); }, "/settings/time_zone: missing"},
      {[](auto& j) { j["calibration"] = 1; }, "/calibration: not an object"},
      {[](auto& j) { j["extra"] = 1; }, "/extra: not part of a backup"},
      {[](auto& j) { j["alarms"]["channels"][0]["temperature_high"]["celsius"] = 3276.7; },
       "/alarms/channels/0/temperature_high/celsius: does not agree"},
  };
  std::vector<std::pair<std::string, std::string>> cases = {{"{\"model\": ", "not a JSON text"}};
  for (const auto& [edit, error] : edits) {
    nlohmann::ordered_json j = good;
    edit(j);
    cases.emplace_back(j.dump(2), error);
  }
  // Values no dialog writes, with value and raw bytes edited alike.
  using Change = std::function<void(UnitConfiguration&)>;
  const std::pair<Change, std::string> changes[] = {
      {[](auto& u) { u.settings[settings::kGraphType] = 9; }, "/settings/graph_type: 9; allowed: 0 to 3"},
      {[](auto& u) { u.settings[settings::kGraphSpan] = 36; }, "/settings/graph_span_hours: 36; allowed: 12, 24, 48 or 72"},
      {[](auto& u) { u.settings[settings::kTimeFormat] = 3; }, "/settings/time_format: 3; allowed: 0 to 2"},
      {[](auto& u) { u.settings[settings::kDst] = 7; }, "/settings/dst: 7; allowed: 0 to 1"},
      {[](auto& u) { u.settings[settings::kTimeZone] = 100; }, "/settings/time_zone: 100; allowed: -12 to 12"},
      {[](auto& u) { u.settings[settings::kTimeZone] = 0xF3; }, "/settings/time_zone: -13; allowed: -12 to 12"},
      {[](auto& u) { u.alarm_a[alarm_a::kTemperatureSwitch] = 2; }, "/alarms/temperature_alarm: 2; allowed: 0 to 1"},
      {[](auto& u) { u.alarm_d[alarm_limits::HumidityHighAt(3)] = 200; },
       "/alarms/channels/2/humidity_high: 200 %; allowed: 1 % to 99 %"},
      {[](auto& u) { u.alarm_d[alarm_limits::HumidityLowAt(1)] = 0; }, "/alarms/channels/0/humidity_low: 0 %"},
      {[](auto& u) { u.alarm_c[alarm_limits::TemperatureLowAt(8)] = 0x7F, u.alarm_c[alarm_limits::TemperatureLowAt(8) + 1] = 0xFE; },
       "/alarms/channels/7/temperature_low: 3276.6 \u00B0C; allowed: -40.0 \u00B0C to 60.0 \u00B0C"},
      {[](auto& u) { u.alarm_c[alarm_limits::TemperatureHighAt(2)] = 0x02, u.alarm_c[alarm_limits::TemperatureHighAt(2) + 1] = 0x59; },
       "/alarms/channels/1/temperature_high: 60.1 \u00B0C"},
      {[](auto& u) { u.calibration[calibration::TemperatureAt(4)] = 0x03, u.calibration[calibration::TemperatureAt(4) + 1] = 0xE9; },
       "/calibration/channels/3/temperature_offset: 100.1 \u00B0C; allowed: -100.0 \u00B0C to 100.0 \u00B0C"},
      {[](auto& u) { u.calibration[calibration::HumidityAt(5)] = 0x9C; }, "/calibration/channels/4/humidity_offset: -100 %"},
  };
  for (const auto& [change, error] : changes) {
    UnitConfiguration u = c;
    change(u);
    cases.emplace_back(BackupJson(u), error);
  }
  // Hostile texts end in an error, never in an abort.
  std::string minutes = good.dump();
  minutes.replace(minutes.find("\"minutes\":60"), 12, "\"minutes\":1e400");
  cases.emplace_back(minutes, "not a JSON text");
  cases.emplace_back(std::string(100000, '[') + std::string(100000, ']'), "not a backup: nested deeper than 32 levels");
  cases.emplace_back("{\"identification\": \"\xFF\"}", "not a JSON text");
  // A key twice in one object, as JSON reads the keys; the parser's last read
  // (here the start of a shadow file) is never quoted.
  const std::string compact = good.dump();
  cases.emplace_back("{\"model\": 1,\n\"m\\u006fdel\": 2}", "/: the key \"model\" twice, on lines 1 and 2");
  cases.emplace_back(compact.substr(0, compact.size() - 1) + ",\n\n\"calibration\": {}}",
                     "/: the key \"calibration\" twice, on lines 1 and 3");
  cases.emplace_back("{\"a\": [{\"x\": 1}, {\"y\": 1,\n \"y\": 2}]}", "/a/1: the key \"y\" twice, on lines 1 and 2");
  cases.emplace_back("root:$6$s4lt$h4sh:19000\n", "not a JSON text: line 1, column 1: syntax error while parsing value - invalid literal");
  cases.emplace_back(std::string("{\"model\": \"eight\0area\"}", 23), "not a JSON text: a NUL byte on line 1");
  cases.emplace_back(good.dump(2) + std::string("\0{}", 3), "not a JSON text: a NUL byte on line ");
  for (const auto& [text, error] : cases) {
    const BackupParse parsed = ParseBackupJson(text);
    EXPECT_FALSE(parsed.config) << error;
    EXPECT_EQ(parsed.error.rfind(error, 0), 0u) << parsed.error;
    EXPECT_EQ(parsed.error.find("last read"), std::string::npos) << parsed.error;
  }
}

TEST(Backup, RestoreFramesAreTheDialogsUnchangedSaves) {
  Rig rig;
  const UnitConfiguration c = rig.Read();
  const std::vector<RestoreSequence> sequences = RestoreSequences(c);
  ASSERT_EQ(sequences.size(), 4u);
  // Each data frame carries the answer block's bytes one further on.
  const Payload& settings = sequences[0].frames.at(0);
  EXPECT_EQ(settings[0], 0x7B);
  EXPECT_EQ(settings[1], 0x10);
  EXPECT_TRUE(std::equal(settings.begin() + 2, settings.begin() + 41, c.settings.begin() + 1));
  EXPECT_EQ(settings[41], 0x40);
  EXPECT_EQ(settings[42], 0x7D);
  ASSERT_EQ(sequences[1].frames.size(), 3u);
  EXPECT_TRUE(std::equal(sequences[1].frames[0].begin() + 2, sequences[1].frames[0].begin() + 8, c.alarm_a.begin() + 1));
  EXPECT_TRUE(std::equal(sequences[1].frames[1].begin() + 2, sequences[1].frames[1].begin() + 34, c.alarm_c.begin() + 1));
  EXPECT_TRUE(std::equal(sequences[1].frames[2].begin() + 2, sequences[1].frames[2].begin() + 18, c.alarm_d.begin() + 1));
  EXPECT_TRUE(std::equal(sequences[2].frames[0].begin() + 2, sequences[2].frames[0].begin() + 26, c.calibration.begin() + 1));
  EXPECT_EQ(FrameHex(sequences[3].frames[0]).substr(0, 14), "7B 40 0A 40 7D");
  EXPECT_TRUE(sequences[0].timing.end_frame && sequences[1].timing.end_frame && sequences[2].timing.end_frame);
  EXPECT_FALSE(sequences[3].timing.end_frame);

  // A five-area unit writes five masks: "@}" at bytes 29 and 30.
  UnitConfiguration five = c;
  five.identification = "{QT5100@}";
  const Payload five_settings = RestoreSequences(five)[0].frames[0];
  EXPECT_EQ(five_settings[29], 0x40);
  EXPECT_EQ(five_settings[30], 0x7D);
}

// Backup, change everything on the unit, restore: the unit holds the
// original blocks again, and the wire shows each block in its own sequence.
TEST(Backup, RestoreBringsBackWhatTheBackupHeld) {
  Rig rig;
  const UnitConfiguration original = rig.Read();
  const BackupParse backup = ParseBackupJson(BackupJson(original));
  ASSERT_TRUE(backup.config);

  // Another configuration, written the way the dialogs write.
  UnitConfiguration other = original;
  other.settings[settings::kGraphSpan] = 72;
  other.settings[settings::kTimeZone] = 0xF4;  // -12
  other.settings[settings::kFirstMask + 7] = 0x38;
  other.alarm_a[alarm_a::kTemperatureSwitch] = 1;
  other.alarm_c[alarm_limits::TemperatureHighAt(2) + 1] ^= 0x10;
  other.alarm_d[alarm_limits::HumidityLowAt(8)] = 30;
  other.calibration[calibration::HumidityAt(4)] = 0xFD;  // -3 %
  other.interval = 120;
  for (const RestoreSequence& sequence : RestoreSequences(other)) {
    ASSERT_EQ(rig.session->Write(sequence.frames, sequence.timing), WriteOutcome::kWritten);
  }
  EXPECT_EQ(DifferingBlocks(original, rig.Held()),
            (std::vector<std::string>{"settings", "alarms", "calibration", "interval"}));

  rig.unit.ClearReceived();
  const cli::RestoreReport report = cli::RestoreConfiguration(*rig.session, *backup.config);
  EXPECT_EQ(report.status, kOk) << report.message;
  EXPECT_EQ(report.written, (std::vector<std::string>{"settings", "alarms", "calibration", "interval"}));
  EXPECT_TRUE(DifferingBlocks(original, rig.Held()).empty());
  EXPECT_EQ(rig.Held().settings, original.settings);
  EXPECT_EQ(rig.Held().calibration, original.calibration);
  EXPECT_EQ(rig.WriteCodes(), (std::vector<int>{0x51, 0x10, 0x2F, 0x51, 0x12, 0x14, 0x15, 0x2F, 0x51, 0x11, 0x2F, 0x40}));
  std::vector<Payload> data;
  for (const Payload& p : rig.unit.Received()) {
    if (p[1] == 0x10 || p[1] == 0x11 || p[1] == 0x12 || p[1] == 0x14 || p[1] == 0x15 || (p[1] == 0x40 && p[3] == 0x40)) {
      data.push_back(p);
    }
  }
  std::vector<Payload> expected;
  for (const RestoreSequence& sequence : RestoreSequences(original)) {
    expected.insert(expected.end(), sequence.frames.begin(), sequence.frames.end());
  }
  EXPECT_EQ(data, expected);
}

TEST(Backup, RestoreStopsWhereTheUnitDoesNotFollow) {
  Rig eight;
  const UnitConfiguration backup = eight.Read();

  // A five-area unit: nothing at all is written.
  Rig five(false);
  five.unit.ClearReceived();
  cli::RestoreReport report = cli::RestoreConfiguration(*five.session, backup);
  EXPECT_EQ(report.status, kBadInput);
  EXPECT_EQ(report.message, "the backup is of an eight-area unit, this unit is five-area; nothing was written");
  EXPECT_TRUE(five.WriteCodes().empty());

  // Offsets the Calibration dialog refuses against the readings of the
  // moment (CH1 reads 23.5 °C and 45 %; 23.5 + 36.6 is 60.1): status 3
  // naming the field, nothing written.
  eight.unit.SetSensor(1, 235, 45);
  const struct {
    std::uint8_t high, low, humidity;
    const char* message;
  } offsets[] = {
      {0x03, 0xE8, 0x00, "/calibration/channels/0/temperature_offset: CH1 Temp Out of value. Nothing was written."},
      {0x01, 0x6E, 0x00, "/calibration/channels/0/temperature_offset: CH1 Temp Out of value. Nothing was written."},
      {0x00, 0x00, 0x37, "/calibration/channels/0/humidity_offset: CH1 Humi Out of value. Nothing was written."},
      {0x00, 0x00, 0xD2, "/calibration/channels/0/humidity_offset: CH1 Humi Out of value. Nothing was written."},
  };
  for (const auto& o : offsets) {
    UnitConfiguration hot = backup;
    hot.calibration[calibration::TemperatureAt(1)] = o.high;
    hot.calibration[calibration::TemperatureAt(1) + 1] = o.low;
    hot.calibration[calibration::HumidityAt(1)] = o.humidity;
    eight.unit.ClearReceived();
    report = cli::RestoreConfiguration(*eight.session, hot);
    EXPECT_EQ(report.status, kBadInput) << o.message;
    EXPECT_EQ(report.message, o.message);
    EXPECT_TRUE(eight.WriteCodes().empty()) << o.message;
  }

  // Not on its main screen: only the permission query goes out.
  eight.unit.SetRefuseWrites(true);
  eight.unit.ClearReceived();
  report = cli::RestoreConfiguration(*eight.session, backup);
  EXPECT_EQ(report.status, kRefused);
  EXPECT_EQ(report.message, "settings: Please switch the device to the main screen. (nothing was written)");
  EXPECT_EQ(eight.WriteCodes(), std::vector<int>{0x51});
  eight.unit.SetRefuseWrites(false);

  // Stopped between sequences: the one under way finishes, no other starts.
  int asked = 0;
  report = cli::RestoreConfiguration(*eight.session, backup, [&] { return ++asked > 2; });
  EXPECT_TRUE(report.interrupted);
  EXPECT_EQ(report.written, (std::vector<std::string>{"settings", "alarms"}));
  EXPECT_EQ(report.message, "interrupted before the calibration; settings and alarms were written before");

  // A unit that takes only five masks although it calls itself eight-area:
  // the read-back names the settings.
  Rig odd(false);
  odd.unit.SetIdentification("{QT7100K@}");
  report = cli::RestoreConfiguration(*odd.session, backup);
  EXPECT_EQ(report.status, kRefused);
  EXPECT_EQ(report.message, "after the restore the unit reads back other settings than the backup holds");
}

TEST(Backup, BlocksCompareByTheFieldsARestoreWrites) {
  UnitConfiguration a;
  a.identification = "{QT7100K@}";
  a.interval = 10;
  const auto changed = [&](auto change) {
    UnitConfiguration b = a;
    change(b);
    return DifferingBlocks(a, b);
  };
  using Blocks = std::vector<std::string>;
  EXPECT_EQ(changed([](UnitConfiguration&) {}), Blocks{});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.settings[0] = 0x7B; }), Blocks{}) << "byte 0 carries nothing";
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.settings[40] = 1; }), Blocks{}) << "after the masks";
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.settings[39] = 1; }), Blocks{"settings"});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.alarm_a[6] = 1; }), Blocks{"alarms"});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.alarm_d[16] = 1; }), Blocks{"alarms"});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.calibration[25] = 1; }), Blocks{}) << "the ninth entry is not written";
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.calibration[24] = 1; }), Blocks{"calibration"});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.interval = 11; }), Blocks{"interval"});
  a.alarm_c[1] = 0xFF;
  a.alarm_c[2] = 0xFF;
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.alarm_c[1] = 0x7F; }), Blocks{}) << "7F FF and FF FF: both no value";
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.alarm_c[2] = 0xFE; }), Blocks{"alarms"});
  // A five-area unit compares five masks only.
  a.identification = "{QT5100@}";
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.settings[30] = 1; }), Blocks{});
  EXPECT_EQ(changed([](UnitConfiguration& b) { b.settings[27] = 1; }), Blocks{"settings"});
}

}  // namespace
}  // namespace norvo
