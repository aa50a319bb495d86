// norvoctl run as a user runs it: a subprocess against the simulated unit,
// its output in both formats and its exit statuses.

#include <gtest/gtest.h>
#include <sstream>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "cli/Internal.h"
#include "config/Backup.h"
#include "device/Blocks.h"
#include "res/Strings.h"
#include "session/UnitLock.h"
#include "settings/DataFolder.h"
#include "settings/Printable.h"
#include "sim/SimUnit.h"
#include "store/OleDate.h"
#include "history/Import.h"
#include "history/Transfer.h"
#include "store/RecordStore.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::Collect;
using testing::Finish;
using testing::ReadFile;
using testing::Result;
using testing::TextMode;
using testing::WaitUntil;

// stdout_fd: where the child's standard output goes; -1 for a pipe of ours.
Child Start(std::vector<std::string> args, const std::vector<std::string>& env = {}, int stdout_fd = -1) {
  args.insert(args.begin(), NORVOCTL);
  return testing::Spawn(args, {.env = env, .out_fd = stdout_fd});
}

Result Norvoctl(std::vector<std::string> args, const std::vector<std::string>& env = {}, int stdout_fd = -1) {
  Child c = Start(std::move(args), env, stdout_fd);
  return Finish(c);
}

mode_t Umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

struct CliFixture : ::testing::Test {
  testing::TempFolder temp{"norvoctl"};
  const fs::path data = temp.path;
  std::vector<std::string> SimArgs(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--simulate", "--data-dir", data.string()});
    return args;
  }
  // Unit locks of this test's own: parallel tests each have a "sim:unit".
  std::vector<std::string> SimEnv(std::vector<std::string> env = {}) const {
    env.push_back("NORVO_RUNTIME_DIR=" + data.string());
    return env;
  }
  Result Sim(std::vector<std::string> args, std::vector<std::string> env = {}, int stdout_fd = -1) {
    return Norvoctl(SimArgs(std::move(args)), SimEnv(std::move(env)), stdout_fd);
  }
  Child StartSim(std::vector<std::string> args, std::vector<std::string> env = {}) {
    return Start(SimArgs(std::move(args)), SimEnv(std::move(env)));
  }
  Result Plain(std::vector<std::string> args, int stdout_fd = -1) {
    args.insert(args.begin(), {"--data-dir", data.string()});
    return Norvoctl(args, {}, stdout_fd);
  }
};

// A unit held by another process is refused with its holder named, status 5;
// once the holder lets go the same command works. A unit that cannot be
// opened is "no unit" (1) with the fix in the message, never a success.
// Text bound for a terminal: control characters, C1 controls, direction marks
// and bytes that are not UTF-8 come out as visible escapes; everything else,
// other languages included, as it is; escaping twice changes nothing.
TEST(PrintableText, ControlsAreEscapedTextStays) {
  const std::pair<std::string, std::string> cases[] = {
      {"RED\x1b[31m A\nB\r\tC", "RED\\x1b[31m A\\nB\\r\\tC"},
      {std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
      {"CSI\xc2\x9b" "2J \xe2\x80\xae" "txt", "CSI\\u009b2J \\u202etxt"},  // C1, right-to-left override
      {"\xc3\x84 \xe2\x82\xac \xf0\x9f\x98\x80 back\\slash", "\xc3\x84 \xe2\x82\xac \xf0\x9f\x98\x80 back\\slash"},
      {"\xc4.CSV \xc0\xaf \xed\xa0\x80 \xe2\x82", "\\xc4.CSV \\xc0\\xaf \\xed\\xa0\\x80 \\xe2\\x82"},  // not UTF-8
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(PrintableText(text), shown);
    EXPECT_EQ(PrintableText(shown), shown);
  }
}

// sd list prints the card's Latin-1 names as UTF-8; the name typed back
// from that listing must find the file.
TEST(CardNames, TypedUtf8NamesFindTheCardsLatin1Names) {
  const struct {
    std::string typed, card;
  } cases[] = {
      {"LOG0001.CSV", "LOG0001.CSV"},
      {"MESSUNG_\xC3\x84.CSV", "MESSUNG_\xC4.CSV"},  // "Ä" as sd list shows it
      {"\xC3\xA9t\xC3\xA9.CSV", "\xE9t\xE9.CSV"},
      {"\xC4.CSV", "\xC4.CSV"},                      // raw Latin-1 typed: as it is
      {"\xE2\x82\xAC.CSV", "\xE2\x82\xAC.CSV"},  // beyond Latin-1: as it is
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::CardNameArgument(c.typed), c.card) << c.typed;
}

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

// A second norvoctl beside one that holds the unit works through the holder,
// whose unit it changes and whose readings go on; once the holder ends, the
// next command opens the unit itself.
TEST_F(CliFixture, SecondProcessWorksThroughTheHolder) {
  const std::string reading_end = "CH8     --  \u00B0C        --  %     --  \u00B0C\n";
  Child holder = StartSim({"live", "--watch", "1"});
  Result watched;
  ASSERT_TRUE(Collect(holder, watched, reading_end));
  ASSERT_TRUE(fs::exists(data / (UnitLockName("sim:unit") + ".sock")));

  const Result set = Sim({"set", "interval", "15"});
  EXPECT_EQ(set.status, 0) << set.err;
  const Result settings = Sim({"settings"});
  EXPECT_EQ(settings.status, 0) << settings.err;
  EXPECT_NE(settings.out.find("interval:     15 min\n"), std::string::npos) << settings.out;  // the holder's unit
  const Result get = Sim({"sd", "get", "LOG0003.CSV"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(ReadFile(data / "LOG0003.CSV"), TextMode(sim::MakeLogFile(false, 1440, 0)));
  const Result live = Sim({"live"});
  EXPECT_EQ(live.status, 0) << live.err;
  EXPECT_NE(live.out.find(reading_end), std::string::npos);

  // The holder read on meanwhile, and stops as usual.
  const std::size_t before = watched.out.size();
  ASSERT_TRUE(WaitUntil([&] {
    Collect(holder, watched, "", 50ms);
    return watched.out.find(reading_end, before) != std::string::npos;
  }));
  ::kill(holder.pid, SIGINT);
  EXPECT_EQ(Finish(holder, watched).status, 130);

  const Result own = Sim({"settings"});
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_NE(own.out.find("interval:     10 min\n"), std::string::npos) << own.out;  // a unit of its own again
}

// A lock that cannot be used says what is wrong with it, never "in use by
// pid 0"; a lock file with other hard links is never written.
TEST_F(CliFixture, LockProblemsSayWhatTheyAre) {
  const fs::path lock = data / UnitLockName("sim:unit");
  const int raw = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);  // held without a note
  ASSERT_GE(raw, 0);
  ASSERT_EQ(::flock(raw, LOCK_EX), 0);
  // A lock that cannot be used is this machine's fault (4), not a holder's (5).
  const fs::path linked = data / "linked";
  fs::create_directory(linked);
  fs::create_symlink(data / "elsewhere", linked / UnitLockName("sim:unit"));
  // A folder anyone may write (as /run/lock is): anyone could hold the unit there.
  const fs::path open = data / "open";
  fs::create_directory(open);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  const struct {
    const char* what;
    std::string folder;
    int status;
    std::string err;
  } cases[] = {
      {"no lock folder", (data / "missing").string(), 4,
       "norvoctl: cannot open the lock folder " + (data / "missing").string() + ": No such file or directory\n"},
      {"held, holder unknown", data.string(), 5, "norvoctl: unit in use by another process\n"},
      {"a folder others may write", open.string(), 4,
       "norvoctl: the lock folder " + open.string() + " can be written by other users and is not used\n"},
      {"a symlink as the lock", linked.string(), 4,
       "norvoctl: the lock file is a symbolic link and is not used: " + (linked / UnitLockName("sim:unit")).string() +
           "\n"},
  };
  for (const auto& c : cases) {
    const Result r = Norvoctl(SimArgs({"live"}), {"NORVO_RUNTIME_DIR=" + c.folder});
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
  ::close(raw);

  // Out of descriptors (a child with no room for one more).
  const pid_t child = ::fork();
  if (child == 0) {
    const int next = ::dup(0);
    ::close(next);
    rlimit limit{static_cast<rlim_t>(next), static_cast<rlim_t>(next)};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    FileLock full;
    const bool said = full.Take(lock) == FileLock::Result::kUnavailable &&
                      full.Problem().find("too many open files") != std::string::npos;
    ::_exit(said ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "EMFILE was not named";

  // A hard link planted under the lock's name: locked, never truncated.
  const fs::path precious = data / "precious";
  testing::WriteFile(precious, "keep me");
  fs::remove(lock);
  fs::create_hard_link(precious, lock);
  {
    FileLock linked;
    EXPECT_EQ(linked.Take(lock), FileLock::Result::kHeld);
    EXPECT_EQ(ReadFile(precious), "keep me");
  }
  EXPECT_EQ(ReadFile(precious), "keep me");
}

// A unit on another screen that does not even answer the permission query:
// every write is a failure, never "Success". The interval needs no
// permission: it is sent, and the read-back finds it not taken.
TEST_F(CliFixture, WritesToAUnitThatIgnoresThemFail) {
  const struct {
    std::vector<std::string> command;
    int status;
  } rows[] = {{{"sync-time"}, 1}, {{"set", "interval", "60"}, 2}, {{"set", "language", "English"}, 1}};
  for (const auto& row : rows) {
    std::vector<std::string> args = {"--sim-fault", "ignore-writes"};
    args.insert(args.end(), row.command.begin(), row.command.end());
    const Result r = Sim(args, {"NORVO_TIME_SCALE=0.05"});
    EXPECT_EQ(r.status, row.status) << row.command[0] << ": " << r.err;
    EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
  }
  // A unit away from its main screen takes the interval all the same.
  const Result taken = Sim({"--sim-fault", "refuse", "set", "interval", "60"});
  EXPECT_EQ(taken.status, 0) << taken.err;
  const Result refused = Sim({"--sim-fault", "refuse", "sync-time"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "norvoctl: Please switch the device to the main screen.\n");
  // Main.ini is written before the unit is asked: a failure says it was.
  const Result language = Sim({"--lang", "English", "--sim-fault", "silent", "set", "language", "Deutsch"},
                              {"NORVO_TIME_SCALE=0.05"});
  EXPECT_EQ(language.status, 1);
  EXPECT_EQ(language.err, "norvoctl: Main.ini was switched to Deutsch, the unit was not: The unit does not answer; "
                          "nothing was written.\n");
  EXPECT_EQ(ReadLanguageSetting(data), "Deutsch");
}

// With --lang Deutsch every message a command prints is German: failures of
// the unit, of the arguments and of the record store, and the results.
TEST_F(CliFixture, GermanMessagesHaveNoEnglishLeft) {
  testing::WriteFile(data / kDatabaseFile, "not a database of ours");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string german;
  } cases[] = {
      {{"--sim-fault", "silent", "live"}, 1, "norvoctl: Das Gerät antwortet nicht.\n"},
      {{"--sim-fault", "refuse", "sync-time"}, 2, "norvoctl: Wechseln Sie zum Hauptbildschirm.\n"},
      {{"set", "interval", "4"}, 3, "norvoctl: Intervallbereich der Werte: 5 bis 240 Minuten\n"},
      {{"live", "--watch", "0"}, 3, "norvoctl: --watch erwartet ganze Sekunden, 1 oder mehr\n"},
      {{"export", "--from", "2026-01-02", "--to", "2026-01-01"}, 3, "norvoctl: Zeitfehler: --to liegt vor --from\n"},
      {{"export", "--from", "2026-01-01", "--to", "2026-01-02"}, 4, ": Datei ist keine Datenbank\n"},
      {{"sd", "rm", "NOPE.CSV"}, 3, "norvoctl: NOPE.CSV: nicht auf der Karte\n"},
      {{"set", "interval", "60"}, 0, "Bestätigung Intervalleinstellung\n"},
  };
  const char* english[] = {"unit", "does not", "answer", "written", "found", "store", "takes", "interrupted"};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--lang", "Deutsch"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Sim(args, {"NORVO_TIME_SCALE=0.01"});
    EXPECT_EQ(r.status, c.status) << c.german;
    EXPECT_TRUE(r.err.ends_with(c.german)) << r.err;
    for (const char* word : english) EXPECT_EQ(r.err.find(word), std::string::npos) << word << " in " << r.err;
  }
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
  EXPECT_EQ(ReadFile(data / "LOG0003.CSV"), TextMode(sim::MakeLogFile(false, 1440, 0)));
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
    char line[64], value[32];
    const DateTime at = FromOleDate(t);
    *std::to_chars(value, value + sizeof value, v).ptr = '\0';
    std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d,%s\n", at.year, at.month, at.day, at.hour,
                  at.minute, at.second, value);
    rows += line;
    ++n;
  }
  EXPECT_EQ(n, 54);  // 60 minutes, every tenth line without a heat index
  // Each value as stored: the shortest text of the float (22, not 22.0).
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
  // The card file goes before the store is reached: the message says so.
  const Result removed = Sim({"sd", "rm", "LOG0001.CSV"});
  EXPECT_EQ(removed.status, 4);
  EXPECT_EQ(removed.err, "norvoctl: LOG0001.CSV was deleted on the card with its local copy, but the records were not: " +
                             (data / "Norvo.mdb").string() + ": file is not a database\n");
  EXPECT_EQ(ReadFile(data / "Norvo.mdb"), "not a database");
}

// ---- options and help -------------------------------------------------------------

// Each command takes its own options and no other's; a stray one is status 3
// before any unit is opened.
TEST_F(CliFixture, OptionsBelongToTheirCommand) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"live", "--csv"}, 0},
      {{"live", "--json", "--csv"}, 3},
      {{"live", "--import"}, 3},
      {{"live", "--watch", "1.5"}, 3},
      {{"live", "--watch", "-1"}, 3},
      {{"settings", "--import"}, 3},
      {{"settings", "extra"}, 3},
      {{"sync-time", "--json"}, 3},
      {{"sd"}, 3},
      {{"sd", "list", "--import"}, 3},
      {{"sd", "get"}, 3},
      {{"sd", "rm", "LOG0001.CSV", "--import"}, 3},
      {{"set"}, 3},
      {{"set", "interval"}, 3},
      {{"export", "--from", "2026-12-07 10:00:00", "--to", "2026-12-07 11:00:00", "--watch", "1"}, 3},
      {{"backup"}, 3},
      {{"restore", "x.json", "--import"}, 3},
      {{"--sim-fault", "melted", "live"}, 3},
      {{}, 3},
  };
  for (const Case& c : cases) {
    const Result r = Sim(c.args);
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line << r.err;
    if (c.status == 3) {
      EXPECT_EQ(r.err.rfind("norvoctl: ", 0), 0u) << line << r.err;
    }
  }
  // Options before the command may also follow it.
  const Result after = Norvoctl({"live", "--simulate", "--data-dir", data.string()}, SimEnv());
  EXPECT_EQ(after.status, 0) << after.err;
}

TEST_F(CliFixture, VersionAndHelpPerCommand) {
  const Result version = Norvoctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("norvoctl ") + NORVO_VERSION + "\n");

  const Result top = Norvoctl({"--help"});
  EXPECT_EQ(top.status, 0);
  for (const char* text : {"Usage: norvoctl [OPTIONS] COMMAND", "\nOptions:\n", "\nCommands:\n", "sd get NAME [--import]",
                           "restore FILE [--dry-run]", "\nExit status:\n", "  130  interrupted (SIGINT)"}) {
    EXPECT_NE(top.out.find(text), std::string::npos) << text;
  }
  const std::vector<std::vector<std::string>> commands = {
      {"live"}, {"settings"}, {"alarms"}, {"calibration"}, {"set", "interval"}, {"set", "language"}, {"sync-time"},
      {"sd", "list"}, {"sd", "get"}, {"sd", "rm"}, {"export"}, {"backup"}, {"restore"}};
  for (std::vector<std::string> command : commands) {
    std::string usage = "Usage: norvoctl";
    for (const std::string& word : command) usage += " " + word;
    // Help needs no unit: an unplugged one changes nothing.
    command.insert(command.begin(), {"--sim-fault", "unplugged"});
    command.push_back("--help");
    const Result help = Sim(command);
    EXPECT_EQ(help.status, 0) << usage;
    EXPECT_NE(help.out.find(usage), std::string::npos) << help.out;
  }
  const Result get = Norvoctl({"sd", "get", "--help"});
  EXPECT_NE(get.out.find("--import"), std::string::npos);
  EXPECT_EQ(get.out.find("--json"), std::string::npos) << "sd get has no --json";
}

// A word norvoctl does not understand where a command or option belongs is
// named; a data folder that cannot be made says why. Usage errors are 3, a
// folder that cannot be used 4.
TEST_F(CliFixture, MessagesNameWhatWasWrong) {
  std::ofstream(data / "file") << "x";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"bogus"}, 3, "norvoctl: unknown command: bogus (norvoctl --help lists the commands)\n"},
      {{"-V"}, 3, "norvoctl: unknown option: -V (norvoctl --help lists the commands)\n"},
      {{"--simulate", "bogus", "extra"}, 3, "norvoctl: unknown command: bogus (norvoctl --help lists the commands)\n"},
      {{"sd", "bogus"}, 3, "norvoctl: unknown command: bogus (norvoctl sd --help describes it)\n"},
      {{"--lang", "Klingon", "live"}, 3,
       "norvoctl: --lang: Klingon not in {English,Deutsch} (norvoctl --help describes it)\n"},
      {{"export", "--every", "bogus"}, 3, "norvoctl: --every: bogus not in {5m,1h,1d} (norvoctl export --help describes it)\n"},
      {{}, 3, "norvoctl: a command is required (norvoctl --help lists the commands)\n"},
      {{"--data-dir", (data / "file").string(), "live"}, 4, "norvoctl: " + (data / "file").string() + ": not a folder\n"},
      {{"--data-dir", (data / "file" / "sub").string(), "live"}, 4,
       "norvoctl: " + (data / "file" / "sub").string() + ": cannot create the folder: Not a directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--simulate"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Norvoctl(args, SimEnv());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, c.err);
  }
}

// The bash completion offers every option that each command's --help lists
// (bash-completion's two helpers stand in here by plain definitions).
TEST_F(CliFixture, CompletionOffersEveryOptionOfTheHelp) {
  const std::vector<std::vector<std::string>> commands = {
      {},           {"live"}, {"settings"}, {"alarms"}, {"calibration"}, {"set", "interval"}, {"set", "language"},
      {"sync-time"}, {"sd", "list"}, {"sd", "get"}, {"sd", "rm"}, {"export"}, {"report"}, {"backup"}, {"restore"}, {"serve"}};
  for (const std::vector<std::string>& command : commands) {
    std::vector<std::string> args = command;
    args.push_back("--help");
    const Result help = Norvoctl(args);
    ASSERT_EQ(help.status, 0) << help.err;
    // The options section: lines "  -h,--help  ..." or "  --json ...".
    std::set<std::string> listed;
    std::istringstream lines(help.out.substr(help.out.find("\nOptions:\n")));
    static const std::regex kOption("--[a-z][a-z-]*");
    for (std::string line; std::getline(lines, line) && line != "Commands:" && line.rfind("Exit status", 0) != 0;) {
      if (line.rfind("  -", 0) != 0) continue;
      const std::string term = line.substr(0, line.find("  ", 2));
      for (std::sregex_iterator m(term.begin(), term.end(), kOption), end; m != end; ++m) listed.insert(m->str());
    }
    ASSERT_FALSE(listed.empty()) << help.out;
    std::string words = "norvoctl";
    for (const std::string& word : command) words += " " + word;
    const std::string script =
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; cur=${words[cword]}; "
        "prev=${words[cword-1]}; }\n_filedir() { :; }\nsource " NORVO_COMPLETION "\nCOMP_WORDS=(" + words +
        " --); COMP_CWORD=" + std::to_string(command.size() + 1) + "; _norvoctl; echo \" ${COMPREPLY[*]} \"";
    const Result offered = testing::RunProgram({"bash", "-c", script});
    ASSERT_EQ(offered.status, 0) << offered.err;
    for (const std::string& option : listed) {
      EXPECT_NE(offered.out.find(" " + option + " "), std::string::npos) << words << ": " << option << " not offered";
    }
  }
  const std::string column =
      "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; cur=${words[cword]}; "
      "prev=${words[cword-1]}; }\nsource " NORVO_COMPLETION "\n"
      "COMP_WORDS=(norvoctl export --column Temperature,); COMP_CWORD=3; _norvoctl; echo \"${COMPREPLY[*]}\"";
  EXPECT_EQ(testing::RunProgram({"bash", "-c", column}).out,
            "Temperature,Temperature Temperature,Humidity Temperature,DewPoint Temperature,Heatindex Temperature,all\n");
}

// The interval text is read as the Setup dialog reads it (its leading
// integer) after the blanks around it are dropped; anything else in the text
// is refused with the dialog's range message before the unit is opened.
TEST_F(CliFixture, IntervalTextsAsTheSetupDialogReadsThem) {
  LoadUIStrings(kLanguageEnglish);
  const std::pair<const char*, int> accepted[] = {{"060", 60}, {" 60", 60}, {"60 ", 60}, {"\t60\n", 60},
                                                  {"+60", 60}, {"5", 5},     {"240", 240}, {"0240", 240}};
  for (const auto& [text, minutes] : accepted) {
    EXPECT_EQ(cli::IntervalMinutes(text), minutes) << '"' << text << '"';
  }
  for (const char* text : {"060", " 60"}) {
    const Result r = Sim({"set", "interval", text});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Set Interval Success\n");
  }
  for (const char* text : {"6O", "", "60x", "4", "241", "-5", "0x3C", "6 0", " ", "60.0", "+", "99999999999"}) {
    EXPECT_THROW(cli::IntervalMinutes(text), cli::Failure) << '"' << text << '"';
    // An unplugged unit shows that nothing was opened.
    const Result r = Sim({"--sim-fault", "unplugged", "set", "interval", text});
    EXPECT_EQ(r.status, 3) << '"' << text << '"';
    EXPECT_EQ(r.err, "norvoctl: Interval Range of values: 5 to 240 Minute\n") << '"' << text << '"';
  }
}

// ---- live --watch, interrupts --------------------------------------------------------

// Every reading of a watch starts with its local time, offset included; SIGINT
// and SIGTERM end the watch at once with 130 and 143.
TEST_F(CliFixture, LiveWatchStampsEveryReadingAndStopsOnSignals) {
  struct Case {
    const char* format;
    const char* tz;
    const char* offset;
    int signal;
    const char* last_line;  // what the first complete reading ends with
  };
  const Case cases[] = {
      {"", "TZ=XYZ-1", "+01:00", SIGINT, "CH8     --  \u00B0C        --  %     --  \u00B0C\n"},
      {"--json", "TZ=XYZ+5:30", "-05:30", SIGTERM, "\"}\n"},
      {"--csv", "TZ=UTC0", "+00:00", SIGINT, ",8,,,,\u00B0C\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"live", "--watch", "1"};
    if (*c.format) args.push_back(c.format);
    Child child = StartSim(args, {c.tz});
    Result r;
    Collect(child, r, c.last_line);
    ::kill(child.pid, c.signal);
    r = Finish(child, r);
    EXPECT_EQ(r.status, 128 + c.signal) << c.format << r.err;
    EXPECT_EQ(r.err, "norvoctl: interrupted\n") << c.format;
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)" + std::regex_replace(c.offset, std::regex(R"(\+)"), R"(\+)");
    std::smatch m;
    if (std::string(c.format).empty()) {
      EXPECT_TRUE(std::regex_search(r.out, m, std::regex("^" + stamp + "\nchannel temperature"))) << r.out;
    } else if (std::string(c.format) == "--json") {
      const nlohmann::json first = nlohmann::json::parse(r.out.substr(0, r.out.find('\n')));
      EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(), std::regex(stamp))) << first["time"];
      EXPECT_EQ(first["channels"].size(), 8u);
    } else {
      EXPECT_EQ(r.out.rfind("time,channel,temperature,humidity,dew_point,unit\n", 0), 0u) << r.out;
      EXPECT_TRUE(std::regex_search(r.out, m, std::regex("\n" + stamp + ",1,23\\.\\d,4\\d,\\d+\\.\\d,\u00B0C\n"))) << r.out;
    }
  }
  // One reading without --watch: CSV has its time column all the same.
  const Result once = Sim({"live", "--csv"});
  EXPECT_EQ(once.status, 0);
  EXPECT_EQ(std::count(once.out.begin(), once.out.end(), '\n'), 9);
}

// Ctrl-C in the middle of a download: status 130, what arrived stays, and
// the next sd get resumes it to the card file's exact copy.
TEST_F(CliFixture, InterruptedDownloadResumesToTheSameFile) {
  const fs::path copy = data / "LOG0003.CSV";
  const std::string card = sim::MakeLogFile(false, 1440, 0);
  for (const int signal : {SIGINT, SIGTERM}) {
    fs::remove(copy);
    // Every pause of the protocol twenty times longer: the download of 53 KB
    // takes seconds, and the first block is on disk long before the last.
    Child child = StartSim({"sd", "get", "LOG0003.CSV"}, {"NORVO_TIME_SCALE=20"});
    std::error_code ec;
    testing::WaitUntil([&] { return fs::file_size(copy, ec) > 0 && !ec; }, 60s * testing::kSlowdown);
    ::kill(child.pid, signal);
    const Result cut = Finish(child);
    EXPECT_EQ(cut.status, 128 + signal) << cut.err;
    EXPECT_NE(cut.err.find("interrupted; sd get LOG0003.CSV resumes the download"), std::string::npos) << cut.err;
    EXPECT_TRUE(cut.out.empty()) << "no path for an incomplete copy";
    const std::string partial = ReadFile(copy);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), TextMode(card).size());
    EXPECT_EQ(TextMode(card).compare(0, partial.size(), partial), 0) << "the partial copy is the file's beginning";

    const Result resumed = Sim({"sd", "get", "LOG0003.CSV"});
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumed.out, copy.string() + "\n");
    EXPECT_EQ(ReadFile(copy), TextMode(card));
  }
}

// ---- SD card ---------------------------------------------------------------------

// A unit that does not answer the list never yields an empty list, a
// download or a "deleted".
TEST_F(CliFixture, CardCommandsOnASilentUnitFail) {
  std::ofstream(data / "LOG0001.CSV") << "kept";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"sd", "list"}, {"sd", "list", "--json"}, {"sd", "get", "LOG0001.CSV"},
        {"sd", "rm", "LOG0001.CSV"}}) {
    std::vector<std::string> args = {"--sim-fault", "silent"};
    args.insert(args.end(), command.begin(), command.end());
    const Result r = Sim(args, {"NORVO_TIME_SCALE=0.01"});
    EXPECT_EQ(r.status, 1) << command[1];
    EXPECT_EQ(r.err, "norvoctl: The unit does not answer.\n") << command[1];
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(ReadFile(data / "LOG0001.CSV"), "kept");
}

TEST_F(CliFixture, CardCommandsTouchOnlyListedFilesAndNeverTheConsolesOwn) {
  std::ofstream(data / "Norvo.mdb") << "the store";
  std::ofstream(data / "Main.ini") << "[Language]\nLanguage=English\n";
  for (const char* name : {"Norvo.mdb", "NORVO.MDB", "main.ini", "Norvo.mdb-journal", "norvo.MDB-wal"}) {
    for (const char* command : {"get", "rm"}) {
      // Refused before the unit is opened: even an unplugged one gives 3.
      const Result r = Sim({"--sim-fault", "unplugged", "sd", command, name});
      EXPECT_EQ(r.status, 3) << command << " " << name;
      EXPECT_NE(r.err.find(std::string(name) + ": the name of the console's own file"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(ReadFile(data / "Norvo.mdb"), "the store");
  EXPECT_EQ(ReadFile(data / "Main.ini"), "[Language]\nLanguage=English\n");

  const Result absent = Sim({"sd", "rm", "NOPE.CSV"});
  EXPECT_EQ(absent.status, 3);
  EXPECT_EQ(absent.err, "norvoctl: NOPE.CSV: not on the card\n");

  // A unit that ignores the delete still lists the file: status 2, and the
  // local copy stays.
  std::ofstream(data / "LOG0001.CSV") << "kept";
  const Result ignored = Sim({"--sim-fault", "ignore-writes", "sd", "rm", "LOG0001.CSV"});
  EXPECT_EQ(ignored.status, 2);
  EXPECT_EQ(ignored.err,
            "norvoctl: LOG0001.CSV: still on the card after the delete; the local copy and the records were kept\n");
  EXPECT_EQ(ReadFile(data / "LOG0001.CSV"), "kept");
}

// ---- export ------------------------------------------------------------------------

struct StoredRow {
  const char* time;
  float temperature;
  int humidity;
  float dew_point;
  float heat_index;
};

void WriteStore(const fs::path& db, const std::vector<StoredRow>& rows) {
  RecordStore store;
  ASSERT_EQ(store.Connect(db.string()), 0);
  ASSERT_EQ(store.OpenRecordTable("SELECT * FROM Records"), 0);
  for (const StoredRow& row : rows) {
    double time = 0;
    ASSERT_TRUE(ParseSpanTime(row.time, &time));
    const LogRecord r{time, row.temperature, row.humidity, row.dew_point, row.heat_index};
    store.SetRecord(&r);
    ASSERT_EQ(store.AppendRecord(), 0);
  }
  ASSERT_TRUE(store.CloseRecordTable());
}

TEST_F(CliFixture, ExportWritesStoredValuesExactly) {
  const float inf = std::numeric_limits<float>::infinity();
  WriteStore(data / "Norvo.mdb", {{"2026-12-07 10:00:00", 30.5f, 30, 3.5f, 33.5f},  // the start: not included
                                  {"2026-12-07 10:01:00", 21.25f, 45, 10.1f, 65535.0f},
                                  {"2026-12-07 10:02:00", 65535.0f, 50, 65535.0f, 22.5f},
                                  {"2026-12-07 10:03:00", inf, 40, 0.1f, 0.001f},
                                  {"2026-12-07 10:04:00", 20.5f, 41, 7.25f, 21.0f},
                                  {"2026-12-07 10:04:00", 20.75f, 42, 7.5f, 22.0f}});
  const std::vector<std::string> span = {"export", "--from", "2026-12-07 10:00:00", "--to", "2026-12-07T10:04:00"};
  const auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = span;
    args.insert(args.end(), extra.begin(), extra.end());
    return Plain(args);
  };
  const Result one = run({});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, "time,Temperature\n2026-12-07T10:01:00,21.25\n2026-12-07T10:03:00,\n"
                     "2026-12-07T10:04:00,20.5\n2026-12-07T10:04:00,20.75\n");
  const Result one_json = run({"--json"});
  EXPECT_EQ(one_json.out, "[{\"time\": \"2026-12-07T10:01:00\", \"value\": 21.25}, "
                          "{\"time\": \"2026-12-07T10:03:00\", \"value\": null}, "
                          "{\"time\": \"2026-12-07T10:04:00\", \"value\": 20.5}, "
                          "{\"time\": \"2026-12-07T10:04:00\", \"value\": 20.75}]\n");

  const Result all = run({"--column", "all"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, "time,Temperature,Humidity,DewPoint,Heatindex\n"
                     "2026-12-07T10:01:00,21.25,45,10.1,\n"
                     "2026-12-07T10:02:00,,50,,22.5\n"
                     "2026-12-07T10:03:00,,40,0.1,0.001\n"
                     "2026-12-07T10:04:00,20.5,41,7.25,21\n"
                     "2026-12-07T10:04:00,20.75,42,7.5,22\n");
  const Result all_json = run({"--column", "all", "--json"});
  EXPECT_EQ(all_json.out.find("inf"), std::string::npos);
  EXPECT_EQ(all_json.out.find("nan"), std::string::npos);
  const nlohmann::json rows = nlohmann::json::parse(all_json.out);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].dump(), R"({"DewPoint":10.1,"Heatindex":null,"Humidity":45,"Temperature":21.25,"time":"2026-12-07T10:01:00"})");
  EXPECT_EQ(all_json.out.substr(0, all_json.out.find('}') + 1),
            "[{\"time\": \"2026-12-07T10:01:00\", \"Temperature\": 21.25, \"Humidity\": 45, \"DewPoint\": 10.1, "
            "\"Heatindex\": null}");
  EXPECT_TRUE(rows[2]["Temperature"].is_null());

  const Result two = run({"--column", "Humidity,Temperature"});
  EXPECT_EQ(two.out, "time,Humidity,Temperature\n2026-12-07T10:01:00,45,21.25\n2026-12-07T10:02:00,50,\n"
                     "2026-12-07T10:03:00,40,\n2026-12-07T10:04:00,41,20.5\n2026-12-07T10:04:00,42,20.75\n");

  for (const char* column : {"Temperature,", ",", "Temperature,Temperature", "temperature", "all,Humidity", ""}) {
    EXPECT_EQ(run({"--column", column}).status, 3) << column;
  }
  // Years an OLE date in the store cannot hold are refused, not wrapped.
  for (const char* from : {"99999-01-01 00:00:00", "10000-01-01 00:00:00", "99-12-31 23:59:59", "-5-01-01 00:00:00"}) {
    const Result r = Plain({"export", "--from", from, "--to", "2026-12-07 11:00:00"});
    EXPECT_EQ(r.status, 3) << from;
    EXPECT_NE(r.err.find("--from: the year"), std::string::npos) << r.err;
  }
  const Result wide = Plain({"export", "--from", "100-01-01 00:00:00", "--to", "9999-12-31 23:59:59"});
  EXPECT_EQ(wide.status, 0) << wide.err;
  EXPECT_EQ(std::count(wide.out.begin(), wide.out.end(), '\n'), 6);
}

// --from and --to in every form norvoctl prints and ISO 8601 writes, here in
// a zone one hour east of UTC; an end before the start is the Graph's
// "Time Error".
TEST_F(CliFixture, ExportTimesInIso8601AndTheirOrder) {
  WriteStore(data / "Norvo.mdb", {{"2026-12-07 00:00:00", 1.0f, 1, 1.0f, 1.0f},
                                  {"2026-12-07 10:00:00", 2.0f, 2, 2.0f, 2.0f},
                                  {"2026-12-07 10:04:00", 3.0f, 3, 3.0f, 3.0f},
                                  {"2026-12-08 00:00:00", 4.0f, 4, 4.0f, 4.0f}});
  const struct {
    const char* from;
    const char* to;
    int status;
    const char* rows;  // the Temperature values exported
  } cases[] = {
      {"2026-12-07 09:59:59", "2026-12-07T10:04:00", 0, "2,3"},
      {"2026-12-07T09:59:59+01:00", "2026-12-07T10:04:00+01:00", 0, "2,3"},
      {"2026-12-07T08:59:59Z", "2026-12-07T09:04:00Z", 0, "2,3"},
      {"2026-12-07T03:59:59-05:00", "2026-12-07T04:04:00-0500", 0, "2,3"},
      {"2026-12-07T10:59:59+02", "2026-12-07T11:04+02:00", 0, "2,3"},
      {"2026-12-06", "2026-12-07", 0, "1"},
      {"2026-12-07", "2026-12-08", 0, "2,3,4"},
      {"2026-12-07T10:04:00+01:00", "2026-12-07T10:04:00+01:00", 0, ""},
      {"2026-12-07T10:04:01", "2026-12-07T10:04:00", 3, nullptr},
      {"2026-12-07T10:00:00Z", "2026-12-07T10:30:00+01:00", 3, nullptr},
      {"2026-12-07T10:00:00+1", "2026-12-07", 3, nullptr},
      {"2026-12-07T10:00:00 CET", "2026-12-07", 3, nullptr},
      {"2026-12-07T10:00:00+24:00", "2026-12-08", 3, nullptr},
      {"2026-12-07Z", "2026-12-08", 3, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--data-dir", data.string(), "export", "--from", c.from, "--to", c.to};
    const Result r = Norvoctl(args, {"TZ=CET-1"});
    EXPECT_EQ(r.status, c.status) << c.from << " " << c.to << ": " << r.err;
    if (c.rows != nullptr) {
      std::string values;
      std::istringstream lines(r.out);
      std::string line;
      std::getline(lines, line);
      while (std::getline(lines, line)) {
        if (!values.empty()) values += ',';
        values.append(line, line.find(',') + 1);
      }
      EXPECT_EQ(values, c.rows) << c.from << " " << c.to;
    }
  }
  const Result order = Norvoctl({"--data-dir", data.string(), "export", "--from", "2026-12-07 11:00:00", "--to",
                                 "2026-12-07 10:00:00"}, {"TZ=CET-1"});
  EXPECT_EQ(order.err, "norvoctl: Time Error: --to lies before --from\n");
  EXPECT_EQ(order.out, "");
  const Result german = Norvoctl({"--data-dir", data.string(), "--lang", "Deutsch", "export", "--from", "2026-12-08",
                                  "--to", "2026-12-07", "--live"}, {"TZ=CET-1"});
  EXPECT_EQ(german.status, 3);
  EXPECT_EQ(german.err, "norvoctl: Zeitfehler: --to liegt vor --from\n");
}

// ---- output errors -------------------------------------------------------------------

// Data that cannot be written (a full disk, a reader that went away) is a
// failure, status 4, never a silent success.
TEST_F(CliFixture, OutputThatCannotBeWrittenIsAFailure) {
  WriteStore(data / "Norvo.mdb", {{"2026-12-07 10:01:00", 21.25f, 45, 10.1f, 22.0f}});
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  int closed[2];
  ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
  ::close(closed[0]);  // nobody reads
  const std::vector<std::string> export_args = {"export", "--from", "2026-12-07 10:00:00", "--to", "2026-12-07 11:00:00"};
  for (const auto& [fd, reason] : {std::pair{full, "No space left on device"}, std::pair{closed[1], "Broken pipe"}}) {
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"live"}, {"live", "--csv", "--watch", "1"}, {"settings", "--json"}, {"alarms"},
          {"calibration"}, {"sd", "list"}, {"backup", "-"}, {"--help"}}) {
      const Result r = Sim(command, {}, fd);
      EXPECT_EQ(r.status, 4) << command[0] << " " << reason;
      EXPECT_NE(r.err.find(std::string("norvoctl: cannot write the output: ") + reason), std::string::npos) << r.err;
    }
    const Result r = Plain(export_args, fd);
    EXPECT_EQ(r.status, 4) << reason;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    EXPECT_EQ(Plain({"export", "--from", "2026-12-07 10:00:00", "--to", "2026-12-07 11:00:00", "--json"}, fd).status, 4);
  }
  ::close(full);
  ::close(closed[1]);
}

// ---- backup and restore ---------------------------------------------------------------

TEST_F(CliFixture, BackupAndRestoreFiles) {
  const fs::path file = data / "unit.json";
  const Result saved = Sim({"backup", file.string()});
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(saved.err, "saved the configuration of the eight-area unit to " + file.string() + "\n");
  const std::string text = ReadFile(file);
  const nlohmann::ordered_json backup = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (auto it = backup.begin(); it != backup.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"model", "identification", "interval", "settings", "alarms", "calibration"}));
  EXPECT_EQ(Sim({"backup", "-"}).out, text);

  // Each --simulate run is a fresh unit with the same defaults: the restore
  // writes and reads back the same.
  const Result restored = Sim({"restore", file.string()});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(restored.err, "restored settings, alarms, calibration and interval from " + file.string() +
                              "; the unit reads back the same\n");

  // A dry run opens no unit: an unplugged one makes no difference.
  const Result dry = Sim({"--sim-fault", "unplugged", "restore", file.string(), "--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  std::vector<std::string> lines;
  std::istringstream in(dry.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  const std::string zeros = [] {
    std::string z;
    for (int i = 0; i < 64; ++i) z += " 00";
    return z;
  }();
  EXPECT_EQ(lines[0].substr(0, 3 * 13 - 1), "7B 10 00 18 00 00 00 01 00 00 00 00 07");
  EXPECT_EQ(lines[5], "7B 40 0A 40 7D" + zeros.substr(0, 3 * 59));
  for (const std::string& line : lines) EXPECT_EQ(line.size(), 64u * 3 - 1);

  const Result refused = Sim({"--sim-fault", "refuse", "restore", file.string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "norvoctl: restore: settings: Please switch the device to the main screen. (nothing was written)\n");
  const Result silent = Sim({"--sim-fault", "silent", "restore", file.string()}, {"NORVO_TIME_SCALE=0.01"});
  EXPECT_EQ(silent.status, 1);

  // A value edited without its raw bytes would be lost: refused, naming it.
  std::string edited = text;
  edited.replace(edited.find("\"minutes\": 10"), 13, "\"minutes\": 20");
  std::ofstream(data / "edited.json") << edited;
  const Result mismatch = Sim({"restore", (data / "edited.json").string()});
  EXPECT_EQ(mismatch.status, 3);
  EXPECT_NE(mismatch.err.find("/interval/minutes: does not agree with the raw bytes"), std::string::npos) << mismatch.err;

  // A five-area backup does not go onto an eight-area unit.
  UnitConfiguration five;
  five.identification = "{QT5100@}";
  five.interval = 10;
  five.settings[settings::kGraphSpan] = 24;
  five.alarm_d.fill(0xFF);
  std::ofstream(data / "five.json") << BackupJson(five);
  const Result model = Sim({"restore", (data / "five.json").string()});
  EXPECT_EQ(model.status, 3);
  EXPECT_EQ(model.err, "norvoctl: restore: the backup is of a five-area unit, this unit is eight-area; nothing was written\n");

  std::ofstream(data / "broken.json") << "{\"model\": ";
  EXPECT_EQ(Sim({"restore", (data / "broken.json").string(), "--dry-run"}).status, 3);
  EXPECT_EQ(Sim({"restore", (data / "missing.json").string()}).status, 4);
  const Result nowhere = Sim({"backup", (data / "no" / "such" / "folder.json").string()});
  EXPECT_EQ(nowhere.status, 4);
  EXPECT_FALSE(fs::exists(data / "no"));
}

// norvoctl and the console store the same records for the same copy: the
// unit's date format goes with the copy, whatever the locale says.
TEST_F(CliFixture, ConsoleAndNorvoctlStoreIdenticalRecords) {
  const Result get = Sim({"sd", "get", "LOG0001.CSV", "--import"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(ReadFile(DateFormatNote(data / "LOG0001.CSV")), "0");  // the simulated unit writes YYYY-MM-DD
  const auto rows = [](const std::string& db) {
    std::vector<std::string> all;
    for (const char* column : {"Temperature", "Humidity", "DewPoint", "Heatindex"}) {
      RecordStore store;
      EXPECT_EQ(store.Connect(db), 0);
      EXPECT_EQ(store.QueryRecords("1800-01-01 0:00:00", "2100-01-01 0:00:00", column), 0);
      double t;
      float v;
      while (store.NextRow(&t, &v)) all.push_back(std::string(column) + std::to_string(t) + "=" + std::to_string(v));
    }
    return all;
  };
  const std::vector<std::string> cli = rows((data / "Norvo.mdb").string());
  EXPECT_EQ(cli.size(), 180u * 4 - 18 - 0);  // every tenth line has no heat index
  for (DayOrder locale : {DayOrder::kDayFirst, DayOrder::kMonthFirst}) {
    const fs::path console_db = data / "console.db";
    fs::remove(console_db);
    RecordStore store;
    const ImportResult r = ImportLocalCopy("LOG0001.CSV", data / "LOG0001.CSV", console_db.string(), locale, store);
    ASSERT_TRUE(r.stored);
    EXPECT_EQ(rows(console_db.string()), cli);
  }
  // The note and the copy go together.
  EXPECT_EQ(Sim({"sd", "rm", "LOG0001.CSV"}).status, 0);
  EXPECT_FALSE(fs::exists(DateFormatNote(data / "LOG0001.CSV")));
}

// The disk fills during sd get: status 4 and a write error, never success;
// what reached the disk resumes to the whole file.
TEST_F(CliFixture, DiskFullDuringSdGetIsAFailure) {
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);  // inherited: writes fail with EFBIG
  rlimit small{20000, old.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Result full = Sim({"sd", "get", "LOG0003.CSV"});
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(full.status, 4) << full.err;
  EXPECT_NE(full.err.find("Write error"), std::string::npos) << full.err;
  const std::string whole = TextMode(sim::MakeLogFile(false, 1440, 0));
  const std::string partial = ReadFile(data / "LOG0003.CSV");
  EXPECT_EQ(partial, whole.substr(0, partial.size()));
  const Result resumed = Sim({"sd", "get", "LOG0003.CSV"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(ReadFile(data / "LOG0003.CSV"), whole);
}

// A file size limit (ulimit -f) with SIGXFSZ at its default: norvoctl is not
// killed by the signal but ends with status 4 and the reason, the old backup
// stays whole and no temporary is left; the partial copy of sd get resumes.
TEST_F(CliFixture, FileSizeLimitIsAWriteErrorNotASignal) {
  std::ofstream(data / "unit.json") << "previous backup";
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto previous = std::signal(SIGXFSZ, SIG_DFL);
  rlimit small{2000, old.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Result backup = Sim({"backup", (data / "unit.json").string()});
  const Result get = Sim({"sd", "get", "LOG0003.CSV"});
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(backup.status, 4) << backup.err;
  EXPECT_EQ(backup.err, "norvoctl: cannot write " + (data / "unit.json").string() + ": File too large\n");
  EXPECT_EQ(ReadFile(data / "unit.json"), "previous backup");
  EXPECT_EQ(get.status, 4) << get.err;
  EXPECT_NE(get.err.find("LOG0003.CSV: File too large"), std::string::npos) << get.err;
  for (const auto& entry : fs::directory_iterator(data)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
  const Result resumed = Sim({"sd", "get", "LOG0003.CSV"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(ReadFile(data / "LOG0003.CSV"), TextMode(sim::MakeLogFile(false, 1440, 0)));
}

// backup FILE onto what is not a plain file: a symbolic link stays a link
// with its target replaced, a FIFO stays a FIFO and gets the text, a device
// that cannot take it is status 4. A restore input that no backup could be
// is refused before it fills the memory.
TEST_F(CliFixture, BackupTargetsThatAreNotPlainFiles) {
  const fs::path target = data / "real.json", link = data / "link.json", fifo = data / "fifo";
  std::ofstream(target) << "old";
  fs::create_symlink(target, link);
  const Result linked = Sim({"backup", link.string()});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target).rfind("{\n  \"model\": \"eight-area\"", 0), 0u);

  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const Result piped = Sim({"backup", fifo.string()});
  EXPECT_EQ(piped.status, 0) << piped.err;
  std::string text(65536, '\0');
  const ssize_t n = ::read(reader, text.data(), text.size());
  ::close(reader);
  EXPECT_EQ(std::string(text.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0))), ReadFile(target));
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);

  const Result full = Sim({"backup", "/dev/full"});
  EXPECT_EQ(full.status, 4);
  EXPECT_EQ(full.err, "norvoctl: cannot write /dev/full: No space left on device\n");
  EXPECT_EQ(fs::status("/dev/full").type(), fs::file_type::character);

  const Result endless = Sim({"restore", "/dev/zero", "--dry-run"});
  EXPECT_EQ(endless.status, 3);
  EXPECT_EQ(endless.err, "norvoctl: cannot read /dev/zero: is not a regular file, not a backup\n");

  // Nobody reads the FIFO now: refused at once instead of waiting for a reader.
  const Result unread = Sim({"backup", fifo.string()});
  EXPECT_EQ(unread.status, 4);
  EXPECT_EQ(unread.err, "norvoctl: cannot write " + fifo.string() + ": no process reads it\n");
  const Result folder = Sim({"backup", data.string()});
  EXPECT_EQ(folder.status, 3);
  EXPECT_EQ(folder.err, "norvoctl: cannot write " + data.string() + ": is a directory\n");
}

// backup FILE never writes through a symbolic link another user planted,
// makes its temporary itself, and gives a replaced file its old mode.
TEST_F(CliFixture, BackupFollowsOnlyTheCallersOwnLinks) {
  const fs::path secret = data / "secret", planted = data / "planted.json", own = data / "own.json";
  const fs::path kept = data / "kept.json", fresh = data / "fresh.json";
  const struct {
    const char* what;
    fs::path named;
    std::function<void()> setup;
    int status;
    fs::path written;  // the file that holds the backup afterwards, empty: none
    mode_t mode;
  } cases[] = {
      {"another user's link", planted,
       [&] {
         testing::WriteFile(secret, "root only");
         fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
         fs::create_symlink(secret, planted);
         ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
       },
       4, {}, 0600},
      {"the caller's own link", own, [&] { fs::create_symlink(kept, own); }, 0, kept, 0666 & ~Umask()},
      {"an existing 0600 file keeps its mode", kept, [&] { fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write); },
       0, kept, 0600},
      {"a new file", fresh, [] {}, 0, fresh, 0666 & ~Umask()},
  };
  for (const auto& c : cases) {
    c.setup();
    const Result r = Sim({"backup", c.named.string()});
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    if (c.written.empty()) {
      EXPECT_EQ(ReadFile(secret), "root only") << c.what;
      EXPECT_EQ(fs::status(secret).permissions() & fs::perms::mask, fs::perms(c.mode)) << c.what;
      EXPECT_NE(r.err.find("a symbolic link of another user; not followed"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(ReadFile(c.written).rfind("{\n  \"model\"", 0), 0u) << c.what;
      EXPECT_EQ(fs::status(c.written).permissions() & fs::perms::mask, fs::perms(c.mode)) << c.what;
    }
  }
  for (const auto& entry : fs::directory_iterator(data)) {
    EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

// Any text given to restore ends in one of the documented statuses.
TEST_F(CliFixture, HostileRestoreInputsEndInAStatus) {
  const Result saved = Sim({"backup", (data / "unit.json").string()});
  ASSERT_EQ(saved.status, 0) << saved.err;
  std::string huge = ReadFile(data / "unit.json");
  huge.replace(huge.find("\"minutes\": 10"), 13, "\"minutes\": 1e400");
  std::string zone = ReadFile(data / "unit.json");
  zone.replace(zone.find("\"value\": 1,\n      \"raw\": \"01\""), 29, "\"value\": 100,\n      \"raw\": \"64\"");
  const struct {
    const char* what;
    std::string text;
    const char* error;
  } cases[] = {
      {"1e400", huge, "not a JSON text"},
      {"deep", std::string(200000, '[') + std::string(200000, ']'), "not a backup: nested deeper than 32 levels"},
      {"time zone +100", zone, "/settings/time_zone: 100; allowed: -12 to 12"},
      {"a number", "5", "/: not an object"},
  };
  for (const auto& c : cases) {
    testing::WriteFile(data / "hostile.json", c.text);
    const Result r = Sim({"restore", (data / "hostile.json").string()});
    EXPECT_EQ(r.status, 3) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.what << ": " << r.err;
  }
}

// restore FILE opens the file without waiting: a FIFO, a device or a folder
// is refused at once with the reason, a file too large before it is read. A
// key given twice is refused naming both lines; what a file holds is never
// echoed, and a name with control characters is shown escaped.
TEST_F(CliFixture, RestoreFilesThatAreNoBackupAreRefusedAtOnce) {
  ASSERT_EQ(Sim({"backup", (data / "unit.json").string()}).status, 0);
  std::string twice = ReadFile(data / "unit.json");
  twice.insert(2, "  \"interval\": {\"minutes\": 240, \"raw\": \"F0\"},\n");  // line 2; the backup's own is on 5
  const fs::path fifo = data / "fifo", big = data / "big.json", missing = data / "we\x1bird\nname.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  testing::WriteFile(big, std::string(1048577, ' '));
  const struct {
    fs::path file;
    std::string text;  // written to the file first unless empty
    int status;
    std::string error;
  } cases[] = {
      {fifo, "", 3, "cannot read " + fifo.string() + ": is not a regular file, not a backup"},
      {data, "", 3, "cannot read " + data.string() + ": is a directory, not a backup"},
      {"/dev/zero", "", 3, "cannot read /dev/zero: is not a regular file, not a backup"},
      {big, "", 3, "cannot read " + big.string() + ": larger than 1048576 bytes, not a backup"},
      {missing, "", 4, "cannot read " + data.string() + "/we\\x1bird\\nname.json: No such file or directory"},
      {data / "twice.json", twice, 3, (data / "twice.json").string() + ": /: the key \"interval\" twice, on lines 2 and 5"},
      {data / "shadow", "root:$6$s4lt$h4sh:19000:0:99999:7:::\n", 3,
       (data / "shadow").string() + ": not a JSON text: line 1, column 1: syntax error while parsing value - invalid literal"},
      {data / "nul.json", twice.substr(0, 20) + std::string(1, '\0') + twice, 3,
       (data / "nul.json").string() + ": not a JSON text: a NUL byte on line 2"},
  };
  for (const auto& c : cases) {
    if (!c.text.empty()) testing::WriteFile(c.file, c.text);
    const Result r = Sim({"restore", c.file.string(), "--dry-run"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, "norvoctl: " + c.error + "\n");
  }
}

// restore - waits on standard input as long as it takes, and a signal ends
// the wait with its status.
TEST_F(CliFixture, RestoreFromAPipeThatNeverEndsStopsOnASignal) {
  const fs::path fifo = data / "stdin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const int signal : {SIGINT, SIGTERM}) {
    // Held open for writing here, so that the child's open does not wait.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<std::string> argv = SimArgs({"restore", "-"});
    argv.insert(argv.begin(), NORVOCTL);
    Child child = testing::Spawn(argv, {.env = SimEnv(), .in = fifo});
    ASSERT_EQ(::write(writer, "{", 1), 1);
    // The byte is taken: norvoctl is reading, its handlers set.
    int unread = -1;
    ASSERT_TRUE(WaitUntil([&] { return ::ioctl(writer, FIONREAD, &unread) == 0 && unread == 0; }));
    ::kill(child.pid, signal);
    const Result r = Finish(child);
    ::close(writer);
    EXPECT_EQ(r.status, 128 + signal);
    EXPECT_EQ(r.err, "norvoctl: interrupted\n");
  }
}

// The card names its files: sd list shows a control character in a name
// escaped, so no sequence reaches the terminal and no line is made up; the
// JSON list carries the names exactly.
TEST_F(CliFixture, OddCardNamesAreShownEscaped) {
  const Result text = Sim({"--sim-fault", "odd-names", "sd", "list"});
  const Result json = Sim({"--sim-fault", "odd-names", "sd", "list", "--json"});
  ASSERT_EQ(text.status + json.status, 0) << text.err << json.err;
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 6) << text.out;
  std::set<std::string> listed;
  for (const auto& file : nlohmann::json::parse(json.out)) listed.insert(file["name"].get<std::string>());
  const std::pair<std::string, std::string> names[] = {
      {"RED\\x1b[31m.CSV", "RED\x1b[31m.CSV"},
      {"A.CSV\\nFAKE.CSV", "A.CSV\nFAKE.CSV"},
      {"CSI\\u009b2J\\x7f.CSV", "CSI\xc2\x9b" "2J\x7f.CSV"},
  };
  for (const auto& [shown, name] : names) {
    EXPECT_NE(text.out.find("\n" + shown + " "), std::string::npos) << shown << "\n" << text.out;
    EXPECT_EQ(listed.count(name), 1u) << shown;
  }
  EXPECT_EQ(text.out.find_first_of("\x1b\x7f\x9b"), std::string::npos) << text.out;
}

// Ctrl-C while the unit is still being opened: the write that would follow
// never starts, and nothing claims success.
TEST_F(CliFixture, InterruptBeforeAWriteBeginsWritesNothing) {
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"set", "interval", "60"}, {"sync-time"}}) {
    // SIGINT already waits when norvoctl starts (blocked, as a parent may
    // hand it on): it arrives as the handler is set, before the unit is opened.
    std::vector<std::string> argv = SimArgs(command);
    argv.insert(argv.begin(), NORVOCTL);
    Child child = testing::Spawn(argv, {.env = SimEnv(), .pending_signal = SIGINT});
    const Result r = Finish(child);
    EXPECT_EQ(r.status, 130) << command[0];
    EXPECT_EQ(r.err, "norvoctl: interrupted; nothing was written to the unit\n") << command[0];
  }
}

}  // namespace
}  // namespace norvo
