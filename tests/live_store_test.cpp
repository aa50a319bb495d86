// The compact live store: the view keeps the documented columns, roll-ups
// equal a rebuild from the polls, an older table migrates without losing a
// row, a newer store is not written, and the size per poll.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "monitor/Format.h"
#include "settings/DataFolder.h"
#include "store/LiveStore.h"
#include "support/TestSupport.h"

namespace norvo {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::int64_t Scalar(const fs::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr);
  const std::int64_t v = s && sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  sqlite3_close(h);
  return v;
}

void Exec(const fs::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open(db.c_str(), &h);
  char* message = nullptr;
  ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_close(h);
}

// Random polls of several units with gaps (minutes to days) and absent
// values, in time order per unit, a few late ones and repeated seconds.
std::vector<LivePoll> RandomPolls(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::vector<LivePoll> polls;
  std::array<double, 3> at = {1767225000.0, 1767225007.0, 1767225013.0};
  for (int i = 0; i < count; ++i) {
    const std::size_t u = rng() % at.size();
    const int r = static_cast<int>(rng() % 100);
    at[u] += r < 90 ? 20 : (r < 97 ? 600 + rng() % 4000 : 86400 + rng() % 200000);
    LivePoll p;
    p.unit = "unit" + std::to_string(u);
    p.time = at[u] + (rng() % 1000) / 1000.0 - (r == 99 ? 45 : 0);  // some late by two polls
    for (auto& c : p.channels) {
      if (rng() % 10 != 0) c.temperature = static_cast<int>(rng() % 1200 - 300) / 10.0;
      if (rng() % 7 != 0) c.humidity = static_cast<int>(rng() % 101);
    }
    polls.push_back(p);
  }
  return polls;
}

TEST(LiveStoreFormat, RollupsEqualARebuildOnRandomPollsInBatchesAndAfterThinning) {
  struct Case {
    unsigned seed;
    int polls, batch;
    bool thin;
  };
  const Case cases[] = {{1, 200, 1, false}, {2, 3000, 40, false}, {3, 5000, 250, true}, {4, 800, 800, true}};
  for (const Case& c : cases) {
    TempFolder folder;
    const fs::path db = folder.path / kDatabaseFile;
    LiveStore store;
    std::string error, report;
    ASSERT_TRUE(store.Open(db.string(), &error)) << error;
    const std::vector<LivePoll> polls = RandomPolls(c.seed, c.polls);
    for (std::size_t i = 0; i < polls.size(); i += static_cast<std::size_t>(c.batch)) {
      const std::size_t n = std::min(polls.size() - i, static_cast<std::size_t>(c.batch));
      ASSERT_TRUE(store.Append(std::span(polls).subspan(i, n), &error)) << error;
    }
    EXPECT_TRUE(store.CheckRollups(&report)) << "seed " << c.seed << "\n" << report;
    if (c.thin) {
      int deleted = 0;
      ASSERT_TRUE(store.DeleteBefore(polls[polls.size() / 2].time, &deleted, &error)) << error;
      EXPECT_GT(deleted, 0);
      EXPECT_TRUE(store.CheckRollups(&report)) << report;
    }
    // A day's roll-up equals the sum of its hours, and the counts of the
    // days equal every value ever recorded (thinning keeps the roll-ups).
    std::int64_t values = 0, day_values = 0;
    for (const LivePoll& p : polls) {
      for (const LiveChannel& ch : p.channels) values += ch.temperature.has_value();
    }
    std::vector<std::string> units;
    ASSERT_TRUE(store.Units(&units, &error));
    ASSERT_EQ(units.size(), 3u);
    for (const std::string& unit : units) {
      ASSERT_TRUE(store.QueryRollups(unit, 86400, 0, INT64_MAX / 2, [&](const LiveRollup& r) {
        for (const auto& ch : r.stats) day_values += ch[0].count;
        return true;
      }, &error));
    }
    // Repeated moments are the same poll: left out once each.
    std::set<std::pair<std::string, std::int64_t>> seconds;
    std::int64_t repeated = 0;
    for (const LivePoll& p : polls) {
      if (!seconds.insert({p.unit, std::llround(p.time * 1000)}).second) {
        for (const LiveChannel& ch : p.channels) repeated += ch.temperature.has_value();
      }
    }
    EXPECT_EQ(day_values, values - repeated) << "seed " << c.seed;
  }
}

TEST(LiveStoreFormat, ViewKeepsTheColumnsAndValuesStayAsPrecise) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  LiveStore store;
  std::string error;
  ASSERT_TRUE(store.Open(db.string(), &error)) << error;
  LivePoll p;
  p.unit = "NV0001";
  p.time = 1767225600.75;
  const double temperatures[] = {-40.0, -0.1, 0.0, 21.3, 99.9, 125.0, -12.5, 3276.7};
  for (int k = 0; k < kLiveChannels; ++k) {
    p.channels[static_cast<std::size_t>(k)].temperature = temperatures[k];
    if (k != 3) p.channels[static_cast<std::size_t>(k)].humidity = k * 14;
  }
  p.channels[7].temperature.reset();
  ASSERT_TRUE(store.Append(std::span(&p, 1), &error)) << error;
  std::vector<LiveRow> rows;
  ASSERT_TRUE(store.Query(0, 2e9, [&](const LiveRow& r) { rows.push_back(r); return true; }, &error));
  ASSERT_EQ(rows.size(), 8u);
  for (int k = 0; k < kLiveChannels; ++k) {
    const LiveRow& r = rows[static_cast<std::size_t>(k)];
    const LiveChannel& want = p.channels[static_cast<std::size_t>(k)];
    EXPECT_EQ(r.time, 1767225600.75);
    EXPECT_EQ(r.value.temperature, want.temperature) << k;
    EXPECT_EQ(r.value.humidity, want.humidity) << k;
    std::optional<double> dew;
    if (want.temperature && want.humidity) {
      const float d = DewPoint(static_cast<float>(*want.temperature), *want.humidity);
      if (std::isfinite(d) && d != 65535.0f) dew = std::round(d * 10.0) / 10.0;
    }
    EXPECT_EQ(r.value.dew_point, dew) << k;
    // The view, in plain SQL, says the same.
    const std::string where = " FROM LiveReadings WHERE Channel = " + std::to_string(k + 1);
    EXPECT_EQ(Scalar(db, "SELECT round(Temperature * 10)" + where), want.temperature ? std::lround(*want.temperature * 10) : 0);
    EXPECT_EQ(Scalar(db, "SELECT Humidity IS NULL" + where), !want.humidity);
    EXPECT_EQ(Scalar(db, "SELECT coalesce(round(DewPoint * 10), -9999)" + where), dew ? std::lround(*dew * 10) : -9999) << k;
  }
  EXPECT_EQ(Scalar(db, "SELECT count(*) FROM LiveReadings WHERE Unit = 'NV0001' AND Time = 1767225600.75"), 8);
}

TEST(LiveStoreFormat, AnOlderTableMigratesWithEveryRowAndAFailedMigrationLeavesIt) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  Exec(db,
       "CREATE TABLE LiveReadings (Time REAL NOT NULL, Unit TEXT NOT NULL, Channel INTEGER NOT NULL, "
       "Temperature REAL, Humidity INTEGER, DewPoint REAL);"
       "CREATE INDEX LiveReadingsByTime ON LiveReadings(Time);"
       "CREATE TABLE Records (x);");
  // 80,000 rows: more than one batch; two units; absent values.
  {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO LiveReadings VALUES (?, ?, ?, ?, ?, ?)", -1, &s, nullptr);
    for (int i = 0; i < 10000; ++i) {
      for (int k = 1; k <= 8; ++k) {
        sqlite3_reset(s);
        sqlite3_bind_double(s, 1, 1767225600.0 + (i / 2) * 20 + 0.125);
        sqlite3_bind_text(s, 2, i % 2 ? "sim:unit1" : "/dev/hidraw3", -1, SQLITE_STATIC);
        sqlite3_bind_int(s, 3, k);
        (i + k) % 9 ? sqlite3_bind_double(s, 4, ((i * 7 + k * 13) % 900 - 200) / 10.0) : sqlite3_bind_null(s, 4);
        (i + k) % 5 ? sqlite3_bind_int(s, 5, (i + k) % 101) : sqlite3_bind_null(s, 5);
        sqlite3_bind_null(s, 6);
        sqlite3_step(s);
      }
    }
    sqlite3_finalize(s);
    sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(h);
  }
  const std::string sums = "SELECT count(*) * 1000000 + sum(Temperature IS NULL) * 1000 + sum(Humidity IS NULL) FROM LiveReadings";
  const std::string values = "SELECT sum(round(coalesce(Temperature, 0) * 10) * Channel + coalesce(Humidity, 0) * 7) FROM LiveReadings";
  const std::int64_t before = Scalar(db, sums), before_values = Scalar(db, values);

  // Read-only before the migration: the older table is read as it is.
  {
    LiveStore reader;
    std::string error;
    ASSERT_TRUE(reader.OpenReadOnly(db.string(), &error)) << error;
    int polls = 0;
    ASSERT_TRUE(reader.QueryPolls("sim:unit1", 0, INT64_MAX / 2, [&](const LivePoll&) { return ++polls; }, &error));
    EXPECT_EQ(polls, 5000);
  }
  // A migration that cannot finish (a table LiveRollups of another shape
  // is in the way) leaves the older table as it was.
  Exec(db, "CREATE TABLE LiveRollups (x)");
  {
    LiveStore store;
    std::string error;
    EXPECT_FALSE(store.Open(db.string(), &error));
    EXPECT_EQ(Scalar(db, sums), before);
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM sqlite_master WHERE name = 'LivePolls'"), 0);
  }
  Exec(db, "DROP TABLE LiveRollups");
  LiveStore store;
  std::string error, report;
  std::vector<std::int64_t> progress;
  ASSERT_TRUE(store.Open(db.string(), &error, [&](std::int64_t done, std::int64_t total) {
    EXPECT_EQ(total, 80000);
    progress.push_back(done);
  })) << error;
  EXPECT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.back(), 80000);
  EXPECT_EQ(Scalar(db, sums), before);
  EXPECT_EQ(Scalar(db, values), before_values);
  EXPECT_EQ(Scalar(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'LiveReadings'"), 0);
  EXPECT_EQ(Scalar(db, "SELECT count(*) FROM sqlite_master WHERE name = 'Records'"), 1);
  EXPECT_TRUE(store.CheckRollups(&report)) << report;
}

// export --live --every: one row per unit, bucket and channel, with the
// roll-up's figures; --unit and --channel narrow raw rows and roll-ups alike.
TEST(LiveStoreFormat, ExportGivesRollupRowsAndNarrowsByUnitAndChannel) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  std::vector<LivePoll> polls;
  for (int i = 0; i < 600; ++i) {  // 3 h 20 min of two units at 20 s
    for (const char* unit : {"A", "B"}) {
      LivePoll p;
      p.unit = unit;
      p.time = 1767225600 + 20.0 * i;
      for (int k = 0; k < kLiveChannels; ++k) {
        p.channels[static_cast<std::size_t>(k)].temperature = (k * 10 + i % 50) / 10.0;
        p.channels[static_cast<std::size_t>(k)].humidity = (i + k) % 100;
      }
      polls.push_back(p);
    }
  }
  {
    LiveStore store;
    std::string error;
    ASSERT_TRUE(store.Open(db.string(), &error)) << error;
    ASSERT_TRUE(store.Append(polls, &error)) << error;
  }
  const std::string from = LocalIsoTime(1767225600).substr(0, 19), to = LocalIsoTime(1767225600 + 86400).substr(0, 19);
  struct Case {
    const char* unit;
    int channel, every;
    std::size_t lines;  // without the header
    std::string has;
  };
  const Case cases[] = {
      {"", 0, 3600, 2 * 4 * 8, ""},
      {"B", 3, 3600, 4, ",B,3,180,2,"},
      {"A", 8, 86400, 1, ",A,8,600,7,"},
      {"A", 2, 0, 599, ",A,2,"},  // raw rows: the start excluded
      {"C", 0, 300, 0, ""},
  };
  for (const Case& c : cases) {
    const fs::path file = folder.path / "export.csv";
    std::FILE* out = std::fopen(file.c_str(), "w");
    const LiveExportResult r = ExportLive(db.string(), from, to, LiveFormat::kCsv, out, {c.unit, c.channel, c.every});
    std::fclose(out);
    ASSERT_EQ(r.status, LiveExportResult::kOk) << r.message;
    const std::string text = testing::ReadFile(file);
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), c.lines + 1) << text.substr(0, 400);
    EXPECT_NE(text.find(c.has), std::string::npos) << text.substr(0, 400);
  }
  // Roll-up times read as the raw rows' times do, in any zone.
  for (const char* zone : {"Europe/Berlin", "America/St_Johns", "UTC"}) {
    testing::ScopedEnv tz("TZ", zone);
    tzset();
    const fs::path file = folder.path / "zone.csv";
    std::FILE* out = std::fopen(file.c_str(), "w");
    ExportLive(db.string(), LocalIsoTime(1767225600).substr(0, 19), LocalIsoTime(1767225600 + 86400).substr(0, 19),
               LiveFormat::kCsv, out, {"B", 1, 300});
    std::fclose(out);
    const std::string text = testing::ReadFile(file);
    EXPECT_NE(text.find("\n" + LocalIsoTime(1767225600 + 300) + ",B,1,15,"), std::string::npos) << zone << "\n" << text.substr(0, 600);
  }
  tzset();
  const fs::path file = folder.path / "export.json";
  std::FILE* out = std::fopen(file.c_str(), "w");
  EXPECT_EQ(ExportLive(db.string(), from, to, LiveFormat::kJson, out, {"A", 1, 86400}).status, LiveExportResult::kOk);
  std::fclose(out);
  EXPECT_NE(testing::ReadFile(file).find("\"channel\": 1, \"temperature\": {\"count\": 600, \"min\": 0, \"min_time\": \""),
            std::string::npos)
      << testing::ReadFile(file);
}

// A recorder killed (SIGKILL) at any moment, in a poll's transaction or in
// the closing of a bucket: the store passes its integrity check, holds whole
// transactions only, and its roll-ups equal a rebuild.
TEST(LiveStoreFormat, KillDuringRecordingLeavesAConsistentStore) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  for (const int kill_after : {90, 400}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Three units, a round of polls per transaction, time running at 20 s a round.
      LiveStore store;
      std::string error;
      if (!store.Open(db.string(), &error)) ::_exit(2);
      for (std::int64_t t = 1767225600 + kill_after * 1000;; t += 20) {
        std::vector<LivePoll> round;
        for (int u = 0; u < 3; ++u) {
          LivePoll p;
          p.unit = "unit" + std::to_string(u);
          p.time = static_cast<double>(t + u);
          for (int k = 0; k < kLiveChannels; ++k) {
            if ((t + k) % 7) p.channels[static_cast<std::size_t>(k)].temperature = ((t / 20 + k) % 300) / 10.0;
            p.channels[static_cast<std::size_t>(k)].humidity = static_cast<int>((t / 20 + k) % 100);
          }
          round.push_back(p);
        }
        if (!store.Append(round, &error)) ::_exit(3);
      }
    }
    const auto polls = [&] { return Scalar(db, "SELECT count(*) FROM LivePolls"); };
    const std::int64_t before = std::max<std::int64_t>(0, polls());
    EXPECT_TRUE(testing::WaitUntil([&] { return polls() >= before + kill_after; }, std::chrono::seconds(120)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);  // a hot journal is rolled back here
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
    sqlite3_close(h);
    EXPECT_EQ(polls() % 3, 0) << "a round is one transaction";
    LiveStore store;
    std::string error, report;
    ASSERT_TRUE(store.Open(db.string(), &error)) << error;
    EXPECT_TRUE(store.CheckRollups(&report)) << report;
    EXPECT_GT(Scalar(db, "SELECT count(*) FROM LiveRollups WHERE Span = 300"), 0);
  }
}

TEST(LiveStoreFormat, ANewerStoreIsReadButNotWritten) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  {
    LiveStore store;
    std::string error;
    ASSERT_TRUE(store.Open(db.string(), &error)) << error;
  }
  Exec(db, "UPDATE LiveMeta SET Value = 3 WHERE Key = 'format'");
  LiveStore store;
  std::string error;
  EXPECT_FALSE(store.Open(db.string(), &error));
  EXPECT_NE(error.find("newer version"), std::string::npos) << error;
  EXPECT_TRUE(store.OpenReadOnly(db.string(), &error)) << error;
  EXPECT_TRUE(store.ReadOnly());
}

}  // namespace
}  // namespace norvo
