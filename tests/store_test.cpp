// The record store on a real SQLite file, and OLE Automation dates.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "store/OleDate.h"
#include "store/RecordStore.h"
#include "store/SeriesQuery.h"
#include "store/TimeText.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using testing::TempFolder;

TEST(OleDate, ConversionsOnBothSidesOfTheEpoch) {
  const struct {
    DateTime t;
    double ole;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0}, 0.0},   {{1899, 12, 31, 12, 0, 0}, 1.5},  {{1899, 12, 29, 6, 0, 0}, -1.25},
      {{1899, 12, 29, 0, 0, 0}, -1.0},  {{1900, 1, 1, 0, 0, 0}, 2.0},     {{2026, 12, 7, 18, 0, 0}, 46363.75},
      {{1800, 1, 1, 18, 0, 0}, -36522.75},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(ToOleDate(c.t), c.ole) << c.ole;
    EXPECT_EQ(FromOleDate(c.ole), c.t) << c.ole;
  }
  EXPECT_EQ(FromOleDate(ToOleDate({2019, 3, 3, 7, 5, 59})), (DateTime{2019, 3, 3, 7, 5, 59}));
  EXPECT_EQ(FormatSpanTime(ToOleDate({2019, 3, 3, 7, 5, 0})), "2019-03-03 7:05:00");
  double v = 0;
  EXPECT_TRUE(ParseSpanTime("2019-03-03 7:05:00", &v));
  EXPECT_DOUBLE_EQ(v, ToOleDate({2019, 3, 3, 7, 5, 0}));
  EXPECT_FALSE(ParseSpanTime("2019-02-30 7:05:00", &v));
  EXPECT_FALSE(ParseSpanTime("2019-03-03 7:05:00; DROP TABLE Records", &v));
}

// The typed grammar the store, the Graph's fields and the command line share:
// what each form yields and which of the three readers take it.
TEST(TimeTextTest, TypedTimesInEveryFormAndWhoTakesThem) {
  using S = TimeText::Status;
  const struct {
    const char* text;
    S status;
    DateTime at;
    long offset;
    bool span, local;  // ParseSpanTime, ParseLocalTime
  } cases[] = {
      {"2026-12-07 10:04:00", S::kOk, {2026, 12, 7, 10, 4, 0}, 0, true, true},
      {"2026-12-07T10:04:00", S::kOk, {2026, 12, 7, 10, 4, 0}, 0, false, true},
      {"2026-12-07 10:04", S::kOk, {2026, 12, 7, 10, 4, 0}, 0, false, false},
      {"2026-12-07", S::kOk, {2026, 12, 7, 0, 0, 0}, 0, false, false},
      {"2026-12-07T10:04:00+01:00", S::kOk, {2026, 12, 7, 10, 4, 0}, 3600, false, false},
      {"2026-12-07T10:04:00-0130", S::kOk, {2026, 12, 7, 10, 4, 0}, -5400, false, false},
      {"2026-12-07T10:04:00+01", S::kOk, {2026, 12, 7, 10, 4, 0}, 3600, false, false},
      {"2026-12-07T10:04:00Z", S::kOk, {2026, 12, 7, 10, 4, 0}, 0, false, false},
      {"100-01-01 00:00:00", S::kOk, {100, 1, 1, 0, 0, 0}, 0, true, true},
      {"2026-02-30 10:04:00", S::kInvalid, {2026, 2, 30, 10, 4, 0}, 0, false, false},
      {"2026-12-07 24:00:00", S::kInvalid, {2026, 12, 7, 24, 0, 0}, 0, false, false},
      {"10000-01-01 00:00:00", S::kYearOutside, {10000, 12, 30, 0, 0, 0}, 0, false, false},
      {"-5-01-01 00:00:00", S::kYearOutside, {-5, 12, 30, 0, 0, 0}, 0, false, false},
      {"2026-12-07T10:04:00+24:00", S::kNotATime, {}, 0, false, false},
      {"2026-12-07 10:04:00 ", S::kNotATime, {}, 0, false, false},
      {"2026-12-07x", S::kNotATime, {}, 0, false, false},
      {"07.12.2026 10:04:00", S::kNotATime, {}, 0, false, false},
      {"", S::kNotATime, {}, 0, false, false},
  };
  for (const auto& c : cases) {
    const TimeText t = ReadTypedTime(c.text);
    EXPECT_EQ(t.status, c.status) << c.text;
    if (t.status != S::kNotATime) {
      EXPECT_EQ(t.at.year, c.at.year) << c.text;
    }
    if (t.status == S::kOk || t.status == S::kInvalid) {
      EXPECT_EQ(t.at, c.at) << c.text;
      EXPECT_EQ(t.offset, c.offset) << c.text;
    }
    double ole = 0, unix_seconds = 0;
    EXPECT_EQ(ParseSpanTime(c.text, &ole), c.span) << c.text;
    EXPECT_EQ(ParseLocalTime(c.text, &unix_seconds), c.local) << c.text;
  }
}

struct StoreFixture : ::testing::Test {
  TempFolder folder;
  std::vector<std::string> errors;
  RecordStore store{[this](const std::string& e) { errors.push_back(e); }};
  std::string db() const { return (folder.path / "Norvo.mdb").string(); }

  static double At(int hour, int minute, int second = 0) { return ToOleDate({2026, 12, 7, hour, minute, second}); }

  void Fill(const std::vector<LogRecord>& records) {
    ASSERT_EQ(store.Connect(db()), 0);
    ASSERT_EQ(store.OpenRecordTable("SELECT * FROM Records"), 0);
    ASSERT_EQ(store.DeleteAllRecords(), 0);
    LogRecord r{};
    store.SetRecord(&r);
    for (const LogRecord& each : records) {
      r = each;
      ASSERT_EQ(store.AppendRecord(), 0);
    }
    ASSERT_TRUE(store.CloseRecordTable());
  }

  std::vector<std::pair<double, float>> Query(const std::string& from, const std::string& to, const std::string& column) {
    EXPECT_EQ(store.Connect(db()), 0);
    EXPECT_EQ(store.QueryRecords(from, to, column), 0);
    std::vector<std::pair<double, float>> rows;
    double t;
    float v;
    while (store.NextRow(&t, &v)) rows.emplace_back(t, v);
    return rows;
  }

  int Count(const std::string& from, const std::string& to, const std::string& column) {
    EXPECT_EQ(store.Connect(db()), 0);
    EXPECT_EQ(store.CountRecords(from, to, column), 0);
    return store.Count();
  }
};

TEST_F(StoreFixture, SpanExcludesStartIncludesEndAndSkipsInvalidPerColumn) {
  Fill({
      {At(10, 2), 22.0f, 45, 65535.0f, 23.0f},
      {At(10, 0), 20.0f, 40, 10.0f, 65535.0f},  // appended out of order
      {At(10, 1), 65535.0f, 65535, 11.0f, 22.0f},
      {At(10, 3), 23.0f, 46, 12.0f, 24.0f},
  });
  const std::string start = "2026-12-07 10:00:00", end = "2026-12-07 10:02:00";
  EXPECT_EQ(Count(start, end, "Temperature"), 1);  // 10:00 excluded, 10:01 invalid, 10:02 included
  EXPECT_EQ(Count(start, end, "DewPoint"), 1);     // "DewPoint" finds "Dewpoint"; 10:02 invalid
  EXPECT_EQ(Count(start, end, "Heatindex"), 2);
  EXPECT_EQ(Count(start, end, "humidity"), 1);
  EXPECT_EQ(Count("2026-12-07 9:00:00", "2026-12-07 11:00:00", "Temperature"), 3);
  EXPECT_EQ(Count(start, start, "Temperature"), 0);
  EXPECT_EQ(Count("2026-12-06 9:00:00", "2026-12-06 23:00:00", "Temperature"), 0);

  const auto rows = Query("2026-12-07 9:00:00", "2026-12-07 11:00:00", "Humidity");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_DOUBLE_EQ(rows[0].first, At(10, 0));
  EXPECT_EQ(rows[0].second, 40.0f);  // stored as an integer, read as a float
  EXPECT_DOUBLE_EQ(rows[1].first, At(10, 2));
  EXPECT_DOUBLE_EQ(rows[2].first, At(10, 3));
  EXPECT_TRUE(errors.empty());
}

TEST_F(StoreFixture, OnlyKnownColumnsAndWellFormedTimesReachTheSql) {
  Fill({{At(10, 0), 20.0f, 40, 10.0f, 10.0f}});
  ASSERT_EQ(store.Connect(db()), 0);
  EXPECT_EQ(store.CountRecords("2026-12-07 9:00:00", "2026-12-07 11:00:00", "Time; DELETE FROM Records"), 1);
  EXPECT_EQ(store.QueryRecords("2026-12-07 9:00:00", "x", "Temperature"), 1);
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(Count("2026-12-07 9:00:00", "2026-12-07 11:00:00", "Temperature"), 1);
}

TEST_F(StoreFixture, AnImportThatDoesNotFinishLeavesThePreviousContents) {
  Fill({{At(10, 0), 20.0f, 40, 10.0f, 10.0f}, {At(10, 1), 21.0f, 41, 11.0f, 11.0f}});
  {
    RecordStore crashed;
    ASSERT_EQ(crashed.Connect(db()), 0);
    ASSERT_EQ(crashed.OpenRecordTable("SELECT * FROM Records"), 0);
    ASSERT_EQ(crashed.DeleteAllRecords(), 0);
    LogRecord r{At(11, 0), 1.0f, 1, 1.0f, 1.0f};
    crashed.SetRecord(&r);
    ASSERT_EQ(crashed.AppendRecord(), 0);
    // Gone without CloseRecordTable, as in a crash.
  }
  EXPECT_EQ(Count("2026-12-07 0:00:00", "2026-12-07 23:00:00", "Temperature"), 2);

  // Deleting everything on an empty store succeeds; two connects leave one connection.
  Fill({});
  ASSERT_EQ(store.Connect(db()), 0);
  ASSERT_EQ(store.Connect(db()), 0);
  EXPECT_EQ(store.DeleteAllRecords(), 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(StoreFixture, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
  const std::string garbage = "This is my thesis, not a database.\n";
  std::ofstream(db(), std::ios::binary) << garbage;
  EXPECT_EQ(store.Connect(db()), -1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("not a database"), std::string::npos);
  EXPECT_EQ(store.DeleteAllRecords(), 1);
  EXPECT_EQ(store.AppendRecord(), 2);
  std::ifstream in(db(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);

  // An empty file is a new database.
  std::ofstream(db(), std::ios::binary | std::ios::trunc).close();
  EXPECT_EQ(store.Connect(db()), 0);
  // A folder that cannot hold it.
  EXPECT_EQ(store.Connect((folder.path / "missing" / "Norvo.mdb").string()), -1);
}

// Only a regular file is taken for the store: a FIFO is not waited on, a
// symlink not followed, each reported at once.
TEST_F(StoreFixture, OnlyARegularFileIsOpened) {
  const fs::path outside = folder.path / "elsewhere.db";
  const struct {
    const char* what;
    std::function<void()> make;
    const char* message;
  } cases[] = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(db().c_str(), 0600), 0); }, "not a regular file"},
      {"symlink", [&] { fs::create_symlink(outside, db()); }, "symbolic link"},
      {"directory", [&] { fs::create_directory(db()); }, "not a regular file"},
  };
  for (const auto& c : cases) {
    fs::remove_all(db());
    errors.clear();
    c.make();
    EXPECT_EQ(store.Connect(db()), -1) << c.what;
    ASSERT_EQ(errors.size(), 1u) << c.what;
    EXPECT_NE(errors[0].find(c.message), std::string::npos) << errors[0];
  }
  EXPECT_FALSE(fs::exists(outside));
  fs::remove_all(db());
}

// The chart's points through the summary of runs and by the pass over every
// row are the same, to the bit, on rows with absent readings, holes in time,
// equal times and rows appended out of order; and a summary that no longer
// describes the table (an older program wrote to it) is not used.
TEST_F(StoreFixture, SummaryOfRunsDrawsWhatThePassOverEveryRowDraws) {
  const double t0 = At(0, 0), second = 1.0 / 86400;
  std::uint32_t seed = 7;
  const auto noise = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  int holes = 0;
  struct Data {
    const char* name;
    std::function<void(int i, LogRecord* r)> shape;  // from a steady 30 s log of 6000 rows
  } datas[] = {
      {"steady", [](int, LogRecord*) {}},
      {"absent readings",
       [](int i, LogRecord* r) {
         if (i % 97 == 0 || (i > 3000 && i < 3300)) r->Temperature = 65535;
         if (i % 131 == 5) r->Humidity = 65535;
       }},
      // Holes at the first row of a run, at its second, and inside one.
      {"holes in time",
       [&](int i, LogRecord* r) {
         holes += i % 640 == 0 || i % 640 == 321 || i % 1280 == 65;
         r->Time += holes * 180 * second + (noise() % 3) * second;
       }},
      // 70 s, then 30 s inside a run; the next run opens with 100 s: a hole after 30 s, none after 70 s.
      {"the interval changes",
       [&](int i, LogRecord* r) {
         r->Time = t0 + (i < 1010 ? i * 70 : 1010 * 70 + (i - 1010) * 30 + (i >= 1024) * 70) * second;
       }},
      {"equal times", [&](int i, LogRecord* r) { r->Time = t0 + (i / 5) * 30 * second; }},
      {"out of order",
       [&](int i, LogRecord* r) {
         if (i % 1000 == 999) r->Time -= 600 * 30 * second;
       }},
      {"a column absent throughout",
       [](int, LogRecord* r) {
         r->Dewpoint = 65535;
         r->Heatindex = 65535;
       }},
      {"times that are not numbers", [](int i, LogRecord* r) {
         if (i % 500 == 7) r->Time = std::nan("");
       }},
  };
  const std::vector<std::vector<std::string>> columns = {{"Temperature", "Humidity", "DewPoint"},
                                                         {"Heatindex"}};
  // Equal to the bit; a NaN (a break) equals a NaN.
  const auto same = [](const SeriesLine& a, const SeriesLine& b) {
    bool equal = a.readings == b.readings && a.dates == b.dates && a.values.size() == b.values.size();
    for (std::size_t i = 0; equal && i < a.values.size(); ++i) {
      equal = a.values[i] == b.values[i] || (std::isnan(a.values[i]) && std::isnan(b.values[i]));
    }
    return equal;
  };
  const double spans[][2] = {{t0 - 1, t0 + 1},
                             {t0 + 900 * second, t0 + 50000 * second},
                             {t0 + 30 * second, t0 + 3000 * 30 * second}};
  for (const Data& data : datas) {
    SCOPED_TRACE(data.name);
    std::vector<LogRecord> records;
    for (int i = 0; i < 6000; ++i) {
      LogRecord r{t0 + i * 30 * second, 20.0f + static_cast<float>(noise() % 40) / 8,
                  static_cast<std::int32_t>(40 + noise() % 9), static_cast<float>(noise() % 5), 21.0f};
      data.shape(i, &r);
      records.push_back(r);
    }
    Fill(records);
    store.Close();
    // The summary the import wrote on the way is the one a pass over the
    // stored table writes.
    const auto dump = [this](sqlite3* raw) {
      std::vector<std::string> rows;
      for (const char* sql : {"SELECT * FROM RecordRuns ORDER BY rowid", "SELECT * FROM RecordRunsInfo"}) {
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(raw, sql, -1, &s, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(s) == SQLITE_ROW) {
          std::string row;
          for (int c = 0; c < sqlite3_column_count(s); ++c) {
            const auto* text = sqlite3_column_text(s, c);
            row.append(text ? reinterpret_cast<const char*>(text) : "NULL").append("|");
          }
          rows.push_back(row);
        }
        sqlite3_finalize(s);
      }
      return rows;
    };
    {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open(db().c_str(), &raw), SQLITE_OK);
      const std::vector<std::string> written = dump(raw);
      ASSERT_EQ(sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
      EXPECT_EQ(RebuildRecordRuns(raw), "");
      EXPECT_EQ(written, dump(raw));
      EXPECT_GT(written.size(), 6000u / (kRunRows + 5));  // a run holds up to five more rows of equal time
      sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(raw);
    }
    for (const auto& span : spans) {
      for (const int width : {1, 7, 30, 45, 90, 800, 20000}) {
        for (const auto& names : columns) {
          SCOPED_TRACE(::testing::Message() << span[0] - t0 << ".." << span[1] - t0 << " width " << width);
          const SeriesRequest request{db(), span[0], span[1], names, width};
          const SeriesResult runs = QuerySeries(request), rows = QuerySeriesRows(request);
          ASSERT_TRUE(runs.ok() && rows.ok()) << runs.error << rows.error;
          for (std::size_t s = 0; s < names.size(); ++s) EXPECT_TRUE(same(runs.lines[s], rows.lines[s])) << s;
        }
      }
    }
  }
  // Rows written past the summary, and the summary gone: the pass over every row.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(raw, "INSERT INTO Records VALUES (46363.99, 99, 99, 99, 99)", nullptr, nullptr, nullptr),
      SQLITE_OK);
  const SeriesRequest all{db(), t0 - 1, t0 + 1, {"Temperature"}, 5};
  EXPECT_TRUE(same(QuerySeries(all).lines[0], QuerySeriesRows(all).lines[0]));
  const std::vector<double> values = QuerySeries(all).lines[0].values;
  EXPECT_EQ(*std::max_element(values.begin(), values.end()), 99.0);
  ASSERT_EQ(sqlite3_exec(raw, "DROP TABLE RecordRuns", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_TRUE(same(QuerySeries(all).lines[0], QuerySeriesRows(all).lines[0]));
  EXPECT_TRUE(errors.empty());
}

// A summary serves whatever the length of its runs, so one an earlier build
// wrote with longer runs keeps the Graph fast. A highest reading changed in
// the summary alone shows whether the points came from it.
TEST_F(StoreFixture, ASummaryServesWhateverTheLengthOfItsRuns) {
  const double t0 = At(0, 0);
  std::vector<LogRecord> records;
  for (int i = 0; i < 2000; ++i) records.push_back({t0 + i * 30 / 86400.0, 20.0f, 40, 10.0f, 21.0f});
  Fill(records);
  store.Close();
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "UPDATE RecordRuns SET TemperatureHigh = 99 WHERE rowid = 10", nullptr, nullptr, nullptr),
            SQLITE_OK);
  const SeriesRequest request{db(), t0 - 1, t0 + 1, {"Temperature"}, 5};  // 400 rows a column: whole runs
  const struct {
    int run_rows;
    double highest;
  } cases[] = {{kRunRows, 99}, {64, 99}, {0, 20}};
  for (const auto& c : cases) {
    const std::string sql = "UPDATE RecordRunsInfo SET RunRows = " + std::to_string(c.run_rows);
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const std::vector<double> values = QuerySeries(request).lines[0].values;
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(*std::max_element(values.begin(), values.end()), c.highest) << c.run_rows;
  }
  sqlite3_close(raw);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace norvo
