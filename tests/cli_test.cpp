// norvoctl run as a user runs it: a subprocess against the simulated unit,
// its output in both formats and its exit statuses.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "session/UnitLock.h"
#include "settings/DataFolder.h"
#include "sim/SimUnit.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

std::string Slurp(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

Result Norvoctl(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv = {const_cast<char*>(NORVOCTL)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(NORVOCTL, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  Result r;
  r.err = Slurp(err[0]);  // small outputs: no deadlock between the pipes
  r.out = Slurp(out[0]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

struct CliFixture : ::testing::Test {
  fs::path data;
  void SetUp() override {
    data = fs::temp_directory_path() / ("norvoctl-" + std::to_string(::getpid()) + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(data);
    fs::create_directories(data);
  }
  void TearDown() override { fs::remove_all(data); }
  Result Sim(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), {"--simulate", "--data-dir", data.string()});
    // Unit locks of this test's own: parallel tests each have a "sim:unit".
    env.push_back("NORVO_RUNTIME_DIR=" + data.string());
    return Norvoctl(args, env);
  }
};

// A unit held by another process is refused with its holder named, status 5;
// once the holder lets go the same command works. A unit that cannot be
// opened is "no unit" (1) with the fix in the message, never a success.
TEST_F(CliFixture, UnitHeldElsewhereOrUnopenable) {
  UnitLock holder;
  ASSERT_TRUE(holder.TryLock(data / UnitLockName("sim:unit")));
  const Result held = Sim({"live"});
  EXPECT_EQ(held.status, 5);
  EXPECT_EQ(held.err, "norvoctl: unit in use by pid " + std::to_string(::getpid()) + "\n");
  EXPECT_TRUE(held.out.empty());
  holder.Release();
  EXPECT_EQ(Sim({"live"}).status, 0);

  const Result closed = Sim({"--sim-fault", "open-failure", "set", "interval", "60"});
  EXPECT_EQ(closed.status, 1);
  EXPECT_NE(closed.err.find("udev rule"), std::string::npos) << closed.err;
  EXPECT_EQ(closed.err.find("Success"), std::string::npos);
}

// A unit on another screen that does not even answer the permission query:
// every write is a failure, never "Success".
TEST_F(CliFixture, WritesToAUnitThatIgnoresThemFail) {
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"sync-time"}, {"set", "interval", "60"}, {"set", "language", "English"}}) {
    std::vector<std::string> args = {"--sim-fault", "ignore-writes"};
    args.insert(args.end(), command.begin(), command.end());
    const Result r = Sim(args, {"NORVO_TIME_SCALE=0.05"});
    EXPECT_EQ(r.status, 1) << command[0] << ": " << r.err;
    EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
  }
  const Result refused = Sim({"--sim-fault", "refuse", "set", "interval", "60"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "norvoctl: Please switch the device to the main screen.\n");
}

TEST_F(CliFixture, LiveInBothFormats) {
  const Result text = Sim({"live"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("CH1     23."), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("CH8     --  \u00B0C        --  %     --  \u00B0C"), std::string::npos) << text.out;
  const Result json = Sim({"live", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.rfind("{\"unit\": \"\u00B0C\", \"channels\": [{\"channel\": 1, \"temperature\": 23.", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("{\"channel\": 8, \"temperature\": null, \"humidity\": null, \"dew_point\": null}"), std::string::npos);
  EXPECT_TRUE(json.err.empty());
}

TEST_F(CliFixture, BlocksDecoded) {
  const Result settings = Sim({"settings", "--json"});
  EXPECT_EQ(settings.status, 0);
  EXPECT_NE(settings.out.find("\"graph_span_hours\": 24"), std::string::npos) << settings.out;
  EXPECT_NE(settings.out.find("\"model\": \"eight-area\""), std::string::npos);
  EXPECT_NE(settings.out.find("{\"area\": 1, \"mask\": 7, \"shows\": \"CH1 temperature, CH1 dew point, CH1 heat index\"}"),
            std::string::npos);
  const Result alarms = Sim({"alarms"});
  EXPECT_EQ(alarms.status, 0);
  EXPECT_NE(alarms.out.find("CH1     35.1        -5.1        81        19"), std::string::npos) << alarms.out;
  const Result alarms_json = Sim({"alarms", "--json"});
  EXPECT_NE(alarms_json.out.find("\"temperature_high\": null, \"temperature_high_enabled\": false"), std::string::npos);
  const Result calibration = Sim({"calibration", "--json"});
  EXPECT_EQ(calibration.status, 0);
  EXPECT_NE(calibration.out.find("{\"channel\": 8, \"temperature_offset\": 0.0, \"humidity_offset\": 0}"), std::string::npos);
}

TEST_F(CliFixture, WritesRefusalsAndBadArguments) {
  const Result low = Sim({"set", "interval", "4"});
  EXPECT_EQ(low.status, 3);
  EXPECT_EQ(low.err, "norvoctl: Interval Range of values: 5 to 240 Minute\n");
  EXPECT_EQ(Sim({"set", "interval", "240"}).status, 0);
  const Result ok = Sim({"set", "interval", "60"});
  EXPECT_EQ(ok.err, "Set Interval Success\n");

  EXPECT_EQ(Sim({"sync-time"}).err, "Sync Time Success\n");
  const Result refused = Sim({"--sim-fault", "refuse", "sync-time"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "norvoctl: Please switch the device to the main screen.\n");

  // The language goes to Main.ini even when the unit refuses it; messages follow it.
  EXPECT_EQ(Sim({"--sim-fault", "refuse", "set", "language", "Deutsch"}).status, 2);
  EXPECT_EQ(ReadLanguageSetting(data), "Deutsch");
  EXPECT_EQ(Sim({"--sim-fault", "refuse", "sync-time"}).err, "norvoctl: Wechseln Sie zum Hauptbildschirm.\n");
  EXPECT_EQ(Sim({"--lang", "English", "set", "interval", "5"}).err, "Set Interval Success\n");

  EXPECT_EQ(Sim({"set", "language", "deutsch"}).status, 3);
  EXPECT_EQ(Sim({"frobnicate"}).status, 3);
  EXPECT_EQ(Sim({"live", "--watch", "0"}).status, 3);
  EXPECT_EQ(Sim({"--bogus", "live"}).status, 3);
  const Result help = Norvoctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("sd get NAME [--import]"), std::string::npos);
}

TEST_F(CliFixture, UnpluggedOrSilentUnitEndsWithStatusOne) {
  const Result unplugged = Sim({"--sim-fault", "unplugged", "live"});
  EXPECT_EQ(unplugged.status, 1);
  EXPECT_EQ(unplugged.err, "norvoctl: No unit found.\n");
  const Result silent = Sim({"--sim-fault", "silent", "live"}, {"NORVO_TIME_SCALE=0.01"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.err, "norvoctl: The unit does not answer.\n");
}

TEST_F(CliFixture, CardListGetResumeImportAndExport) {
  const Result list = Sim({"sd", "list", "--json"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.rfind("[{\"name\": \"LOG0001.CSV\", \"size\": ", 0), 0u) << list.out;

  // A short block: status 4, what arrived stays; the next get resumes it.
  const Result cut = Sim({"--sim-fault", "short-block", "sd", "get", "LOG0003.CSV"});
  EXPECT_EQ(cut.status, 4);
  EXPECT_NE(cut.err.find("This file errors"), std::string::npos);
  const auto partial = fs::file_size(data / "LOG0003.CSV");
  const Result resumed = Sim({"sd", "get", "LOG0003.CSV", "--import"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_GT(fs::file_size(data / "LOG0003.CSV"), partial);
  std::string card = sim::MakeLogFile(false, 1440, 0), expected;
  for (char c : card) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::ifstream in(data / "LOG0003.CSV", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
  EXPECT_NE(resumed.err.find("imported 1440 lines"), std::string::npos);

  // export: the rows the Graph draws for the same span.
  const Result csv = Norvoctl({"--data-dir", data.string(), "export", "--from", "2026-12-07 10:00:00", "--to",
                               "2026-12-07 11:00:00", "--column", "Heatindex"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  RecordStore store;
  ASSERT_EQ(store.Connect((data / "Norvo.mdb").string()), 0);
  ASSERT_EQ(store.QueryRecords("2026-12-07 10:00:00", "2026-12-07 11:00:00", "Heatindex"), 0);
  std::string rows = "time,Heatindex\n";
  double t;
  float v;
  int n = 0;
  while (store.NextRow(&t, &v)) {
    char line[64];
    const DateTime at = FromOleDate(t);
    std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d,%.1f\n", at.year, at.month, at.day, at.hour,
                  at.minute, at.second, static_cast<double>(v));
    rows += line;
    ++n;
  }
  EXPECT_EQ(n, 54);  // 60 minutes, every tenth line without a heat index
  EXPECT_EQ(csv.out, rows);
  const Result json = Norvoctl({"--data-dir", data.string(), "export", "--from", "2026-12-07 10:00:00", "--to",
                                "2026-12-07 10:01:00", "--json"});
  EXPECT_EQ(json.out.rfind("[{\"time\": \"2026-12-07T10:01:00\", \"value\": ", 0), 0u) << json.out;

  EXPECT_EQ(Norvoctl({"--data-dir", data.string(), "export", "--from", "yesterday", "--to", "now"}).status, 3);
  EXPECT_EQ(Norvoctl({"--data-dir", data.string(), "export", "--from", "2026-12-07 10:00:00", "--to",
                      "2026-12-07 11:00:00", "--column", "Time;DROP"}).status, 3);

  const Result rm = Sim({"sd", "rm", "LOG0003.CSV"});
  EXPECT_EQ(rm.status, 0);
  EXPECT_FALSE(fs::exists(data / "LOG0003.CSV"));
}

TEST_F(CliFixture, HostileNamesAndAForeignStore) {
  EXPECT_EQ(Sim({"sd", "get", "../../etc/passwd"}).status, 3);
  EXPECT_EQ(Sim({"sd", "rm", "/etc/passwd"}).status, 3);
  EXPECT_EQ(Sim({"sd", "get", "NOPE.CSV"}).status, 3);
  std::ofstream(data / "Norvo.mdb") << "not a database";
  const Result foreign = Norvoctl({"--data-dir", data.string(), "export", "--from", "2026-12-07 10:00:00", "--to",
                                   "2026-12-07 11:00:00"});
  EXPECT_EQ(foreign.status, 4);
  EXPECT_NE(foreign.err.find("not a database"), std::string::npos);
}

}  // namespace
}  // namespace norvo
