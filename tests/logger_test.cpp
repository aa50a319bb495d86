// Unattended logging as an operator sees it: rows in the record store's live
// table, the text a Prometheus scrape gets (checked by promtool, fetched by
// curl), the messages a real mosquitto broker carries, and norvoctl serve as
// a process that is stopped, killed and left without its broker.
//
// promtool, curl and mosquitto are installed by tools/deps.sh: a test that
// needs one fails when it is missing.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "logger/Logger.h"
#include "logger/Metrics.h"
#include "logger/MqttPublisher.h"
#include "logger/Serve.h"
#include "session/UnitSession.h"
#include "settings/DataFolder.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "store/LiveStore.h"
#include "store/RecordStore.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace norvo {
namespace {

using testing::FindProgram;
using testing::ReadFile;
using testing::TempFolder;
using testing::WaitUntil;
using Ran = testing::Result;
using testing::RunProgram;

#define REQUIRE_TOOL(var, name)                                                                  \
  [[maybe_unused]] const std::string var = FindProgram(name);                                    \
  ASSERT_FALSE(var.empty()) << name << " is missing: bash tools/deps.sh installs it"

void ExpectPromtoolPasses(const std::string& text) {
  REQUIRE_TOOL(promtool, "promtool");
  TempFolder folder;
  const fs::path file = folder.path / "scrape.txt";
  std::ofstream(file, std::ios::binary) << text;
  const Ran r = RunProgram({promtool, "check", "metrics"}, {.in = file});
  EXPECT_EQ(r.status, 0) << r.out << r.err << "\n" << text;
}

std::string Scrape(int port) {
  const std::string curl = FindProgram("curl");
  EXPECT_FALSE(curl.empty()) << "curl is missing: bash tools/deps.sh installs it";
  if (curl.empty()) return "";
  const Ran r = RunProgram({curl, "-sS", "--max-time", "10", "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// A mosquitto broker of the test's own on 127.0.0.1.
class Broker {
 public:
  explicit Broker(const fs::path& folder) : folder_(folder), port_(FreePort()) {}
  ~Broker() { Stop(); }
  int Port() const { return port_; }
  // Anonymous clients, or only those in the password file.
  bool Start(const fs::path& password_file = {}) {
    const std::string mosquitto = FindProgram("mosquitto");
    if (mosquitto.empty()) return false;
    const fs::path conf = folder_ / "mosquitto.conf";
    // As root, mosquitto would drop to its own user, which cannot read the
    // test's private folder.
    std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\npersistence false\n"
                        << (::geteuid() == 0 ? "user root\n" : "")
                        << (password_file.empty() ? "allow_anonymous true\n"
                                                  : "allow_anonymous false\npassword_file " + password_file.string() + "\n");
    child_ = testing::Spawn({mosquitto, "-c", conf.string()}, {.out = folder_ / "broker.out", .err = folder_ / "broker.err"});
    return WaitUntil([&] { return Accepts(port_); }, 10s);
  }
  void Stop() {
    if (child_.pid <= 0) return;
    ::kill(child_.pid, SIGTERM);
    testing::Finish(child_);
  }

 private:
  fs::path folder_;
  int port_;
  testing::Child child_;
};

// Everything the broker carries, seen through libmosquitto; it subscribes
// again after every reconnection.
class Subscriber {
 public:
  struct Message {
    std::string topic, payload;
    bool retained = false;
    std::chrono::system_clock::time_point at;
  };

  explicit Subscriber(int port, const std::string& user = "", const std::string& password = "") {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, "#", 0);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard lock(s->mutex_);
      s->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                              m->retain, std::chrono::system_clock::now()});
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    connected_ = mosquitto_connect(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  bool Connected() const { return connected_; }

  std::vector<Message> Messages(const std::string& topic_prefix = "") const {
    std::lock_guard lock(mutex_);
    std::vector<Message> found;
    for (const Message& m : messages_) {
      if (m.topic.rfind(topic_prefix, 0) == 0) found.push_back(m);
    }
    return found;
  }
  std::string Last(const std::string& topic) const {
    const auto found = Messages(topic);
    return found.empty() ? "" : found.back().payload;
  }
  bool WaitLast(const std::string& topic, const std::string& payload) {
    return WaitUntil([&] { return Last(topic) == payload; });
  }

 private:
  mosquitto* client_ = nullptr;
  bool connected_ = false;
  mutable std::mutex mutex_;  // guards messages_
  std::vector<Message> messages_;
};

// Rows of a table, by direct SQL: what any other reader of the file sees.
int CountRows(const fs::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  int n = -1;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    n = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return n;
}

double Now() { return logger::UnixSeconds(std::chrono::system_clock::now()); }

// Central European time, without relying on the zone database.
struct CentralEuropeanTime : testing::ScopedEnv {
  CentralEuropeanTime() : ScopedEnv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3") {}
};

LivePoll Poll(double time, const std::string& unit, double t1, int h1, double d1) {
  LivePoll p;
  p.time = time;
  p.unit = unit;
  p.channels[0] = {t1, h1, d1};
  p.channels[1] = {-40.0, std::nullopt, std::nullopt};  // a temperature without humidity
  return p;
}

// ---- the live table ------------------------------------------------------------

TEST(LiveStoreTest, AppendsQueriesAndRetainsWithoutTouchingTheImport) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  // An imported log file's records are in the same file.
  {
    RecordStore records;
    ASSERT_EQ(records.Connect(db.string()), 0);
    ASSERT_EQ(records.OpenRecordTable("SELECT * FROM Records"), 0);
    for (int i = 0; i < 5; ++i) {
      const LogRecord r{46000.0 + i / 1440.0, 21.5f, 50, 10.8f, 65535.0f};
      records.SetRecord(&r);
      ASSERT_EQ(records.AppendRecord(), 0);
    }
    ASSERT_TRUE(records.CloseRecordTable());
  }
  LiveStore live;
  std::string error;
  ASSERT_TRUE(live.Open(db.string(), &error)) << error;
  const double now = Now();
  const LivePoll polls[] = {Poll(now - 3 * 86400, "/dev/hidraw1", 20.5, 40, 6.4), Poll(now - 60, "/dev/hidraw1", 21.5, 45, 9.2),
                            Poll(now, "sim:unit2", 60.0, 99, 59.8)};
  ASSERT_TRUE(live.Append(polls, &error)) << error;
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), 3 * kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Temperature IS NULL AND Humidity IS NULL AND "
                          "DewPoint IS NULL"),
            3 * (kLiveChannels - 2));

  std::vector<LiveRow> rows;
  ASSERT_TRUE(live.Query(now - 120, now, [&](const LiveRow& r) { rows.push_back(r); return true; }, &error));
  ASSERT_EQ(rows.size(), 2u * kLiveChannels);
  EXPECT_EQ(rows[0].unit, "/dev/hidraw1");
  EXPECT_EQ(rows[0].channel, 1);
  EXPECT_EQ(rows[0].value.temperature, 21.5);
  EXPECT_EQ(rows[0].value.humidity, 45);
  EXPECT_EQ(rows[1].value.temperature, -40.0);
  EXPECT_FALSE(rows[1].value.humidity);
  EXPECT_FALSE(rows[1].value.dew_point);
  EXPECT_EQ(rows[kLiveChannels].unit, "sim:unit2");

  int deleted = 0;
  ASSERT_TRUE(live.DeleteBefore(now - 86400, &deleted, &error)) << error;
  EXPECT_EQ(deleted, kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), 2 * kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM Records"), 5);

  // A file that is not a database is reported and stays as it was.
  const fs::path foreign = folder.path / "foreign.mdb";
  std::ofstream(foreign, std::ios::binary) << "Standard Jet DB\x01\x02";
  const std::string before = ReadFile(foreign);
  LiveStore other;
  EXPECT_FALSE(other.Open(foreign.string(), &error));
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(foreign), before);
}

// Start excluded, end included, as the export of imported records; the
// times in local time with their offset.
TEST(LiveStoreTest, ExportKeepsTheSpanRulesInBothFormats) {
  CentralEuropeanTime cet;
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  double t[4];
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(ParseLocalTime("2026-12-07 08:0" + std::to_string(i) + ":00", &t[i]));
  EXPECT_EQ(t[1] - t[0], 60.0);
  {
    LiveStore live;
    std::string error;
    ASSERT_TRUE(live.Open(db.string(), &error));
    std::vector<LivePoll> polls;
    for (int i = 0; i < 4; ++i) polls.push_back(Poll(t[i] + (i == 1 ? 0.25 : 0.0), "a,\"b\"", 21.0 + i, 50, 10.2));
    ASSERT_TRUE(live.Append(polls, &error));
  }
  struct Case {
    std::string from, to;
    LiveFormat format;
    std::vector<std::string> lines;  // expected, each a prefix of a line (CSV) or a substring (JSON)
    std::size_t rows;
  };
  const Case cases[] = {
      {"2026-12-07 08:00:00", "2026-12-07 08:02:00", LiveFormat::kCsv,
       {"time,unit,channel,temperature,humidity,dew_point\n2026-12-07T08:01:00.250+01:00,\"a,\"\"b\"\"\",1,22,50,10.2\n",
        "2026-12-07T08:01:00.250+01:00,\"a,\"\"b\"\"\",2,-40,,\n", "2026-12-07T08:02:00.000+01:00,\"a,\"\"b\"\"\",1,23,50,10.2\n"},
       2 * kLiveChannels},
      {"2026-12-07T08:02:00", "2026-12-07T08:03:00", LiveFormat::kJson,
       {"[{\"time\": \"2026-12-07T08:03:00.000+01:00\", \"unit\": \"a,\\\"b\\\"\", \"channel\": 1, \"temperature\": 24, "
        "\"humidity\": 50, \"dew_point\": 10.2}",
        "{\"time\": \"2026-12-07T08:03:00.000+01:00\", \"unit\": \"a,\\\"b\\\"\", \"channel\": 8, \"temperature\": null, "
        "\"humidity\": null, \"dew_point\": null}]"},
       kLiveChannels},
      {"2026-12-07 08:03:00", "2026-12-07 09:00:00", LiveFormat::kJson, {"[]"}, 0},
  };
  for (const Case& c : cases) {
    const fs::path file = folder.path / "export.txt";
    std::FILE* out = std::fopen(file.c_str(), "w");
    const LiveExportResult r = ExportLive(db.string(), c.from, c.to, c.format, out);
    std::fclose(out);
    EXPECT_EQ(r.status, LiveExportResult::kOk) << r.message;
    const std::string text = ReadFile(file);
    for (const std::string& line : c.lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (c.format == LiveFormat::kCsv) {
      EXPECT_EQ(lines, c.rows + 1) << text;
    } else {
      EXPECT_EQ(lines, 1u) << text;
      EXPECT_EQ(nlohmann::json::parse(text).size(), c.rows);
    }
  }
  EXPECT_EQ(ExportLive(db.string(), "2026-12-07 25:00:00", "2026-12-08 00:00:00", LiveFormat::kCsv, stdout).status,
            LiveExportResult::kBadInput);
  const LiveExportResult missing =
      ExportLive((folder.path / "none.mdb").string(), "2026-12-07 08:00:00", "2026-12-08 00:00:00", LiveFormat::kCsv, stdout);
  EXPECT_EQ(missing.status, LiveExportResult::kStoreError);
  EXPECT_FALSE(fs::exists(folder.path / "none.mdb")) << "an export creates nothing";
}

// ---- the exposition format ------------------------------------------------------

TEST(MetricsTest, TextPassesPromtoolAndShowsOnlyCurrentReadings) {
  logger::StatusTable table;
  table.Add("/dev/hidraw0");
  table.Add("sim:\"odd\\unit\"");
  ASSERT_FALSE(table.Connected("/dev/hidraw0"));
  LivePoll poll = Poll(1765180800.5, "/dev/hidraw0", 23.5, 45, 10.9);
  table.Polled("/dev/hidraw0", "{QT7100K@}\nsecond \"line\"", poll, 0.5);
  table.PollFailed("/dev/hidraw0");
  table.Polled("/dev/hidraw0", "{QT7100K@}\nsecond \"line\"", poll, 0.078);
  table.Connected("sim:\"odd\\unit\"");
  table.Polled("sim:\"odd\\unit\"", "", poll, 0.1);
  table.Lost("sim:\"odd\\unit\"", "No unit found.");
  table.WriteFailed("/dev/hidraw0", 2);
  table.MqttFailed();

  const std::string text = logger::RenderMetrics(table.Units(), table.MqttErrors(), "1.5");
  ExpectPromtoolPasses(text);
  for (const char* line : {
           "norvo_build_info{version=\"1.5\"} 1\n",
           "norvo_unit_info{device=\"/dev/hidraw0\",identification=\"{QT7100K@}\\nsecond \\\"line\\\"\"} 1\n",
           "norvo_unit_connected{device=\"/dev/hidraw0\"} 1\n",
           "norvo_unit_connected{device=\"sim:\\\"odd\\\\unit\\\"\"} 0\n",
           "norvo_temperature_celsius{device=\"/dev/hidraw0\",channel=\"1\"} 23.5\n",
           "norvo_temperature_celsius{device=\"/dev/hidraw0\",channel=\"2\"} -40\n",
           "norvo_relative_humidity_ratio{device=\"/dev/hidraw0\",channel=\"1\"} 0.45\n",
           "norvo_dew_point_celsius{device=\"/dev/hidraw0\",channel=\"1\"} 10.9\n",
           "norvo_last_poll_timestamp_seconds{device=\"/dev/hidraw0\"} 1765180800.5\n",
           "norvo_polls_total{device=\"/dev/hidraw0\"} 2\n",
           "norvo_last_poll_duration_seconds{device=\"/dev/hidraw0\"} 0.078\n",
           "norvo_poll_errors_total{device=\"/dev/hidraw0\"} 1\n",
           "norvo_store_write_errors_total{device=\"/dev/hidraw0\"} 2\n",
           "norvo_reconnects_total{device=\"/dev/hidraw0\"} 0\n",
           "norvo_mqtt_publish_errors_total 1\n",
           "# TYPE norvo_polls_total counter\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  // No humidity on channel 2, and nothing from the unit that went away.
  EXPECT_EQ(text.find("norvo_relative_humidity_ratio{device=\"/dev/hidraw0\",channel=\"2\"}"), std::string::npos);
  EXPECT_EQ(text.find("norvo_temperature_celsius{device=\"sim:"), std::string::npos) << text;
}

TEST(ServeOptionsTest, HostAndPortTexts) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:9782", true, "127.0.0.1", 9782}, {"localhost", true, "localhost", 1883},
      {"[::1]:8080", true, "::1", 8080},           {"[::1]", true, "::1", 1883},
      {"0.0.0.0:0", true, "0.0.0.0", 0},           {"::1:80", false, "", 0},
      {"host:", false, "", 0},                     {":80", false, "", 0},
      {"host:65536", false, "", 0},                {"host:8o", false, "", 0},
      {"[::1]80", false, "", 0},                   {"", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    EXPECT_EQ(logger::ParseHostPort(c.text, 1883, &host, &port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

// ---- the engine, in this process against simulated units -----------------------

constexpr double kTimeScale = 0.01;

struct Units {
  sim::SimTransport transport;
  std::vector<std::unique_ptr<sim::SimUnit>> units;
  explicit Units(int n) {
    for (int i = 1; i <= n; ++i) {
      auto u = std::make_unique<sim::SimUnit>(sim::SimUnit::Options{.seed = static_cast<std::uint32_t>(i)});
      u->SetTimeScale(kTimeScale);
      u->SetDrift(false);
      transport.AddUnit(u.get(), "sim:unit" + std::to_string(i));
      units.push_back(std::move(u));
    }
  }
};

struct Notes {
  std::mutex mutex;  // guards lines
  std::vector<std::string> lines;
  logger::NoteFn Fn() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  bool Has(const std::string& text) {
    std::lock_guard lock(mutex);
    for (const std::string& l : lines) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

logger::LoggerOptions TestOptions(const TempFolder& folder) {
  logger::LoggerOptions o;
  o.data_folder = folder.path;
  o.lock_folder = folder.path;
  o.period = 30ms;
  o.retry = 20ms;
  o.metrics_port = 0;
  o.time_scale = kTimeScale;
  o.version = "1.5";
  return o;
}

logger::UnitStatus StatusOf(const logger::Logger& l, const std::string& path) {
  for (const logger::UnitStatus& u : l.Status().Units()) {
    if (u.path == path) return u;
  }
  return {};
}

TEST(LoggerTest, PollsEveryUnitIntoTheStoreAndTheEndpoint) {
  TempFolder folder;
  Units sim(2);
  sim.units[0]->SetSensor(1, 215, 40);
  sim.units[1]->SetSensor(1, -123, 80);
  // Rows older than the retention go at start; younger ones stay.
  {
    LiveStore live;
    std::string error;
    ASSERT_TRUE(live.Open((folder.path / kDatabaseFile).string(), &error));
    const LivePoll old[] = {Poll(Now() - 3 * 86400, "sim:unit1", 20.0, 40, 6.0), Poll(Now() - 3600, "sim:unit1", 20.0, 40, 6.0)};
    ASSERT_TRUE(live.Append(old, &error));
  }
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.retention_days = 1;
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "sim:unit1").polls >= 3 && StatusOf(l, "sim:unit2").polls >= 3; }));

  // The unit is held: no other session gets it meanwhile.
  {
    sim::SimTransport other;
    other.AddUnit(sim.units[0].get(), "sim:unit1");
    UnitSession second(other, folder.path, UnitSession::Options{.lock_unit = true, .lock_folder = folder.path});
    EXPECT_EQ(second.Open(), OpenState::kInUse);
    EXPECT_EQ(second.Holder(), ::getpid());
  }

  const std::string text = Scrape(l.MetricsPort());
  ExpectPromtoolPasses(text);
  for (const char* line : {"norvo_temperature_celsius{device=\"sim:unit1\",channel=\"1\"} 21.5\n",
                           "norvo_relative_humidity_ratio{device=\"sim:unit1\",channel=\"1\"} 0.4\n",
                           "norvo_temperature_celsius{device=\"sim:unit2\",channel=\"1\"} -12.3\n",
                           "norvo_unit_info{device=\"sim:unit2\",identification=\"{QT7100K@}\"} 1\n",
                           "norvo_unit_connected{device=\"sim:unit1\"} 1\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("channel=\"8\""), std::string::npos) << "CH8 has no sensor";

  l.Stop();
  const fs::path db = folder.path / kDatabaseFile;
  const int polls = static_cast<int>(StatusOf(l, "sim:unit1").polls + StatusOf(l, "sim:unit2").polls);
  EXPECT_EQ(static_cast<int>(l.Written()), polls);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time > " + std::to_string(Now() - 600)),
            polls * kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time < " + std::to_string(Now() - 86400)), 0);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time BETWEEN " + std::to_string(Now() - 7200) +
                              " AND " + std::to_string(Now() - 600)),
            kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Unit = 'sim:unit2' AND Channel = 1 AND "
                          "Temperature = -12.3 AND Humidity = 80 AND DewPoint IS NOT NULL AND Time > " +
                              std::to_string(Now() - 600)),
            static_cast<int>(StatusOf(l, "sim:unit2").polls));
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Channel = 8 AND Temperature IS NOT NULL"), 0);
  EXPECT_TRUE(notes.Has("sim:unit1: connected"));
  // Stopped: the unit is free for the next process.
  UnitSession after(sim.transport, folder.path, UnitSession::Options{.lock_unit = true, .lock_folder = folder.path});
  EXPECT_EQ(after.Open(), OpenState::kOpened);
  after.Stop();
}

TEST(LoggerTest, SurvivesUnplugAndPlugAndCountsTheGap) {
  TempFolder folder;
  Units sim(1);
  Notes notes;
  logger::Logger l(sim.transport, TestOptions(folder), notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "sim:unit1").polls >= 2; }));

  sim.units[0]->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !StatusOf(l, "sim:unit1").connected; }));
  const std::uint64_t polls_before = StatusOf(l, "sim:unit1").polls;
  const std::string away = Scrape(l.MetricsPort());
  EXPECT_NE(away.find("norvo_unit_connected{device=\"sim:unit1\"} 0\n"), std::string::npos) << away;
  EXPECT_EQ(away.find("norvo_temperature_celsius{device=\"sim:unit1\""), std::string::npos) << "no stale readings";
  EXPECT_TRUE(WaitUntil([&] { return notes.Has("sim:unit1: No unit found."); }));
  std::this_thread::sleep_for(200ms);  // the unit stays away for a while
  EXPECT_EQ(StatusOf(l, "sim:unit1").polls, polls_before);

  sim.units[0]->Plug();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "sim:unit1").polls >= polls_before + 2; }));
  const logger::UnitStatus back = StatusOf(l, "sim:unit1");
  EXPECT_TRUE(back.connected);
  EXPECT_EQ(back.reconnects, 1u);
  EXPECT_GE(back.disconnected_seconds, 0.2);
  EXPECT_GE(back.poll_errors, 1u);
  EXPECT_TRUE(notes.Has("sim:unit1: back after "));
  const std::string text = Scrape(l.MetricsPort());
  ExpectPromtoolPasses(text);
  EXPECT_NE(text.find("norvo_reconnects_total{device=\"sim:unit1\"} 1\n"), std::string::npos) << text;
  l.Stop();
  // The rows have the gap the unit had: nothing was made up for it.
  EXPECT_EQ(CountRows(folder.path / kDatabaseFile, "SELECT count(DISTINCT Time) FROM LiveReadings"),
            static_cast<int>(StatusOf(l, "sim:unit1").polls));
}

// A pulled unit shows as away within moments, not at its next poll: the
// period here is a minute, and the endpoint must say so within 3 s, with no
// reading series left. Plugged back, it is reopened, polled and counted.
TEST(LoggerTest, APullShowsAtOnceAndTheReturnIsCounted) {
  TempFolder folder;
  Units sim(1);
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.period = 60s;
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "sim:unit1").polls >= 1; }));
  const std::string connected = "norvo_unit_connected{device=\"sim:unit1\"} ";
  const std::string reading = "norvo_temperature_celsius{device=\"sim:unit1\"";
  ASSERT_NE(Scrape(l.MetricsPort()).find(reading), std::string::npos);

  sim.units[0]->Unplug();
  std::string away;
  EXPECT_TRUE(WaitUntil([&] { return (away = Scrape(l.MetricsPort())).find(connected + "0\n") != std::string::npos; }, 3s))
      << away;
  EXPECT_EQ(away.find(reading), std::string::npos) << away;
  EXPECT_TRUE(notes.Has("sim:unit1: unit lost"));

  sim.units[0]->Plug();
  std::string back;
  EXPECT_TRUE(WaitUntil([&] {
    back = Scrape(l.MetricsPort());
    return back.find(connected + "1\n") != std::string::npos && back.find(reading) != std::string::npos &&
           back.find("norvo_reconnects_total{device=\"sim:unit1\"} 1\n") != std::string::npos;
  }, 5s)) << back;
  l.Stop();
}

TEST(LoggerTest, WaitsForAUnitAnotherProcessHolds) {
  TempFolder folder;
  Units sim(1);
  // In this process, but through a lock file of its own: as another process.
  UnitSession holder(sim.transport, folder.path, UnitSession::Options{.lock_unit = true, .lock_folder = folder.path});
  ASSERT_EQ(holder.Open(), OpenState::kOpened);
  Notes notes;
  logger::Logger l(sim.transport, TestOptions(folder), notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_TRUE(WaitUntil([&] { return notes.Has("sim:unit1: unit in use by pid " + std::to_string(::getpid())); }));
  EXPECT_FALSE(StatusOf(l, "sim:unit1").connected);
  EXPECT_EQ(StatusOf(l, "sim:unit1").polls, 0u);
  holder.Stop();
  EXPECT_TRUE(WaitUntil([&] { return StatusOf(l, "sim:unit1").polls >= 1; }));
  EXPECT_EQ(StatusOf(l, "sim:unit1").reconnects, 0u) << "never connected before: no reconnection";
  l.Stop();
}

// ---- norvoctl serve as a process -------------------------------------------------

class Serve {
 public:
  Serve(const TempFolder& folder, std::vector<std::string> args) : folder_(folder) {
    std::vector<std::string> argv = {NORVOCTL, "--data-dir", (folder.path / "data").string(), "serve"};
    argv.insert(argv.end(), args.begin(), args.end());
    // Output and error in files, which the test reads while it runs.
    child_ = testing::Spawn(argv, {.env = {"NORVO_TIME_SCALE=0.01", "NORVO_RUNTIME_DIR=" + folder.path.string()},
                                   .out = folder.path / "serve.out", .err = folder.path / "serve.err"});
  }
  ~Serve() {
    if (child_.pid > 0) End(SIGKILL);
  }
  std::string Err() const { return ReadFile(folder_.path / "serve.err"); }
  std::string Out() const { return ReadFile(folder_.path / "serve.out"); }
  // The port from the banner; 0 when it did not come.
  int MetricsPort() const {
    int port = 0;
    WaitUntil([&] {
      const std::string err = Err(), banner = "metrics on http://127.0.0.1:";
      const std::size_t at = err.find(banner);
      if (at != std::string::npos) port = std::atoi(err.c_str() + at + banner.size());
      return port != 0;
    });
    return port;
  }
  // The exit status, or 128 + the signal that ended it, as a shell gives it.
  int End(int signal) {
    ::kill(child_.pid, signal);
    const Ran r = testing::Finish(child_);
    return r.signal ? 128 + r.signal : r.status;
  }

 private:
  const TempFolder& folder_;
  testing::Child child_;
};

int CountUnitStates(const Subscriber& s, const std::string& unit_id) {
  return static_cast<int>(s.Messages("norvo/" + unit_id + "/state").size());
}

TEST(ServeTest, ThreeSimulatedUnitsToMetricsMqttAndStoreUntilSignalled) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  ASSERT_TRUE(sub.Connected());

  Serve serve(folder, {"--simulate", "3", "--period", "0.2", "--metrics", "127.0.0.1:0", "--mqtt",
                       "127.0.0.1:" + std::to_string(broker.Port())});
  const int port = serve.MetricsPort();
  ASSERT_NE(port, 0) << serve.Err();
  ASSERT_TRUE(WaitUntil([&] {
    return CountUnitStates(sub, "sim_unit1") >= 2 && CountUnitStates(sub, "sim_unit2") >= 2 &&
           CountUnitStates(sub, "sim_unit3") >= 2;
  })) << serve.Err();

  const std::string text = Scrape(port);
  ExpectPromtoolPasses(text);
  for (const char* unit : {"sim:unit1", "sim:unit2", "sim:unit3"}) {
    EXPECT_NE(text.find("norvo_unit_connected{device=\"" + std::string(unit) + "\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("norvo_temperature_celsius{device=\"" + std::string(unit) + "\",channel=\"7\"}"), std::string::npos);
  }

  // Discovery: three quantities of eight channels per unit, retained, each
  // naming its unit and reading its value from the unit's state message.
  EXPECT_EQ(sub.Messages("homeassistant/sensor/norvo_sim_unit2/").size(), 24u);
  const auto configs = sub.Messages("homeassistant/sensor/norvo_sim_unit2/ch3_humidity/config");
  ASSERT_FALSE(configs.empty());
  const nlohmann::json config = nlohmann::json::parse(configs.back().payload);
  EXPECT_EQ(config["device_class"], "humidity");
  EXPECT_EQ(config["unit_of_measurement"], "%");
  EXPECT_EQ(config["state_topic"], "norvo/sim_unit2/state");
  EXPECT_EQ(config["value_template"], "{{ value_json.channels[2].humidity }}");
  EXPECT_EQ(config["device"]["model"], "{QT7100K@}");
  EXPECT_EQ(config["availability"][0]["topic"], "norvo/status");
  const nlohmann::json dew = nlohmann::json::parse(sub.Last("homeassistant/sensor/norvo_sim_unit1/ch1_dew_point/config"));
  EXPECT_EQ(dew["device_class"], "temperature");
  EXPECT_EQ(dew["unit_of_measurement"], "\u00B0C");

  const nlohmann::json state = nlohmann::json::parse(sub.Last("norvo/sim_unit3/state"));
  EXPECT_EQ(state["device"], "sim:unit3");
  ASSERT_EQ(state["channels"].size(), 8u);
  EXPECT_TRUE(state["channels"][0]["temperature"].is_number());
  EXPECT_TRUE(state["channels"][7]["temperature"].is_null());
  EXPECT_EQ(sub.Last("norvo/status"), "online");
  EXPECT_EQ(sub.Last("norvo/sim_unit1/availability"), "online");

  EXPECT_EQ(serve.End(SIGTERM), 0) << serve.Err();
  const std::string err = serve.Err();
  EXPECT_NE(err.find("serving every unit found every 0.2 s into"), std::string::npos) << err;
  EXPECT_NE(err.find("stopping"), std::string::npos) << err;
  EXPECT_NE(serve.Out().find("sim:unit3: "), std::string::npos) << serve.Out();
  EXPECT_TRUE(sub.WaitLast("norvo/status", "offline"));
  EXPECT_EQ(sub.Last("norvo/sim_unit2/availability"), "offline");

  const Ran csv = RunProgram({NORVOCTL, "--data-dir", (folder.path / "data").string(), "export", "--live", "--from",
                       "2000-01-01 00:00:00", "--to", "2099-01-01 00:00:00"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.rfind("time,unit,channel,temperature,humidity,dew_point\n", 0), 0u);
  for (const char* unit : {",sim:unit1,1,", ",sim:unit2,8,,,\n", ",sim:unit3,7,"}) {
    EXPECT_NE(csv.out.find(unit), std::string::npos) << unit;
  }
  const Ran both = RunProgram({NORVOCTL, "--data-dir", (folder.path / "data").string(), "export", "--live", "--column",
                        "Humidity", "--from", "2000-01-01 00:00:00", "--to", "2099-01-01 00:00:00"});
  EXPECT_EQ(both.status, 3) << both.err;
}

TEST(ServeTest, LastWillWhenKilledAndPublishingResumesAfterTheBrokerRestarts) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Serve serve(folder, {"--simulate", "1", "--period", "0.1", "--no-metrics", "--mqtt",
                       "127.0.0.1:" + std::to_string(broker.Port())});
  {
    Subscriber sub(broker.Port());
    ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "sim_unit1") >= 1; })) << serve.Err();
  }
  broker.Stop();
  // Polls go on while the broker is away; none of them waits to be sent.
  std::this_thread::sleep_for(1500ms);
  const auto restarted = std::chrono::system_clock::now();
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "sim_unit1") >= 3; }, 40s)) << serve.Err();
  EXPECT_EQ(sub.Last("norvo/status"), "online");
  for (const Subscriber::Message& m : sub.Messages("norvo/sim_unit1/state")) {
    const std::string time = nlohmann::json::parse(m.payload)["time"];
    double at = 0;
    ASSERT_TRUE(ParseLocalTime(time.substr(0, 19), &at)) << time;
    EXPECT_GE(at + 1, logger::UnixSeconds(restarted)) << "a state from while the broker was away: " << time;
  }
  EXPECT_NE(serve.Err().find("MQTT: connection lost, reconnecting"), std::string::npos) << serve.Err();

  EXPECT_EQ(serve.End(SIGKILL), 128 + SIGKILL);
  EXPECT_TRUE(sub.WaitLast("norvo/status", "offline")) << "the broker's last will for the killed process";
}

// A broker that takes only known users: the right password publishes, a
// wrong one is told and retried, never a crash.
TEST(ServeTest, BrokerUserAndPasswordFromAFile) {
  REQUIRE_TOOL(mosquitto_passwd, "mosquitto_passwd");
  TempFolder folder;
  const fs::path passwords = folder.path / "passwords";
  ASSERT_EQ(RunProgram({mosquitto_passwd, "-c", "-b", passwords.string(), "logger", "s3cret pass"}).status, 0);
  ::chmod(passwords.c_str(), 0600);
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start(passwords));
  Subscriber sub(broker.Port(), "logger", "s3cret pass");
  std::ofstream(folder.path / "right") << "s3cret pass\n";
  std::ofstream(folder.path / "wrong") << "guess\n";
  {
    Serve serve(folder, {"--simulate", "1", "--period", "0.1", "--no-metrics", "--mqtt",
                         "127.0.0.1:" + std::to_string(broker.Port()), "--mqtt-user", "logger", "--mqtt-password-file",
                         (folder.path / "right").string()});
    EXPECT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "sim_unit1") >= 2; })) << serve.Err();
    EXPECT_EQ(serve.End(SIGTERM), 0);
  }
  Serve refused(folder, {"--simulate", "1", "--period", "0.1", "--no-metrics", "--mqtt",
                         "127.0.0.1:" + std::to_string(broker.Port()), "--mqtt-user", "logger", "--mqtt-password-file",
                         (folder.path / "wrong").string()});
  EXPECT_TRUE(WaitUntil([&] { return refused.Err().find("MQTT: the broker refused the connection") != std::string::npos; }))
      << refused.Err();
  EXPECT_EQ(refused.End(SIGTERM), 0) << refused.Err();
}

TEST(ServeTest, BadOptionsAForeignStoreAndATakenPortEndIt) {
  TempFolder folder;
  const std::string data = (folder.path / "data").string();
  const std::vector<std::string> env = {"NORVO_TIME_SCALE=0.01", "NORVO_RUNTIME_DIR=" + folder.path.string()};
  const auto serve = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {NORVOCTL, "--data-dir", data, "serve"});
    return RunProgram(args, {.env = env});
  };
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--simulate", "2", "--metrics", "nonsense:port"}, "--metrics takes HOST:PORT"},
      {{"--simulate", "2", "--mqtt", "127.0.0.1:99999"}, "--mqtt takes HOST or HOST:PORT"},
      {{"--simulate", "0"}, "--simulate"},
      {{"--simulate", "2", "--unit", "/dev/hidraw0"}, "--unit names USB devices"},
      {{"--simulate", "2", "--period", "0"}, "--period"},
      {{"--simulate", "2", "--retention", "-1"}, "--retention"},
      {{"--simulate", "2", "--mqtt", "h", "--mqtt-prefix", "a/#"}, "no \"#\" or \"+\""},
      {{"--simulate", "2", "--metrics", "127.0.0.1:0", "--no-metrics"}, "excludes"},
  };
  for (const Case& c : cases) {
    const Ran r = serve(c.args);
    EXPECT_EQ(r.status, 3) << c.args.back() << " " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }

  // A port someone else listens on.
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::listen(taken, 1);
  socklen_t n = sizeof a;
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &n);
  const Ran busy = serve({"--simulate", "1", "--metrics", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))});
  ::close(taken);
  EXPECT_EQ(busy.status, 3) << busy.err;
  EXPECT_NE(busy.err.find("cannot listen on 127.0.0.1:"), std::string::npos) << busy.err;

  // A record store that is not a database is named and left as it was.
  fs::create_directories(data);
  const fs::path db = fs::path(data) / kDatabaseFile;
  std::ofstream(db, std::ios::binary) << "Standard Jet DB\x01\x02\x03";
  const Ran foreign = serve({"--simulate", "1", "--no-metrics"});
  EXPECT_EQ(foreign.status, 4) << foreign.err;
  EXPECT_NE(foreign.err.find("file is not a database"), std::string::npos) << foreign.err;
  EXPECT_EQ(ReadFile(db), std::string("Standard Jet DB\x01\x02\x03"));
}

}  // namespace
}  // namespace norvo
