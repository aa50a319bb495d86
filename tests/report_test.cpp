// norvoctl report against a record store of known polls: the figures beside
// SQL over the same rows, the PDF's text read back with pdftotext and its
// pages rendered with pdftoppm, CSV and JSON, English and German.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "domain/AlarmRows.h"
#include "settings/DataFolder.h"
#include "store/AlarmLog.h"
#include "store/LiveStore.h"
#include "support/TestSupport.h"

namespace norvo {
namespace {

using testing::FindProgram;
using testing::RunProgram;
using testing::TempFolder;

double Sql(const std::filesystem::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  double v = NAN;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    v = sqlite3_column_double(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return v;
}

constexpr double kStart = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr const char* kFrom = "2026-12-08T00:00:00Z";
constexpr const char* kTo = "2026-12-09T00:00:00Z";

// A day of polls every 60 s of two units; CH1 of UNIT-A swings 20..30 °C
// across its 25.0 °C high limit, a two-hour gap in the afternoon, CH2 without
// humidity; the limits as the holder recorded them.
struct Store {
  TempFolder folder{"norvo-report"};
  std::filesystem::path db = folder.path / kDatabaseFile;
  Store() {
    LiveStore live;
    std::string error;
    EXPECT_TRUE(live.Open(db.string(), &error)) << error;
    std::vector<LivePoll> polls;
    for (int i = 1; i <= 1440; ++i) {
      if (i > 900 && i <= 1020) continue;  // away
      for (const char* unit : {"UNIT-A", "UNIT-B"}) {
        LivePoll p;
        p.time = kStart + 60.0 * i;
        p.unit = unit;
        const double t = std::round((25 + 5 * std::sin(i / 100.0)) * 10) / 10;
        p.channels[0] = {t, 40 + i % 20, std::nullopt};
        p.channels[1] = {std::round(t * 5) / 10, std::nullopt, std::nullopt};
        polls.push_back(p);
      }
    }
    EXPECT_TRUE(live.Append(polls, &error)) << error;
    // A poll written late, out of the table's time order (read again by the index).
    LivePoll late;
    late.time = kStart + 60.0 * 950;
    late.unit = "UNIT-B";
    late.channels[1] = {12.5, std::nullopt, std::nullopt};
    EXPECT_TRUE(live.Append(std::span<const LivePoll>(&late, 1), &error)) << error;
    AlarmLog log;
    EXPECT_TRUE(log.Open(db.string(), &error)) << error;
    AlarmLimits limits;
    limits.At(AlarmQuantity::kTemperature, AlarmBound::kHigh, 1) = 250;
    limits.At(AlarmQuantity::kHumidity, AlarmBound::kLow, 1) = 45;
    EXPECT_TRUE(log.WriteFacts({"UNIT-A", kStart, "{QT7100K@}", 10, EncodeLimits(limits)}, &error)) << error;
  }
  testing::Result Report(std::vector<std::string> extra, const char* lang = "English") {
    std::vector<std::string> argv = {NORVOCTL, "--data-dir", folder.path.string(), "--lang", lang, "report",
                                     "--from", kFrom, "--to", kTo};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProgram(argv, {.env = {"TZ=UTC"}});
  }
};

TEST(ReportTest, FiguresAgreeWithSqlOverTheSameRows) {
  Store store;
  const std::string out = (store.folder.path / "r.json").string();
  const testing::Result r = store.Report({"--unit", "UNIT-A", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(testing::ReadFile(out));
  ASSERT_EQ(j["units"].size(), 1u);
  const nlohmann::json& u = j["units"][0];
  EXPECT_EQ(u["identification"], "{QT7100K@}");
  EXPECT_EQ(u["interval_minutes"], 10);
  EXPECT_EQ(u["poll_interval_seconds"], 60.0);
  const nlohmann::json& t = u["channels"][0]["temperature"];
  const std::string where = " FROM LiveReadings WHERE Unit = 'UNIT-A' AND Channel = 1";
  EXPECT_EQ(t["count"], Sql(store.db, "SELECT count(Temperature)" + where));
  EXPECT_DOUBLE_EQ(t["min"].get<double>(), Sql(store.db, "SELECT min(Temperature)" + where));
  EXPECT_DOUBLE_EQ(t["max"].get<double>(), Sql(store.db, "SELECT max(Temperature)" + where));
  EXPECT_NEAR(t["mean"].get<double>(), Sql(store.db, "SELECT avg(Temperature)" + where), 0.0005);
  // Time above: each reading beyond the limit until the next, gaps over three intervals left out.
  const double above = Sql(store.db,
                           "SELECT sum(CASE WHEN Temperature > 25.0 AND n - Time <= 180 THEN n - Time ELSE 0 END) FROM "
                           "(SELECT Time, Temperature, lead(Time) OVER (ORDER BY Time) AS n" + where + ")");
  EXPECT_DOUBLE_EQ(t["seconds_above"].get<double>(), above);
  EXPECT_FALSE(t.contains("seconds_below")) << "no low limit";
  // MKT over the same rows, by the formula.
  double sum = 0, n = 0;
  for (int i = 1; i <= 1440; ++i) {
    if (i > 900 && i <= 1020) continue;
    sum += std::exp(-10000.0 / (std::round((25 + 5 * std::sin(i / 100.0)) * 10) / 10 + 273.15));
    ++n;
  }
  EXPECT_NEAR(t["mkt"].get<double>(), 10000.0 / -std::log(sum / n) - 273.15, 0.001);
  // Excursions start at the first reading above 25.0 and end at the first at or below 24.8.
  EXPECT_EQ(t["excursions"].size(), 3u) << t["excursions"].dump();
  const nlohmann::json& h = u["channels"][0]["humidity"];
  EXPECT_DOUBLE_EQ(h["seconds_below"].get<double>(),
                   Sql(store.db, "SELECT sum(CASE WHEN Humidity < 45 AND n - Time <= 180 THEN n - Time ELSE 0 END) FROM "
                                 "(SELECT Time, Humidity, lead(Time) OVER (ORDER BY Time) AS n" + where + ")"));
  EXPECT_EQ(u["channels"][1]["humidity"]["count"], 0);

  // --channel and --mkt-activation; every unit without --unit.
  const testing::Result some = store.Report({"--channel", "2", "--mkt-activation", "5000", "-o", out});
  ASSERT_EQ(some.status, 0) << some.err;
  const nlohmann::json k = nlohmann::json::parse(testing::ReadFile(out));
  EXPECT_EQ(k["units"].size(), 2u);
  EXPECT_EQ(k["units"][1]["channels"].size(), 1u);
  EXPECT_EQ(k["units"][1]["channels"][0]["channel"], 2);
  EXPECT_EQ(k["units"][1]["channels"][0]["temperature"]["count"],
            Sql(store.db, "SELECT count(Temperature) FROM LiveReadings WHERE Unit = 'UNIT-B' AND Channel = 2"));
  EXPECT_EQ(k["units"][0]["channels"][0]["temperature"]["count"], 1320);
  EXPECT_EQ(k["mkt_activation_kelvin"], 5000.0);

  const std::string csv = (store.folder.path / "r.csv").string();
  ASSERT_EQ(store.Report({"--unit", "UNIT-A", "-o", csv}).status, 0);
  EXPECT_NE(testing::ReadFile(csv).find("\nUNIT-A,{QT7100K@},1,temperature,1320,"), std::string::npos)
      << testing::ReadFile(csv);
  EXPECT_EQ(store.Report({"-o", (store.folder.path / "r.txt").string()}).status, 3);
  EXPECT_EQ(store.Report({"--channel", "9", "-o", out}).status, 3);
}

// The older layout, one row per channel in the order the rows were written:
// the late poll stands after later ones, so the report reads the rows again
// in time order. Its figures are those of the same polls in the compact layout.
TEST(ReportTest, AnOlderTableGivesTheFiguresOfTheCompactLayout) {
  Store compact, older;
  const std::string late = "Unit = 'UNIT-B' AND Time = " + std::to_string(static_cast<long long>(kStart) + 60 * 950);
  const std::string columns = "SELECT Time, Unit, Channel, Temperature, Humidity, DewPoint FROM LiveReadings WHERE ";
  const std::string sql =
      "CREATE TABLE Older (Time REAL NOT NULL, Unit TEXT NOT NULL, Channel INTEGER NOT NULL, Temperature REAL, "
      "Humidity INTEGER, DewPoint REAL);"
      "INSERT INTO Older " + columns + "NOT (" + late + ") ORDER BY Time, Unit, Channel;"
      "INSERT INTO Older " + columns + late + " ORDER BY Channel;"
      "DROP VIEW LiveReadings; DROP TABLE LivePolls; ALTER TABLE Older RENAME TO LiveReadings;"
      "CREATE INDEX LiveReadingsByTime ON LiveReadings(Time);";
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(older.db.c_str(), &h), SQLITE_OK);
  const int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr);
  EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(h);
  sqlite3_close(h);
  ASSERT_EQ(rc, SQLITE_OK);
  ASSERT_EQ(Sql(older.db, "SELECT count(*) FROM LiveReadings"), 8 * (2 * 1320 + 1));
  nlohmann::json units[2];
  for (Store* store : {&compact, &older}) {
    const std::string out = (store->folder.path / "r.json").string();
    const testing::Result r = store->Report({"-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    units[store == &older] = nlohmann::json::parse(testing::ReadFile(out))["units"];
  }
  ASSERT_EQ(units[0].size(), 2u);
  EXPECT_EQ(units[0], units[1]);
}

TEST(ReportTest, PdfOnA4WithPageNumbersInEnglishAndGerman) {
  const std::string pdftotext = FindProgram("pdftotext"), pdftoppm = FindProgram("pdftoppm");
  ASSERT_FALSE(pdftotext.empty() || pdftoppm.empty()) << "poppler-utils is missing: bash tools/deps.sh installs it";
  Store store;
  struct Case {
    const char* lang;
    std::vector<std::string> texts;
  } cases[] = {
      {"English", {"Temperature and humidity report", "UNIT-A", "{QT7100K@}", "Page 1 of 3", "Page 3 of 3", "Made 20",
                   "Time above", "MKT", "\u0394H/R = 10000 K", "Excursions", "10 min on the unit; polls recorded every 60 s"}},
      {"Deutsch", {"Bericht Temperatur und Luftfeuchtigkeit", "Seite 1 von 3", "Erstellt 20", "Zeit über",
                   "Abweichungen", "Aufzeichnungsintervall"}},
  };
  for (const Case& c : cases) {
    const std::filesystem::path pdf = store.folder.path / (std::string("report-") + c.lang + ".pdf");
    const testing::Result r = store.Report({"--unit", "UNIT-A", "-o", pdf.string()}, c.lang);
    ASSERT_EQ(r.status, 0) << r.err;
    const testing::Result text = RunProgram({pdftotext, "-layout", pdf.string(), "-"});
    for (const std::string& t : c.texts) EXPECT_NE(text.out.find(t), std::string::npos) << t << "\n" << text.out;
    const testing::Result info = RunProgram({FindProgram("pdfinfo"), pdf.string()});
    EXPECT_NE(info.out.find("(A4)"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Pages:           3\n"), std::string::npos) << info.out;
    // Pages as pictures, beside the screenshots, to be looked at.
    const std::string png = std::string(NORVO_SCREENSHOT_DIR) + "/report-" + c.lang;
    std::filesystem::create_directories(NORVO_SCREENSHOT_DIR);
    EXPECT_EQ(RunProgram({pdftoppm, "-png", "-r", "60", pdf.string(), png}).status, 0);
  }
}

}  // namespace
}  // namespace norvo
