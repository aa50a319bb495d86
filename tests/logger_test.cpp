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
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <random>
#include <nlohmann/json.hpp>
#include <thread>

#include "logger/LiveWriter.h"
#include "logger/Logger.h"
#include "logger/Metrics.h"
#include "logger/MqttPublisher.h"
#include "logger/UnitIdentity.h"
#include "logger/Serve.h"
#include "logger/ServeConfig.h"
#include "session/SharedUnit.h"
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
       // The dew point follows from temperature and humidity.
       {"time,unit,channel,temperature,humidity,dew_point\n2026-12-07T08:01:00.250+01:00,\"a,\"\"b\"\"\",1,22,50,11.1\n",
        "2026-12-07T08:01:00.250+01:00,\"a,\"\"b\"\"\",2,-40,,\n", "2026-12-07T08:02:00.000+01:00,\"a,\"\"b\"\"\",1,23,50,12\n"},
       2 * kLiveChannels},
      {"2026-12-07T08:02:00", "2026-12-07T08:03:00", LiveFormat::kJson,
       {"[{\"time\": \"2026-12-07T08:03:00.000+01:00\", \"unit\": \"a,\\\"b\\\"\", \"channel\": 1, \"temperature\": 24, "
        "\"humidity\": 50, \"dew_point\": 13}",
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
  table.Add("NV0001");
  table.Add("sim:\"odd\\unit\"");
  ASSERT_FALSE(table.Connected("NV0001", "/dev/hidraw0"));
  LivePoll poll = Poll(1765180800.5, "NV0001", 23.5, 45, 10.9);
  table.Polled("NV0001", "{QT7100K@}\nsecond \"line\"", poll, 0.5);
  table.PollFailed("NV0001");
  table.Polled("NV0001", "{QT7100K@}\nsecond \"line\"", poll, 0.078);
  table.Connected("sim:\"odd\\unit\"", "sim:x");
  table.Polled("sim:\"odd\\unit\"", "", poll, 0.1);
  table.Lost("sim:\"odd\\unit\"", "No unit found.");
  table.Dropped("NV0001", 2);
  table.MqttFailed();

  const std::string text = logger::RenderMetrics(table.Units(), {.version = "1.5", .mqtt_errors = table.MqttErrors(), .store_failures = 3, .mqtt_state = "refused"});
  ExpectPromtoolPasses(text);
  for (const char* line : {
           "norvo_build_info{version=\"1.5\"} 1\n",
           "norvo_unit_info{unit=\"NV0001\",device=\"/dev/hidraw0\",identification=\"{QT7100K@}\\nsecond \\\"line\\\"\"} 1\n",
           "norvo_unit_connected{unit=\"NV0001\"} 1\n",
           "norvo_unit_connected{unit=\"sim:\\\"odd\\\\unit\\\"\"} 0\n",
           "norvo_temperature_celsius{unit=\"NV0001\",channel=\"1\"} 23.5\n",
           "norvo_temperature_celsius{unit=\"NV0001\",channel=\"2\"} -40\n",
           "norvo_relative_humidity_ratio{unit=\"NV0001\",channel=\"1\"} 0.45\n",
           "norvo_dew_point_celsius{unit=\"NV0001\",channel=\"1\"} 10.9\n",
           "norvo_last_poll_timestamp_seconds{unit=\"NV0001\"} 1765180800.5\n",
           "norvo_polls_total{unit=\"NV0001\"} 2\n",
           "norvo_last_poll_duration_seconds{unit=\"NV0001\"} 0.078\n",
           "norvo_poll_errors_total{unit=\"NV0001\"} 1\n",
           "norvo_store_dropped_polls_total{unit=\"NV0001\"} 2\n",
           "norvo_reconnects_total{unit=\"NV0001\"} 0\n",
           "norvo_mqtt_publish_errors_total 1\n",
           "# TYPE norvo_polls_total counter\n",
           "norvo_store_write_failures_total 3\n",
           "norvo_mqtt_connection_state{state=\"connecting\"} 0\n",
           "norvo_mqtt_connection_state{state=\"refused\"} 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  // No humidity on channel 2, and nothing from the unit that went away.
  EXPECT_EQ(text.find("norvo_relative_humidity_ratio{unit=\"NV0001\",channel=\"2\"}"), std::string::npos);
  EXPECT_EQ(text.find("norvo_temperature_celsius{unit=\"sim:"), std::string::npos) << text;
}

// A client connection of the test's own.
int Connect(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// Sends the request and reads the answer until the server closes; said_all:
// the client's sending side is closed after the request.
std::string Exchange(int port, const std::string& request, bool said_all = false) {
  const int s = Connect(port);
  if (s < 0) return "";
  timeval limit{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  for (std::size_t at = 0; at < request.size();) {
    const ssize_t n = ::send(s, request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  if (said_all) ::shutdown(s, SHUT_WR);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(s, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  ::close(s);
  return answer;
}

TEST(MetricsServerTest, AnswersOnlyWhatAScraperAsks) {
  logger::MetricsServer server([] { return std::string("norvo_x 1\n"); });
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
  std::string many = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; i < 200; ++i) many.append("X-").append(std::to_string(i)).append(": 1\r\n");
  struct Case {
    std::string request;
    const char* status;  // the answer's first line
    const char* has;     // in the answer
  };
  const Case cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", "\r\n\r\nnorvo_x 1\n"},
      {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK", "version=0.0.4"},
      {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "Content-Length: 10\r\nConnection: close\r\n\r\n"},
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "<a href=\"/metrics\">"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", "HTTP/1.1 405 Method Not Allowed", "Allow: GET, HEAD"},
      {"DELETE / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", ""},
      {"GET /metrics HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(65536, 'z'), "HTTP/1.1 413", ""},
      {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n", "HTTP/1.1 413", ""},
      {"GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", ""},
      {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request", ""},
      {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", "HTTP/1.1 400 Bad Request", ""},
      {many + "\r\n", "HTTP/1.1 431", ""},
      {"GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431", ""},
  };
  for (const Case& c : cases) {
    const std::string answer = Exchange(server.Port(), c.request);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")).rfind(c.status, 0), 0u) << c.request.substr(0, 60) << "\n" << answer;
    EXPECT_NE(answer.find(c.has), std::string::npos) << c.request.substr(0, 60) << "\n" << answer;
  }

  // Clients that connect and say nothing, more than the cap: a scrape still
  // gets through at once, and Stop does not wait for any of them.
  std::vector<int> idle;
  for (int i = 0; i < logger::MetricsServer::kMaxConnections + 8; ++i) idle.push_back(Connect(server.Port()));
  const std::string scrape = Exchange(server.Port(), "GET /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(scrape.rfind("HTTP/1.1 200 OK", 0), 0u) << scrape;
  const auto before = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  for (const int fd : idle) ::close(fd);
}

// An answer too long for one send reaches the client whole, also one that
// closed its sending side after the request (nc -N).
TEST(MetricsServerTest, ALongAnswerArrivesWhole) {
  const std::string text(32 << 20, 'x');
  logger::MetricsServer server([&] { return text; });
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
  for (const bool said_all : {false, true}) {
    const std::string answer = Exchange(server.Port(), "GET /metrics HTTP/1.1\r\n\r\n", said_all);
    EXPECT_EQ(answer.size() - answer.find("\r\n\r\n") - 4, text.size()) << said_all;
  }
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
  int Count(const std::string& text) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const std::string& l : lines) n += l.find(text) != std::string::npos;
    return n;
  }
  bool Has(const std::string& text) { return Count(text) > 0; }
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
    if (u.name == path) return u;
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
    const LivePoll old[] = {Poll(Now() - 3 * 86400, "SIM00001", 20.0, 40, 6.0), Poll(Now() - 3600, "SIM00001", 20.0, 40, 6.0)};
    ASSERT_TRUE(live.Append(old, &error));
  }
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.retention_days = 1;
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00001").polls >= 3 && StatusOf(l, "SIM00002").polls >= 3; }));

  // The unit is held: no other session gets it meanwhile.
  {
    sim::SimTransport other;
    other.AddUnit(sim.units[0].get(), "sim:unit1");
    UnitSession second(other, folder.path, UnitSession::Options{.lock_unit = true, .lock_folder = folder.path});
    EXPECT_EQ(second.Open(), OpenState::kInUse);
    EXPECT_EQ(second.Holder(), ::getpid());
  }

  // A poll the unit left partly unanswered shows no readings until the next
  // one: the waits here are a hundredth of the unit's, which a loaded
  // machine can miss.
  std::string text;
  ASSERT_TRUE(WaitUntil([&] {
    text = Scrape(l.MetricsPort());
    return text.find("norvo_temperature_celsius{unit=\"SIM00001\",channel=\"1\"}") != std::string::npos &&
           text.find("norvo_temperature_celsius{unit=\"SIM00002\",channel=\"1\"}") != std::string::npos;
  })) << text;
  ExpectPromtoolPasses(text);
  for (const char* line : {"norvo_temperature_celsius{unit=\"SIM00001\",channel=\"1\"} 21.5\n",
                           "norvo_relative_humidity_ratio{unit=\"SIM00001\",channel=\"1\"} 0.4\n",
                           "norvo_temperature_celsius{unit=\"SIM00002\",channel=\"1\"} -12.3\n",
                           "norvo_unit_info{unit=\"SIM00002\",device=\"sim:unit2\",identification=\"{QT7100K@}\"} 1\n",
                           "norvo_unit_connected{unit=\"SIM00001\"} 1\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("channel=\"8\""), std::string::npos) << "CH8 has no sensor";

  l.Stop();
  const fs::path db = folder.path / kDatabaseFile;
  const int polls = static_cast<int>(StatusOf(l, "SIM00001").polls + StatusOf(l, "SIM00002").polls);
  EXPECT_EQ(static_cast<int>(l.Written()), polls);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time > " + std::to_string(Now() - 600)),
            polls * kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time < " + std::to_string(Now() - 86400)), 0);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Time BETWEEN " + std::to_string(Now() - 7200) +
                              " AND " + std::to_string(Now() - 600)),
            kLiveChannels);
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Unit = 'SIM00002' AND Channel = 1 AND "
                          "Temperature = -12.3 AND Humidity = 80 AND DewPoint IS NOT NULL AND Time > " +
                              std::to_string(Now() - 600)),
            static_cast<int>(StatusOf(l, "SIM00002").polls));
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings WHERE Channel = 8 AND Temperature IS NOT NULL"), 0);
  EXPECT_TRUE(notes.Has("SIM00001: connected"));
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
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00001").polls >= 2; }));

  sim.units[0]->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !StatusOf(l, "SIM00001").connected; }));
  const std::uint64_t polls_before = StatusOf(l, "SIM00001").polls;
  const std::string away = Scrape(l.MetricsPort());
  EXPECT_NE(away.find("norvo_unit_connected{unit=\"SIM00001\"} 0\n"), std::string::npos) << away;
  EXPECT_EQ(away.find("norvo_temperature_celsius{unit=\"SIM00001\""), std::string::npos) << "no stale readings";
  EXPECT_TRUE(WaitUntil([&] { return notes.Has("SIM00001: No unit found."); }));
  std::this_thread::sleep_for(200ms);  // the unit stays away for a while
  EXPECT_EQ(StatusOf(l, "SIM00001").polls, polls_before);

  sim.units[0]->Plug();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00001").polls >= polls_before + 2; }));
  const logger::UnitStatus back = StatusOf(l, "SIM00001");
  EXPECT_TRUE(back.connected);
  EXPECT_EQ(back.reconnects, 1u);
  EXPECT_GE(back.disconnected_seconds, 0.2);
  EXPECT_GE(back.poll_errors, 1u);
  EXPECT_TRUE(notes.Has("SIM00001: back after "));
  const std::string text = Scrape(l.MetricsPort());
  ExpectPromtoolPasses(text);
  EXPECT_NE(text.find("norvo_reconnects_total{unit=\"SIM00001\"} 1\n"), std::string::npos) << text;
  l.Stop();
  // The rows have the gap the unit had: nothing was made up for it.
  EXPECT_EQ(CountRows(folder.path / kDatabaseFile, "SELECT count(DISTINCT Time) FROM LiveReadings"),
            static_cast<int>(StatusOf(l, "SIM00001").polls));
}

// A soak of unplugs: two units pulled again and again, each at a random
// frame of a poll, and plugged back. Every answered poll is in the store
// once, nothing was dropped or made up, and the store is whole with roll-ups
// equal to a rebuild.
TEST(LoggerTest, SoakOfUnplugsKeepsEveryAnsweredPollOnce) {
  TempFolder folder;
  Units sim(2);
  Notes notes;
  logger::Logger l(sim.transport, TestOptions(folder), notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  const std::string names[] = {"SIM00001", "SIM00002"};
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, names[0]).polls >= 1 && StatusOf(l, names[1]).polls >= 1; }));
  std::mt19937 random(20261210);
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    sim::SimUnit& unit = *sim.units[static_cast<std::size_t>(round % 2)];
    const std::string& name = names[round % 2];
    unit.ClearReceived();
    const std::size_t frames = std::uniform_int_distribution<std::size_t>(1, 9)(random);
    ASSERT_TRUE(WaitUntil([&] { return unit.Received().size() >= frames; })) << round;
    unit.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !StatusOf(l, name).connected; })) << round;
    const std::uint64_t polls = StatusOf(l, name).polls;
    unit.Plug();
    ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, name).polls > polls; })) << round;
  }
  l.Stop();
  const fs::path db = folder.path / kDatabaseFile;
  for (const std::string& name : names) {
    const logger::UnitStatus status = StatusOf(l, name);
    EXPECT_EQ(status.reconnects, static_cast<std::uint64_t>(kRounds / 2)) << name;
    EXPECT_EQ(status.dropped, 0u) << name;
    EXPECT_EQ(CountRows(db, "SELECT count(DISTINCT Time) FROM LiveReadings WHERE Unit = '" + name + "'"),
              static_cast<int>(status.polls))
        << name;
  }
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM pragma_integrity_check WHERE integrity_check <> 'ok'"), 0);
  LiveStore live;
  ASSERT_TRUE(live.Open(db.string(), &error)) << error;
  std::string report;
  EXPECT_TRUE(live.CheckRollups(&report)) << report;
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
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00001").polls >= 1; }));
  const std::string connected = "norvo_unit_connected{unit=\"SIM00001\"} ";
  const std::string reading = "norvo_temperature_celsius{unit=\"SIM00001\"";
  ASSERT_NE(Scrape(l.MetricsPort()).find(reading), std::string::npos);

  sim.units[0]->Unplug();
  std::string away;
  EXPECT_TRUE(WaitUntil([&] { return (away = Scrape(l.MetricsPort())).find(connected + "0\n") != std::string::npos; }, 3s))
      << away;
  EXPECT_EQ(away.find(reading), std::string::npos) << away;
  EXPECT_TRUE(notes.Has("SIM00001: unit lost"));

  sim.units[0]->Plug();
  std::string back;
  EXPECT_TRUE(WaitUntil([&] {
    back = Scrape(l.MetricsPort());
    return back.find(connected + "1\n") != std::string::npos && back.find(reading) != std::string::npos &&
           back.find("norvo_reconnects_total{unit=\"SIM00001\"} 1\n") != std::string::npos;
  }, 5s)) << back;
  l.Stop();
}

// --unit by name: that unit only, shown from the start even while absent,
// and followed by its name to whatever path it comes back at.
TEST(LoggerTest, ServesTheUnitNamedWhereverItIs) {
  TempFolder folder;
  sim::SimUnit one(sim::SimUnit::Options{.seed = 1}), two(sim::SimUnit::Options{.seed = 2});
  for (sim::SimUnit* u : {&one, &two}) {
    u->SetTimeScale(kTimeScale);
    u->SetDrift(false);
  }
  sim::SimTransport transport;
  transport.AddUnit(&one, "sim:a");
  two.Unplug();
  transport.AddUnit(&two, "sim:b");
  logger::LoggerOptions o = TestOptions(folder);
  o.units = {"SIM00002"};
  Notes notes;
  logger::Logger l(transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  ASSERT_EQ(l.Status().Units().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return notes.Has("SIM00002: No unit found."); }));
  two.Plug();
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00002").polls >= 2; }));
  EXPECT_EQ(StatusOf(l, "SIM00002").device, "sim:b");
  l.Rescan();
  EXPECT_EQ(l.Status().Units().size(), 1u) << "the other unit is not served";
  l.Stop();
  EXPECT_EQ(CountRows(folder.path / kDatabaseFile, "SELECT count(*) FROM LiveReadings WHERE Unit <> 'SIM00002'"), 0);
}

// One simulated unit that a session of this process holds through the
// test's own lock folder (as another process would), and a logger for it.
struct HeldUnitTest : ::testing::Test {
  TempFolder folder;
  Units sim{1};
  Notes notes;
  UnitSession::Options held{.lock_unit = true, .lock_folder = folder.path};
  // The logger, started; nullptr (a failure) when it could not start.
  std::unique_ptr<logger::Logger> StartedLogger() {
    auto l = std::make_unique<logger::Logger>(sim.transport, TestOptions(folder), notes.Fn());
    std::string error;
    if (l->Start(&error) != logger::Logger::StartError::kNone) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    l->StartUnits();
    return l;
  }
};

TEST_F(HeldUnitTest, WaitsForAUnitAnotherProcessHolds) {
  UnitSession holder(sim.transport, folder.path, held);
  ASSERT_EQ(holder.Open(), OpenState::kOpened);
  const std::unique_ptr<logger::Logger> l = StartedLogger();
  ASSERT_NE(l, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return notes.Has("SIM00001: unit in use by pid " + std::to_string(::getpid())); }));
  EXPECT_FALSE(StatusOf(*l, "SIM00001").connected);
  EXPECT_EQ(StatusOf(*l, "SIM00001").polls, 0u);
  holder.Stop();
  EXPECT_TRUE(WaitUntil([&] { return StatusOf(*l, "SIM00001").polls >= 1; }));
  EXPECT_EQ(StatusOf(*l, "SIM00001").reconnects, 0u) << "never connected before: no reconnection";
  l->Stop();
}

// Reached through the process that holds the unit, the logger still names
// the device the unit is at (the holder's, whose lock and socket it found).
TEST_F(HeldUnitTest, AttachedUnitKeepsItsDevicePath) {
  SharedUnit holder(sim.transport, folder.path, held);
  ASSERT_EQ(holder.Open(), OpenState::kOpened);
  const std::unique_ptr<logger::Logger> l = StartedLogger();
  ASSERT_NE(l, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(*l, "SIM00001").polls >= 1; }));
  EXPECT_EQ(StatusOf(*l, "SIM00001").device, "sim:unit1");
  const std::string text = Scrape(l->MetricsPort());
  EXPECT_NE(text.find("norvo_unit_info{unit=\"SIM00001\",device=\"sim:unit1\","), std::string::npos) << text;
  l->Stop();
  holder.Stop();
}

// Another connection to the store holding its write lock, as a sqlite3 shell
// in a transaction would: every write of the logger is refused meanwhile.
class StoreLock {
 public:
  explicit StoreLock(const fs::path& db) {
    sqlite3_open(db.c_str(), &h_);
    sqlite3_busy_timeout(h_, 10000);  // the logger may be in a write
    locked_ = sqlite3_exec(h_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~StoreLock() { Release(); sqlite3_close(h_); }
  bool Locked() const { return locked_; }
  void Release() {
    if (locked_) sqlite3_exec(h_, "COMMIT", nullptr, nullptr, nullptr);
    locked_ = false;
  }

 private:
  sqlite3* h_ = nullptr;
  bool locked_ = false;
};

std::uint64_t Waiting(const logger::LiveWriter& w) {
  std::uint64_t n = 0;
  for (const auto& [unit, k] : w.Waiting()) n += k;
  return n;
}

// A refused write keeps its polls; a full queue drops the oldest, counted;
// a store that cannot be written is refused at start.
TEST(LiveWriterTest, KeepsWhatTheStoreRefusesWithinTheBound) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  struct Case {
    std::size_t bound;
    int pushed;
    std::uint64_t lost;
  };
  for (const Case c : {Case{100, 6, 0}, Case{4, 6, 2}}) {
    fs::remove(db);
    std::mutex m;
    std::map<std::string, std::uint64_t> dropped;  // guarded by m
    logger::LiveWriter w(db.string(), 0, [&](const std::string& u, std::uint64_t n) { std::lock_guard l(m); dropped[u] += n; },
                         [](const std::string&) {}, 20ms, c.bound);
    std::string error;
    ASSERT_TRUE(w.Start(&error)) << error;
    {
      StoreLock lock(db);
      ASSERT_TRUE(lock.Locked());
      w.Push(Poll(Now(), "u0", 20.0, 40, 6.0));
      ASSERT_TRUE(WaitUntil([&] { return w.Failures() >= 1; })) << "the busy time-out passes";
      for (int i = 1; i < c.pushed; ++i) w.Push(Poll(Now() + i, i % 2 ? "u1" : "u0", 20.0, 40, 6.0));
      EXPECT_EQ(Waiting(w), static_cast<std::uint64_t>(c.pushed) - c.lost);
      EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), -1) << "locked for readers too";
    }
    ASSERT_TRUE(WaitUntil([&] { return Waiting(w) == 0; }));
    w.Stop();
    EXPECT_EQ(w.Written(), static_cast<std::uint64_t>(c.pushed) - c.lost);
    EXPECT_EQ(w.Lost(), c.lost);
    EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), static_cast<int>(w.Written()) * kLiveChannels);
    // The oldest went: u0 at 0 and u1 at 1.
    if (c.lost) {
      std::lock_guard l(m);
      EXPECT_EQ(dropped, (std::map<std::string, std::uint64_t>{{"u0", 1}, {"u1", 1}}));
    }
  }
  const fs::path locked_out = folder.path / "ro";
  fs::create_directories(locked_out);
  {
    LiveStore make;
    std::string error;
    ASSERT_TRUE(make.Open((locked_out / kDatabaseFile).string(), &error));
  }
  fs::permissions(locked_out / kDatabaseFile, fs::perms::owner_read | fs::perms::group_read);
  if (::geteuid() != 0) {  // root writes whatever the mode says
    logger::LiveWriter w((locked_out / kDatabaseFile).string(), 0, nullptr, nullptr);
    std::string error;
    EXPECT_FALSE(w.Start(&error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  }
}

// A store replaced under its path while serving (a copy renamed over it, or
// removed) is noticed before the next write: the file now at the path takes
// the polls, with a note that says so, and no write is refused on the way.
TEST(LiveWriterTest, AStoreReplacedUnderItsPathIsReopened) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile, copy = folder.path / "copy.sqlite";
  for (const bool renamed : {true, false}) {
    fs::remove(db);
    Notes notes;
    logger::LiveWriter w(db.string(), 0, [](const std::string&, std::uint64_t) {}, notes.Fn(), 20ms);
    std::string error;
    ASSERT_TRUE(w.Start(&error)) << error;
    w.Push(Poll(Now(), "u0", 20.0, 40, 6.0));
    ASSERT_TRUE(WaitUntil([&] { return w.Written() == 1; }));
    LiveStore made;
    ASSERT_TRUE(!renamed || made.Open(copy.string(), &error)) << error;
    renamed ? fs::rename(copy, db) : (void)fs::remove(db);
    for (int i = 1; i <= 3; ++i) w.Push(Poll(Now() + i, "u0", 21.0, 41, 7.0));
    ASSERT_TRUE(WaitUntil([&] { return w.Written() == 4; })) << renamed;
    w.Stop();
    EXPECT_EQ(w.Failures() + w.Lost(), 0u) << renamed;
    EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), 3 * kLiveChannels) << renamed;
    EXPECT_EQ(notes.Count("is no longer the file serve opened (renamed over or removed); opening the file now at that path"), 1);
  }
}

// A channel gets its sensors in Home Assistant once the unit gives a value
// for it: CH8 without a sensor has none until one is plugged in there.
TEST(LoggerTest, SensorsAreAnnouncedOnceTheUnitReportsThem) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  ASSERT_TRUE(sub.Connected());
  Units sim(1);
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.mqtt.host = "127.0.0.1";
  o.mqtt.port = broker.Port();
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  const std::string configs = "homeassistant/sensor/norvo_SIM00001/";
  ASSERT_TRUE(WaitUntil([&] { return sub.Messages("norvo/SIM00001/state").size() >= 2; }));
  EXPECT_EQ(sub.Messages(configs).size(), 21u);
  EXPECT_TRUE(sub.Messages(configs + "ch8_").empty());
  sim.units[0]->SetSensor(8, 215, 40);
  ASSERT_TRUE(WaitUntil([&] { return sub.Messages(configs + "ch8_").size() == 3; }));
  const std::size_t before = sub.Messages("norvo/SIM00001/state").size();
  ASSERT_TRUE(WaitUntil([&] { return sub.Messages("norvo/SIM00001/state").size() >= before + 2; }));
  EXPECT_EQ(sub.Messages(configs).size(), 24u) << "each sensor announced once";
  l.Stop();
}

// Hours of unattended logging, time-scaled: the store locked for longer than
// its busy time-out, units pulled and plugged, the broker restarted. Every
// answered poll ends up as a row.
TEST(LoggerTest, SoakEveryAnsweredPollIsStored) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Units sim(2);
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.store_retry = 20ms;
  o.mqtt.host = "127.0.0.1";
  o.mqtt.port = broker.Port();
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  const fs::path db = folder.path / kDatabaseFile;
  const auto polls = [&] { return StatusOf(l, "SIM00001").polls + StatusOf(l, "SIM00002").polls; };
  for (int round = 0; round < 2; ++round) {
    std::uint64_t before = polls();
    ASSERT_TRUE(WaitUntil([&] { return polls() >= before + 4; }));
    {
      StoreLock lock(db);
      ASSERT_TRUE(lock.Locked());
      ASSERT_TRUE(WaitUntil([&] { return notes.Count("cannot write the readings, keeping them") > round; }));
      sim.units[round]->Unplug();
      broker.Stop();
      before = polls();
      ASSERT_TRUE(WaitUntil([&] { return polls() >= before + 3; })) << "the other unit goes on";
      const std::string text = l.Metrics();
      const std::string other = round == 0 ? "SIM00002" : "SIM00001";
      EXPECT_EQ(text.find("norvo_store_waiting_polls{unit=\"" + other + "\"} 0\n"),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("norvo_store_write_failures_total 0\n"), std::string::npos) << text;
    }
    ASSERT_TRUE(WaitUntil([&] { return notes.Count("the record store takes the readings again") > round; }));
    sim.units[round]->Plug();
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, round == 0 ? "SIM00001" : "SIM00002").reconnects >= 1; }));
  }
  l.Stop();
  EXPECT_EQ(l.Lost(), 0u);
  EXPECT_EQ(l.Written(), polls());
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM LiveReadings"), static_cast<int>(polls()) * kLiveChannels);
}

// Home Assistant's MQTT sensor, as its documentation lists the keys of a
// discovery payload today: what must be there, and everything that may.
void ExpectHomeAssistantSensor(const std::string& payload) {
  const nlohmann::json c = nlohmann::json::parse(payload);
  const std::set<std::string> sensor = {
      "availability", "availability_mode", "availability_template", "availability_topic", "device", "default_entity_id",
      "device_class", "enabled_by_default", "encoding", "entity_category", "entity_picture", "expire_after",
      "force_update", "icon", "json_attributes_template", "json_attributes_topic", "last_reset_value_template", "name",
      "options", "origin", "payload_available", "payload_not_available", "platform", "suggested_display_precision",
      "qos", "state_class", "state_topic", "unique_id", "unit_of_measurement", "value_template"};
  const std::set<std::string> device = {"configuration_url", "connections", "hw_version", "identifiers", "manufacturer",
                                        "model", "model_id", "name", "serial_number", "suggested_area", "sw_version",
                                        "via_device"};
  const std::set<std::string> origin = {"name", "sw_version", "support_url"};
  const struct {
    const nlohmann::json& block;
    const std::set<std::string>& allowed;
    std::vector<std::string> required;
  } blocks[] = {
      {c, sensor, {"state_topic", "unique_id", "default_entity_id", "device", "origin", "expire_after"}},
      {c["device"], device, {"identifiers", "name", "manufacturer", "model"}},
      {c["origin"], origin, {"name", "sw_version"}},
  };
  for (const auto& b : blocks) {
    ASSERT_TRUE(b.block.is_object()) << payload;
    for (const auto& [key, value] : b.block.items()) EXPECT_TRUE(b.allowed.count(key)) << key << " in " << payload;
    for (const std::string& key : b.required) EXPECT_TRUE(b.block.contains(key)) << key << " missing: " << payload;
  }
  const std::string entity = c.value("default_entity_id", "");
  EXPECT_EQ(entity.rfind("sensor.", 0), 0u) << entity;
  EXPECT_EQ(entity.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_", 7), std::string::npos) << entity;
  EXPECT_TRUE(c["expire_after"].is_number_integer() && c["expire_after"] > 0) << payload;
  // The unit's availability and the logger's status with its last will: both must say online.
  ASSERT_TRUE(c["availability"].is_array() && c["availability"].size() == 2) << payload;
  EXPECT_EQ(c["availability"][1]["topic"], "norvo/status") << payload;
  EXPECT_EQ(c.value("availability_mode", ""), "all") << payload;
}

TEST(MqttPublisherTest, DiscoveryAsHomeAssistantDocumentsIt) {
  logger::MqttOptions o;
  o.version = "1.5";
  o.expire_after_s = 60;
  const logger::MqttPublisher mqtt(o, nullptr, nullptr);
  struct Case {
    std::string unit, identification;
    const char* model;
    const char* serial;      // nullptr: none
    const char* sw_version;  // nullptr: none
    const char* entity;      // of CH1 temperature
  };
  const Case cases[] = {
      {"SIM00001", "{QT7100K@}", "QT7100K", "SIM00001", nullptr, "sensor.norvo_sim00001_ch1_temperature"},
      {"AB-12", "{QT5100@} V2.10\r\n", "QT5100", "AB-12", "V2.10", "sensor.norvo_ab_12_ch1_temperature"},
      {"pci-0000:00:14.0-usb-0:2:1.0", "odd text", "odd text", nullptr, nullptr,
       "sensor.norvo_pci_0000_00_14_0_usb_0_2_1_0_ch1_temperature"},
  };
  for (const Case& c : cases) {
    const auto messages = mqtt.Discovery(c.unit, c.identification);
    ASSERT_EQ(messages.size(), 24u);
    for (const auto& [topic, payload] : messages) ExpectHomeAssistantSensor(payload);
    const nlohmann::json first = nlohmann::json::parse(messages[0].second);
    EXPECT_EQ(messages[0].first, "homeassistant/sensor/norvo_" + logger::MqttPublisher::UnitId(c.unit) + "/ch1_temperature/config");
    EXPECT_EQ(first["default_entity_id"], c.entity);
    EXPECT_EQ(first["device"]["model"], c.model);
    EXPECT_EQ(first["device"]["manufacturer"], "Tarvik");
    EXPECT_EQ(first["device"]["name"], "Ombrix " + c.unit);
    EXPECT_EQ(first["device"].contains("serial_number") ? first["device"]["serial_number"].get<std::string>() : "",
              c.serial ? c.serial : "");
    EXPECT_EQ(first["device"].contains("sw_version") ? first["device"]["sw_version"].get<std::string>() : "",
              c.sw_version ? c.sw_version : "");
    EXPECT_EQ(first["origin"], nlohmann::json({{"name", "norvoctl serve"}, {"sw_version", "1.5"}}));
    EXPECT_EQ(first["expire_after"], 60);
  }
  // Only the sensors a unit has given a value for (bit 3 (channel - 1) + quantity).
  const struct {
    std::uint32_t reported;
    std::vector<std::string> objects;
  } masks[] = {
      {0, {}},
      {0b001, {"ch1_temperature"}},
      {0b111 << 21, {"ch8_temperature", "ch8_humidity", "ch8_dew_point"}},
      {0b101 << 6, {"ch3_temperature", "ch3_dew_point"}},
  };
  for (const auto& m : masks) {
    std::vector<std::string> objects;
    for (const auto& [topic, payload] : mqtt.Discovery("SIM00001", "{QT5100@}", m.reported)) {
      const std::string prefix = "homeassistant/sensor/norvo_SIM00001/";
      objects.push_back(topic.substr(prefix.size(), topic.size() - prefix.size() - std::string("/config").size()));
    }
    EXPECT_EQ(objects, m.objects) << m.reported;
  }
}

TEST(UnitIdentityTest, SerialElsePortElsePath) {
  const auto id_path = [](const std::string& path) { return path == "/dev/hidraw9" ? "" : "usb-port-of-" + path; };
  struct Case {
    std::vector<HidInterfaceInfo> present;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {{{"/dev/hidraw0", kVendorId, kProductId, "NV123"}}, {"NV123"}},
      {{{"/dev/hidraw3", kVendorId, kProductId, ""}}, {"usb-port-of-/dev/hidraw3"}},
      // A serial two units share names neither.
      {{{"/dev/hidraw0", kVendorId, kProductId, "0001"}, {"/dev/hidraw1", kVendorId, kProductId, "0001"}},
       {"usb-port-of-/dev/hidraw0", "usb-port-of-/dev/hidraw1"}},
      {{{"/dev/hidraw9", kVendorId, kProductId, ""}, {"/dev/hidraw2", 0x046d, 0xc52b, "K"}}, {"/dev/hidraw9"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names;
    for (const logger::NamedUnit& u : logger::NameUnits(c.present, id_path)) names.push_back(u.name);
    EXPECT_EQ(names, c.names);
  }
  EXPECT_EQ(logger::UdevIdPath("sim:unit1"), "");
  EXPECT_EQ(logger::UdevIdPath("/dev/null").find("usb-"), std::string::npos);
}

// ---- norvoctl serve as a process -------------------------------------------------

class Serve {
 public:
  // name: of its output files in the folder, for a second serve beside the first.
  Serve(const TempFolder& folder, std::vector<std::string> args, const std::string& name = "serve",
        std::vector<std::string> env = {})
      : folder_(folder), name_(name) {
    std::vector<std::string> argv = {NORVOCTL, "--data-dir", (folder.path / "data").string(), "serve"};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("NORVO_TIME_SCALE=0.01");
    env.push_back("NORVO_RUNTIME_DIR=" + folder.path.string());
    // Output and error in files, which the test reads while it runs.
    child_ = testing::Spawn(argv, {.env = env,
                                   .out = folder.path / (name + ".out"), .err = folder.path / (name + ".err")});
  }
  ~Serve() {
    if (child_.pid > 0) End(SIGKILL);
  }
  std::string Err() const { return ReadFile(folder_.path / (name_ + ".err")); }
  std::string Out() const { return ReadFile(folder_.path / (name_ + ".out")); }
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
  void Signal(int signal) const { ::kill(child_.pid, signal); }
  int End(int signal) {
    Signal(signal);
    const Ran r = testing::Finish(child_);
    return r.signal ? 128 + r.signal : r.status;
  }

 private:
  const TempFolder& folder_;
  std::string name_;
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
    return CountUnitStates(sub, "SIM00001") >= 2 && CountUnitStates(sub, "SIM00002") >= 2 &&
           CountUnitStates(sub, "SIM00003") >= 2;
  })) << serve.Err();

  const std::string text = Scrape(port);
  ExpectPromtoolPasses(text);
  for (const char* unit : {"SIM00001", "SIM00002", "SIM00003"}) {
    EXPECT_NE(text.find("norvo_unit_connected{unit=\"" + std::string(unit) + "\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("norvo_temperature_celsius{unit=\"" + std::string(unit) + "\",channel=\"7\"}"), std::string::npos);
  }

  // Discovery: three quantities of each channel with a sensor (CH1 to CH7),
  // retained, each naming its unit and reading its value from the unit's
  // state message; CH8, which never gives a value, has none.
  EXPECT_EQ(sub.Messages("homeassistant/sensor/norvo_SIM00002/").size(), 21u);
  EXPECT_TRUE(sub.Messages("homeassistant/sensor/norvo_SIM00002/ch8_").empty());
  const auto configs = sub.Messages("homeassistant/sensor/norvo_SIM00002/ch3_humidity/config");
  ASSERT_FALSE(configs.empty());
  const nlohmann::json config = nlohmann::json::parse(configs.back().payload);
  EXPECT_EQ(config["device_class"], "humidity");
  EXPECT_EQ(config["unit_of_measurement"], "%");
  EXPECT_EQ(config["state_topic"], "norvo/SIM00002/state");
  EXPECT_EQ(config["value_template"], "{{ value_json.channels[2].humidity }}");
  EXPECT_EQ(config["device"]["model"], "QT7100K");
  EXPECT_EQ(config["device"]["serial_number"], "SIM00002");
  EXPECT_EQ(config["availability"], nlohmann::json::parse(R"([{"topic": "norvo/SIM00002/availability"}, {"topic": "norvo/status"}])"));
  EXPECT_EQ(config["expire_after"], 10);
  for (const Subscriber::Message& m : sub.Messages("homeassistant/sensor/")) ExpectHomeAssistantSensor(m.payload);
  const nlohmann::json dew = nlohmann::json::parse(sub.Last("homeassistant/sensor/norvo_SIM00001/ch1_dew_point/config"));
  EXPECT_EQ(dew["device_class"], "temperature");
  EXPECT_EQ(dew["unit_of_measurement"], "\u00B0C");

  const nlohmann::json state = nlohmann::json::parse(sub.Last("norvo/SIM00003/state"));
  EXPECT_EQ(state["unit"], "SIM00003");
  EXPECT_EQ(state["device"], "sim:unit3");
  ASSERT_EQ(state["channels"].size(), 8u);
  EXPECT_TRUE(state["channels"][0]["temperature"].is_number());
  EXPECT_TRUE(state["channels"][7]["temperature"].is_null());
  EXPECT_EQ(sub.Last("norvo/status"), "online");
  EXPECT_EQ(sub.Last("norvo/SIM00001/availability"), "online");

  EXPECT_EQ(serve.End(SIGTERM), 0) << serve.Err();
  const std::string err = serve.Err();
  EXPECT_NE(err.find("serving 3 simulated units (SIM00001 to SIM00003) every 0.2 s into"), std::string::npos) << err;
  EXPECT_NE(err.find("stopping"), std::string::npos) << err;
  EXPECT_NE(serve.Out().find("SIM00003: "), std::string::npos) << serve.Out();
  EXPECT_TRUE(sub.WaitLast("norvo/status", "offline"));
  EXPECT_EQ(sub.Last("norvo/SIM00002/availability"), "offline");

  const Ran csv = RunProgram({NORVOCTL, "--data-dir", (folder.path / "data").string(), "export", "--live", "--from",
                       "2000-01-01 00:00:00", "--to", "2099-01-01 00:00:00"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.rfind("time,unit,channel,temperature,humidity,dew_point\n", 0), 0u);
  for (const char* unit : {",SIM00001,1,", ",SIM00002,8,,,\n", ",SIM00003,7,"}) {
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
    ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "SIM00001") >= 1; })) << serve.Err();
  }
  broker.Stop();
  // Polls go on while the broker is away; none of them waits to be sent.
  ASSERT_TRUE(WaitUntil([&] { return serve.Err().find("MQTT: connection lost") != std::string::npos; }))
      << serve.Err();
  const fs::path db = folder.path / "data" / kDatabaseFile;
  int away = -1;  // -1 while the writer holds the store
  ASSERT_TRUE(WaitUntil([&] { return (away = CountRows(db, "SELECT count(*) FROM LiveReadings")) >= 0; }));
  ASSERT_TRUE(WaitUntil([&] { return CountRows(db, "SELECT count(*) FROM LiveReadings") >= away + 3 * kLiveChannels; }))
      << serve.Err();
  const auto restarted = std::chrono::system_clock::now();
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "SIM00001") >= 3; }, 40s)) << serve.Err();
  EXPECT_EQ(sub.Last("norvo/status"), "online");
  for (const Subscriber::Message& m : sub.Messages("norvo/SIM00001/state")) {
    const std::string time = nlohmann::json::parse(m.payload)["time"];
    double at = 0;
    ASSERT_TRUE(ParseLocalTime(time.substr(0, 19), &at)) << time;
    EXPECT_GE(at + 1, logger::UnixSeconds(restarted)) << "a state from while the broker was away: " << time;
  }
  EXPECT_NE(serve.Err().find("MQTT: connection lost, reconnecting"), std::string::npos) << serve.Err();

  EXPECT_EQ(serve.End(SIGKILL), 128 + SIGKILL);
  EXPECT_TRUE(sub.WaitLast("norvo/status", "offline")) << "the broker's last will for the killed process";
}

// Slow clients that hold connections open, or trickle a header, never keep
// serve from ending: SIGTERM, SIGINT and SIGHUP all take the stopping path at
// once. A SIGHUP during the stop leaves the status 0.
TEST(ServeTest, EndsWithinTwoSecondsWhateverTheClientsDo) {
  struct Case {
    int signal;
    const char* said;
    bool hangup_while_stopping = false;
  };
  const Case cases[] = {{SIGTERM, "stopping\n"},
                        {SIGINT, "stopping\n"},
                        {SIGHUP, "stopping (SIGHUP)\n"},
                        {SIGTERM, "stopping\n", true}};
  for (const Case& c : cases) {
    TempFolder folder;
    Serve serve(folder, {"--simulate", "1", "--period", "0.1", "--metrics", "127.0.0.1:0"});
    const int port = serve.MetricsPort();
    ASSERT_NE(port, 0) << serve.Err();
    std::vector<int> slow;
    for (int i = 0; i < 40; ++i) {
      const int fd = Connect(port);
      if (fd >= 0 && i % 2) ::send(fd, "GET /metr", 9, MSG_NOSIGNAL);
      slow.push_back(fd);
    }
    EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
    const auto before = std::chrono::steady_clock::now();
    if (c.hangup_while_stopping) {
      serve.Signal(c.signal);
      ASSERT_TRUE(WaitUntil([&] { return serve.Err().find(c.said) != std::string::npos; })) << serve.Err();
    }
    EXPECT_EQ(serve.End(c.hangup_while_stopping ? SIGHUP : c.signal), 0) << serve.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_NE(serve.Err().find(c.said), std::string::npos) << serve.Err();
    EXPECT_NE(serve.Out().find("SIM00001: "), std::string::npos) << "the summary of the normal stop";
    for (const int fd : slow) ::close(fd);
  }
}

// Two serves on one broker: the second waits for the unit the first holds
// and never speaks for it; each marks only its own unit offline at its end.
TEST(ServeTest, OnlyTheHolderPublishesAUnitsAvailability) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  const std::vector<std::string> args = {"--simulate", "1", "--period", "0.1", "--no-metrics", "--mqtt",
                                         "127.0.0.1:" + std::to_string(broker.Port())};
  Serve holder(folder, args);
  ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "SIM00001") >= 2; })) << holder.Err();
  {
    Serve second(folder, args, "second");
    ASSERT_TRUE(WaitUntil([&] { return second.Err().find("MQTT: connected") != std::string::npos; })) << second.Err();
    ASSERT_TRUE(WaitUntil([&] { return second.Err().find("SIM00001: ") != std::string::npos; })) << second.Err();
    EXPECT_EQ(second.End(SIGTERM), 0) << second.Err();
  }
  const int before = CountUnitStates(sub, "SIM00001");
  ASSERT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "SIM00001") >= before + 2; })) << "the holder goes on";
  for (const Subscriber::Message& m : sub.Messages("norvo/SIM00001/availability")) EXPECT_EQ(m.payload, "online");
  EXPECT_EQ(holder.End(SIGTERM), 0) << holder.Err();
  EXPECT_TRUE(sub.WaitLast("norvo/SIM00001/availability", "offline"));
}

TEST(ServeConfigTest, OptionsFromTheFileUnlessTheCommandLineGaveThem) {
  struct Case {
    std::string text;
    std::set<std::string> given;
    bool ok;
    const char* error;  // a part of it
  };
  const Case cases[] = {
      {"# comment\n\nperiod = 2.5\nunit = NV1\nunit=\"/dev/norvo kitchen\"\nno-metrics = yes\nmqtt = b:1884\n"
       "mqtt-prefix = p\nmqtt-discovery-prefix = d\nmqtt-client-id = c\nmqtt-user = u\nmqtt-password-file = /pw\n"
       "mqtt-cafile = /ca\nretention = 7\nmetrics = 0.0.0.0:1\ndata-dir = /srv\nsimulate = 2\n",
       {}, true, ""},
      {"period = 2.5\nunit = NV1\n", {"period", "unit"}, true, ""},
      {"period = fast\n", {}, false, "line 1: bad value for period"},
      {"\nspeed = 1\n", {}, false, "line 2: no option \"speed\""},
      {"period 20\n", {}, false, "not OPTION = VALUE"},
      {"no-metrics = perhaps\n", {}, false, "bad value for no-metrics"},
  };
  for (const Case& c : cases) {
    logger::ServeOptions o;
    o.period_s = 20;
    o.units = {"CLI"};
    std::string error;
    EXPECT_EQ(logger::ApplyServeConfig(c.text, c.given, &o, &error), c.ok) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (!c.ok) continue;
    if (c.given.empty()) {
      EXPECT_EQ(o.period_s, 2.5);
      EXPECT_EQ(o.units, (std::vector<std::string>{"NV1", "/dev/norvo kitchen"}));
      EXPECT_FALSE(o.metrics);
      EXPECT_EQ(o.mqtt + o.mqtt_prefix + o.mqtt_discovery_prefix + o.mqtt_client_id + o.mqtt_user + o.mqtt_password_file +
                    o.mqtt_ca_file + o.metrics_address + o.data_dir,
                "b:1884pdcu/pw/ca0.0.0.0:1/srv");
      EXPECT_EQ(o.retention_days, 7);
      EXPECT_EQ(o.simulate, 2);
    } else {
      EXPECT_EQ(o.period_s, 20);
      EXPECT_EQ(o.units, std::vector<std::string>{"CLI"});
    }
  }
}

// A refusal names the line and what is wrong, never the line's text: a file
// named by mistake (a shadow file, a key) is not echoed. An option given
// twice is refused naming both lines; a NUL or a control character is no
// configuration.
TEST(ServeConfigTest, RefusalsNameTheLineNeverItsText) {
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {"root:$6$s4lt$h4sh:19000:0:99999:7:::\n", "line 1: not OPTION = VALUE"},
      {"period = 20\nunit = A\nunit = B\nperiod = 30\n", "line 4: \"period\" again; line 1 set it already"},
      {std::string("period = 20\nmqtt = h\0ost\n", 25), "line 2: a NUL byte; a configuration is text"},
      {std::string("# \0\n", 4), "line 1: a NUL byte; a configuration is text"},
      {"mqtt = \x1b[31mhost\n", "line 1: a control character; a configuration is text"},
      {"Secret_Key = hunter2\n", "line 1: no such option"},
      {"period = hunter2\n", "line 1: bad value for period; it takes a number of seconds"},
      {"no-metrics = hunter2\n", "line 1: bad value for no-metrics; it takes yes or no"},
  };
  for (const auto& c : cases) {
    logger::ServeOptions o;
    std::string error;
    EXPECT_FALSE(logger::ApplyServeConfig(c.text, {}, &o, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  // Repeats count also where the command line wins; --config follows a
  // link (the package's file may be one) and never echoes what it reads.
  logger::ServeOptions o;
  std::string error;
  EXPECT_FALSE(logger::ApplyServeConfig("period = 1\nperiod = 2\n", {"period"}, &o, &error));
  EXPECT_EQ(error, "line 2: \"period\" again; line 1 set it already");
  TempFolder folder;
  testing::WriteFile(folder.path / "shadow", cases[0].text);
  fs::create_symlink(folder.path / "shadow", folder.path / "serve.conf");
  EXPECT_FALSE(logger::ReadServeConfig((folder.path / "serve.conf").string(), {}, &o, &error));
  EXPECT_EQ(error, (folder.path / "serve.conf").string() + ": line 1: not OPTION = VALUE");
  EXPECT_FALSE(logger::ReadServeConfig(folder.path.string(), {}, &o, &error));
  EXPECT_EQ(error, folder.path.string() + ": is a directory");
}

// The service as systemd runs it: options from the file, READY and
// WATCHDOG over the notify socket, priorities on the journal's lines.
TEST(ServeTest, ConfigFileNotifySocketAndJournalPriorities) {
  TempFolder folder;
  const fs::path socket_path = folder.path / "notify";
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval limit{15, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const auto next = [&] {
    char buf[1024];
    const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  };
  const fs::path conf = folder.path / "serve.conf";
  std::ofstream(conf) << "# as the package ships it, and then some\nsimulate = 1\nperiod = 0.1\nmetrics = 127.0.0.1:0\n";
  // The journal is whatever file standard error goes to: its device and inode.
  const fs::path err = folder.path / "serve.err";
  std::ofstream(err).close();
  struct stat st {};
  ASSERT_EQ(::stat(err.c_str(), &st), 0);
  Serve serve(folder, {"--config", conf.string(), "--period", "0.2"}, "serve",
              {"NOTIFY_SOCKET=" + socket_path.string(), "WATCHDOG_USEC=100000",
               "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)});
  const std::string ready = next();
  EXPECT_EQ(ready.rfind("READY=1\nSTATUS=serving 1 simulated unit (SIM00001) every 0.2 s", 0), 0u) << ready << serve.Err();
  EXPECT_EQ(next(), "WATCHDOG=1");
  EXPECT_EQ(next(), "WATCHDOG=1") << "again within the interval";
  ASSERT_NE(serve.MetricsPort(), 0);
  ASSERT_TRUE(WaitUntil([&] { return serve.Err().find("SIM00001: connected") != std::string::npos; })) << serve.Err();
  EXPECT_EQ(serve.End(SIGTERM), 0);
  std::string m;
  while (!(m = next()).empty() && m != "STOPPING=1") {
  }
  EXPECT_EQ(m, "STOPPING=1");
  EXPECT_NE(serve.Err().find("<6>serving 1 simulated unit (SIM00001) every 0.2 s"), std::string::npos) << serve.Err();
  EXPECT_NE(serve.Err().find("<6>SIM00001: connected\n"), std::string::npos) << serve.Err();
  EXPECT_NE(serve.Err().find("<6>stopping\n"), std::string::npos) << serve.Err();
  ::close(sock);

  std::ofstream(conf) << "period = 1\nwhatever = 2\n";
  const Ran bad = RunProgram({NORVOCTL, "serve", "--config", conf.string()}, {.env = {"NORVO_RUNTIME_DIR=" + folder.path.string()}});
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.err.find("serve.conf: line 2: no option \"whatever\""), std::string::npos) << bad.err;
  EXPECT_EQ(bad.err.find("<3>"), std::string::npos) << "no prefixes off the journal";
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
    EXPECT_TRUE(WaitUntil([&] { return CountUnitStates(sub, "SIM00001") >= 2; })) << serve.Err();
    EXPECT_EQ(serve.End(SIGTERM), 0);
  }
  Serve refused(folder, {"--simulate", "1", "--period", "0.1", "--no-metrics", "--mqtt",
                         "127.0.0.1:" + std::to_string(broker.Port()), "--mqtt-user", "logger", "--mqtt-password-file",
                         (folder.path / "wrong").string()});
  EXPECT_TRUE(WaitUntil([&] { return refused.Err().find("MQTT: the broker refused the connection") != std::string::npos; }))
      << refused.Err();
  EXPECT_EQ(refused.Err().find("not reachable"), std::string::npos) << "a refusal is no unreachable broker";
  EXPECT_EQ(refused.End(SIGTERM), 0) << refused.Err();
}

// The packaged service denies @privileged (with @chown) and @resources and
// kills a process that calls one of them: serve stores its polls and ends
// with 0 under that filter, as root and as a user without privileges.
TEST(ServeTest, ServesUnderTheServiceSystemCallFilter) {
  const struct {
    const char* who;
    uid_t uid;  // 0: this process's user
  } rows[] = {{"this user", 0}, {"a user without privileges", 65533}};
  for (const auto& row : rows) {
    if (row.uid != 0 && (::geteuid() != 0 || testing::FindProgram("setpriv").empty())) {
      std::printf("%s: not tried (needs root and setpriv)\n", row.who);
      continue;
    }
    TempFolder folder;
    const fs::path data = folder.path / "data", runtime = folder.path / "run";
    fs::create_directories(data);
    fs::create_directories(runtime);
    ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
    std::vector<std::string> argv = {SYSCALL_FILTER, NORVOCTL, "--data-dir", data.string(), "serve", "--simulate",
                                     "1", "--period", "0.2", "--no-metrics"};
    if (row.uid != 0) {
      ASSERT_EQ(::chmod(folder.path.c_str(), 0755), 0);
      for (const fs::path& f : {data, runtime}) ASSERT_EQ(::chown(f.c_str(), row.uid, row.uid), 0);
      const std::string id = std::to_string(row.uid);
      argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    }
    testing::Child serve = testing::Spawn(
        argv, {.env = {"NORVO_TIME_SCALE=0.01", "NORVO_RUNTIME_DIR=" + runtime.string()}, .err = folder.path / "err"});
    const fs::path db = data / kDatabaseFile;
    EXPECT_TRUE(WaitUntil([&] { return CountRows(db, "SELECT count(*) FROM LiveReadings") >= kLiveChannels; }))
        << row.who << ": " << ReadFile(folder.path / "err");
    // Its unit offered to the others, on a socket made without chown.
    EXPECT_TRUE(WaitUntil([&] { return fs::is_socket(runtime / (UnitLockName("sim:unit1") + ".sock")); })) << row.who;
    ::kill(serve.pid, SIGTERM);
    const Ran r = testing::Finish(serve);
    EXPECT_EQ(r.signal, 0) << row.who << ": " << ReadFile(folder.path / "err");
    EXPECT_EQ(r.status, 0) << row.who << ": " << ReadFile(folder.path / "err");
  }
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

  // Password files that are none: never read, never waited on.
  const fs::path fifo = folder.path / "fifo", big = folder.path / "big";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(big) << std::string(100000, 'p');
  for (const auto& [file, why] : std::vector<std::pair<std::string, std::string>>{
           {fifo.string(), "not a regular file"}, {"/dev/zero", "not a regular file"}, {big.string(), "larger than"},
           {(folder.path / "none").string(), "No such file"}}) {
    const Ran r = serve({"--simulate", "1", "--no-metrics", "--mqtt", "127.0.0.1", "--mqtt-user", "u",
                         "--mqtt-password-file", file});
    EXPECT_EQ(r.status, 3) << file << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
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

// The broker password file: a symbolic link in its place, a NUL, a folder
// are refused without reading on; a file others may read or change is taken
// with a warning that names it and its mode.
TEST(ServeTest, PasswordFilesThatOthersCouldReadOrPlant) {
  TempFolder folder;
  const fs::path secret = folder.path / "shadow", link = folder.path / "link", nul = folder.path / "nul";
  testing::WriteFile(secret, "root:$6$s4lt$h4sh\n");
  fs::create_symlink(secret, link);
  testing::WriteFile(nul, std::string("pass\0word\n", 10));
  const auto args = [&](const fs::path& file) {
    return std::vector<std::string>{"--simulate", "1", "--no-metrics", "--mqtt", "127.0.0.1:1", "--mqtt-user", "u",
                                    "--mqtt-password-file", file.string()};
  };
  const std::pair<fs::path, std::string> refused[] = {
      {link, "is a symbolic link; not followed"}, {nul, "holds a NUL byte; a password file is text"}, {folder.path, "is a directory"}};
  for (const auto& [file, why] : refused) {
    std::vector<std::string> argv = args(file);
    argv.insert(argv.begin(), {NORVOCTL, "--data-dir", (folder.path / "data").string(), "serve"});
    const Ran r = RunProgram(argv, {.env = {"NORVO_RUNTIME_DIR=" + folder.path.string()}});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.err, "norvoctl: " + file.string() + ": cannot read the password: " + why + "\n");
  }
  const std::pair<mode_t, std::string> modes[] = {
      {0640, ""},
      {0644, "mode 0644 lets every user read the broker password (chmod 600 keeps it to its owner)"},
      {0620, "mode 0620 lets the file's group change the broker password (chmod 600 keeps it to its owner)"},
  };
  for (const auto& [mode, warning] : modes) {
    ASSERT_EQ(::chmod(secret.c_str(), mode), 0);
    Serve serve(folder, args(secret), "serve" + std::to_string(mode));
    // Serving has begun once the unit is connected: the password was taken.
    ASSERT_TRUE(WaitUntil([&] { return serve.Err().find("SIM00001: connected") != std::string::npos; })) << serve.Err();
    const std::size_t at = serve.Err().find("norvoctl: warning: " + secret.string() + ": ");
    EXPECT_EQ(at == std::string::npos ? "" : serve.Err().substr(at + 21 + secret.string().size(), warning.size()), warning);
    EXPECT_EQ(serve.End(SIGTERM), 0);
  }
}

// ---- alarms ------------------------------------------------------------------------

// CH3 of the simulated unit has a high temperature limit of 35.3 °C (enabled).
TEST(LoggerAlarmTest, AChannelAcrossItsLimitAndBackInTheLogMetricsAndHomeAssistant) {
  REQUIRE_TOOL(mosquitto, "mosquitto");
  TempFolder folder;
  Broker broker(folder.path);
  ASSERT_TRUE(broker.Start());
  Subscriber sub(broker.Port());
  Units sim(1);
  sim.units[0]->SetSensor(3, 300, 55);
  Notes notes;
  logger::LoggerOptions o = TestOptions(folder);
  o.mqtt.host = "127.0.0.1";
  o.mqtt.port = broker.Port();
  logger::Logger l(sim.transport, o, notes.Fn());
  std::string error;
  ASSERT_EQ(l.Start(&error), logger::Logger::StartError::kNone) << error;
  l.StartUnits();
  const std::string active = "norvo_alarm_active{unit=\"SIM00001\",channel=\"3\",quantity=\"temperature\",bound=\"high\"} ";
  ASSERT_TRUE(WaitUntil([&] { return l.Metrics().find(active + "0\n") != std::string::npos; }));
  const std::string before = Scrape(l.MetricsPort());
  ExpectPromtoolPasses(before);
  for (const char* line : {"norvo_alarm_limit_celsius{unit=\"SIM00001\",channel=\"3\",bound=\"high\"} 35.3\n",
                           "norvo_alarm_limit_celsius{unit=\"SIM00001\",channel=\"2\",bound=\"low\"} -5.2\n",
                           "norvo_alarm_limit_percent{unit=\"SIM00001\",channel=\"4\",bound=\"low\"} 16\n"}) {
    EXPECT_NE(before.find(line), std::string::npos) << line << before;
  }
  // Not enabled (CH3 low temperature), no sensor (CH8): no series.
  EXPECT_EQ(before.find("norvo_alarm_limit_celsius{unit=\"SIM00001\",channel=\"3\",bound=\"low\"}"), std::string::npos);
  EXPECT_EQ(before.find("norvo_alarm_active{unit=\"SIM00001\",channel=\"8\""), std::string::npos);

  const fs::path db = folder.path / kDatabaseFile;
  sim.units[0]->SetSensor(3, 360, 55);
  ASSERT_TRUE(WaitUntil([&] { return l.Metrics().find(active + "1\n") != std::string::npos; }));
  ASSERT_TRUE(WaitUntil([&] {
    return CountRows(db, "SELECT count(*) FROM AlarmLog WHERE Unit = 'SIM00001' AND Channel = 3 AND Quantity = "
                         "'temperature' AND Bound = 'high' AND LimitValue = 35.3 AND End IS NULL AND Peak = 36") == 1;
  }));
  const std::string topic = "norvo/SIM00001/alarm";
  ASSERT_TRUE(WaitUntil([&] { return sub.Last(topic).find("\"alarm\":true") != std::string::npos; }));
  const nlohmann::json state = nlohmann::json::parse(sub.Last(topic));
  EXPECT_EQ(state["channels"][2]["alarm"], true);
  EXPECT_EQ(state["channels"][2]["active"][0]["bound"], "high");
  EXPECT_EQ(state["channels"][2]["limits"]["temperature_high"], 35.3);
  EXPECT_EQ(state["channels"][0]["alarm"], false);
  const auto messages = sub.Messages("homeassistant/binary_sensor/norvo_SIM00001/ch3_alarm/config");
  ASSERT_FALSE(messages.empty());
  // Retained: a subscriber that comes later gets the sensor and the state.
  Subscriber later(broker.Port());
  ASSERT_TRUE(WaitUntil([&] { return !later.Messages(topic).empty() && !later.Messages(messages.back().topic).empty(); }));
  EXPECT_TRUE(later.Messages(topic).front().retained);
  EXPECT_TRUE(later.Messages(messages.back().topic).front().retained);
  const nlohmann::json config = nlohmann::json::parse(messages.back().payload);
  EXPECT_EQ(config["device_class"], "problem");
  EXPECT_EQ(config["state_topic"], topic);
  EXPECT_EQ(config["default_entity_id"], "binary_sensor.norvo_sim00001_ch3_alarm");
  EXPECT_EQ(config["device"]["identifiers"][0], "norvo_SIM00001");
  EXPECT_NE(config["json_attributes_template"].get<std::string>().find("channels[2].limits"), std::string::npos);

  // 35.2 °C is within the hysteresis: still in alarm; 35.1 °C ends it.
  sim.units[0]->SetSensor(3, 352, 55);
  const std::uint64_t polls = StatusOf(l, "SIM00001").polls;
  ASSERT_TRUE(WaitUntil([&] { return StatusOf(l, "SIM00001").polls >= polls + 3; }));
  EXPECT_NE(l.Metrics().find(active + "1\n"), std::string::npos);
  sim.units[0]->SetSensor(3, 351, 55);
  ASSERT_TRUE(WaitUntil([&] { return l.Metrics().find(active + "0\n") != std::string::npos; }));
  ASSERT_TRUE(WaitUntil([&] {
    return CountRows(db, "SELECT count(*) FROM AlarmLog WHERE Channel = 3 AND End > Start AND Peak = 36 AND "
                         "PeakTime >= Start AND PeakTime < End") == 1;
  }));
  ASSERT_TRUE(WaitUntil([&] { return sub.Last(topic).find("\"alarm\":false") != std::string::npos; }));
  l.Stop();
  EXPECT_EQ(CountRows(db, "SELECT count(*) FROM AlarmLog"), 1);
  EXPECT_TRUE(notes.Has("SIM00001: alarm: CH3 above 35.3 \u00B0C since"));
  EXPECT_TRUE(notes.Has("SIM00001: alarm over: CH3 above 35.3 \u00B0C since"));

  // norvoctl alarms --log reads it back, in every format.
  const auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv = {NORVOCTL, "--data-dir", folder.path.string(), "--lang", "English", "alarms", "--log"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::RunProgram(argv);
  };
  const testing::Result text = run({});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("SIM00001  CH3     temperature high  35.3 \u00B0C"), std::string::npos) << text.out;
  const testing::Result json = run({"--json"});
  const nlohmann::json rows = nlohmann::json::parse(json.out);
  ASSERT_EQ(rows.size(), 1u) << json.out;
  EXPECT_EQ(rows[0]["peak"], 36.0);
  EXPECT_FALSE(rows[0]["end"].is_null());
  const testing::Result csv = run({"--csv", "--from", "2000-01-01", "--to", "2001-01-01"});
  EXPECT_EQ(csv.out, "unit,channel,quantity,bound,limit,start,end,peak,peak_time\n") << "nothing in 2000";
  EXPECT_EQ(run({"--from", "2000-01-01"}).status, 3);
}

}  // namespace
}  // namespace norvo
