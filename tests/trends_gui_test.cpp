// Recording by the holder of the unit only, the switch in Main.ini, and the
// Trends window over a recorded history, rendered in English and German.

#include <gtest/gtest.h>
#include <qcustomplot.h>
#include <sqlite3.h>

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <optional>

#include "QtTestSupport.h"
#include "app/Recording.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "session/SharedUnit.h"
#include "session/UnitLock.h"
#include "settings/DataFolder.h"
#include "store/AlarmLog.h"
#include "store/LiveStore.h"
#include "support/TestSupport.h"
#include "trends/TrendsWindow.h"

namespace norvo::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::int64_t Count(const fs::path& db, const char* sql) {
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    return -1;
  }
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(h, sql, -1, &s, nullptr);
  const std::int64_t n = s && sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  sqlite3_close(h);
  return n;
}

// A console window that records through recorder into folder's store, as
// the application sets it up.
CMyNorvoDlg::Options RecordingOptions(ConsoleRecorder& recorder, const fs::path& folder) {
  CMyNorvoDlg::Options o;
  o.data_folder = folder;
  o.poll_second = 5ms;
  o.record = [&recorder](const PollSnapshot& snapshot) { recorder.Record(snapshot); };
  o.recording = ReadRecordingSetting(folder);
  o.recording_changed = [folder](bool on) { WriteRecordingSetting(folder, on); };
  o.recording_trouble = [&recorder] { return recorder.Trouble(); };
  o.open_trends = [] {};
  return o;
}

// Two consoles on one unit: the first holds it and records; the second is
// attached to the first and records nothing, though it sees every poll.
TEST(Recording, OnlyTheHolderRecordsAndTheSwitchIsRemembered) {
  LoadUIStrings(kLanguageGerman);
  SimRig rig(sim::SimUnit::Options{}, 0.2);
  QTemporaryDir locks, holder_folder, attached_folder;
  const auto make = [&](const QTemporaryDir& folder) {
    UnitSession::Options options = UnitSession::SessionOptions(0.2);
    options.lock_folder = locks.path().toStdString();
    return std::make_unique<SharedUnit>(rig.transport, folder.path().toStdString(), options);
  };
  std::unique_ptr<SharedUnit> holder = make(holder_folder), attached = make(attached_folder);
  const fs::path holder_dir = holder_folder.path().toStdString(), attached_dir = attached_folder.path().toStdString();
  {
    ConsoleRecorder holder_recorder(rig.transport, [&] { return holder->DevicePath(); }, holder_dir);
    ConsoleRecorder attached_recorder(rig.transport, [&] { return attached->DevicePath(); }, attached_dir);
    const auto window = [&](SharedUnit& unit, ConsoleRecorder& recorder, const fs::path& folder) {
      return std::make_unique<CMyNorvoDlg>(unit, nullptr, RecordingOptions(recorder, folder));
    };
    auto first = window(*holder, holder_recorder, holder_dir);
    auto second = window(*attached, attached_recorder, attached_dir);
    ASSERT_EQ(holder->Via(), "");
    ASSERT_NE(attached->Via(), "");
    int seen = 0;
    QObject::connect(second.get(), &CMyNorvoDlg::Polled, [&] { seen += second->LastPoll().live_read; });
    ASSERT_TRUE(WaitFor([&] { return seen >= 3 && holder_recorder.Written() >= 3; }, 20000))
        << seen << " " << holder_recorder.Written() << " " << holder_recorder.Note();
    EXPECT_EQ(attached_recorder.Written(), 0u);
    // The name serve gives the unit: its serial number.
    EXPECT_EQ(holder_recorder.LastName(), "SIM00001");

    // Off: remembered in a section of its own, the language left alone.
    WriteFile(holder_dir / kSettingsFile, "[Language]\nLanguage=Deutsch\n");
    QAction* record = first->findChild<QAction*>("record");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->text(), "Messwerte aufzeichnen");
    EXPECT_EQ(first->findChild<QAction*>("trends")->text(), "Verlauf");
    QMenu* menu = first->menuBar()->actions().first()->menu();
    menu->adjustSize();
    SaveScreenshot(menu, "menu_recording_de");
    EXPECT_TRUE(record->isChecked());
    record->trigger();
    EXPECT_FALSE(first->Recording());
    EXPECT_FALSE(ReadRecordingSetting(holder_dir));
    EXPECT_EQ(ReadLanguageSetting(holder_dir), "Deutsch");
    holder->Stop();
    attached->Stop();
    first.reset();
    second.reset();
  }
  // The polls are in the store (polls of one second as one: the test polls
  // faster than a second); the attached console's store holds none.
  EXPECT_GE(Count(holder_dir / kDatabaseFile, "SELECT count(*) FROM LivePolls"), 1);
  EXPECT_EQ(Count(holder_dir / kDatabaseFile, "SELECT count(*) FROM LiveUnits WHERE Name = 'SIM00001'"), 1);
  EXPECT_EQ(Count(attached_dir / kDatabaseFile, "SELECT count(*) FROM LivePolls"), 0);
  LoadUIStrings(kLanguageEnglish);
}

// A record store that is not a database: the status bar says the polls are
// not recorded, and why; the file stays as it was.
TEST(Recording, AStoreThatCannotBeWrittenIsReportedInTheWindow) {
  SimRig rig(sim::SimUnit::Options{}, 0.2);
  QTemporaryDir locks, folder;
  const fs::path dir = folder.path().toStdString();
  const std::string foreign = "not a database, and to be kept\n";
  WriteFile(dir / kDatabaseFile, foreign);
  UnitSession::Options options = UnitSession::SessionOptions(0.2);
  options.lock_folder = locks.path().toStdString();
  SharedUnit unit(rig.transport, dir, options);
  {
    ConsoleRecorder recorder(rig.transport, [&] { return unit.DevicePath(); }, dir);
    CMyNorvoDlg window(unit, nullptr, RecordingOptions(recorder, dir));
    ASSERT_TRUE(WaitFor([&] { return window.NoteText().contains(" (not recorded: "); }, 20000))
        << window.NoteText().toStdString();
    EXPECT_TRUE(window.NoteText().startsWith("Last reading ")) << window.NoteText().toStdString();
    EXPECT_TRUE(window.NoteText().contains("not a database")) << window.NoteText().toStdString();
    EXPECT_EQ(recorder.Written(), 0u);
    unit.Stop();
  }
  EXPECT_EQ(ReadFile(dir / kDatabaseFile), foreign);
}

// A console attached to a real serve process: serve holds the unit and
// records every poll; the console sees them through serve and records none,
// though its switch is on.
TEST(Recording, AConsoleAttachedToServeRecordsNothing) {
  TempFolder folder;
  const fs::path runtime = folder.path / "run", serve_data = folder.path / "serve", console_data = folder.path / "console";
  fs::create_directories(runtime);
  fs::create_directories(console_data);
  ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
  auto serve = Spawn({NORVOCTL, "--data-dir", serve_data.string(), "serve", "--simulate", "1", "--period", "0.2",
                       "--no-metrics"},
                      {.env = {"NORVO_TIME_SCALE=0.01", "NORVO_RUNTIME_DIR=" + runtime.string()},
                       .err = folder.path / "err"});
  const fs::path socket = runtime / (UnitLockName("sim:unit1") + ".sock");
  ASSERT_TRUE(WaitUntil([&] { return fs::is_socket(socket); })) << ReadFile(folder.path / "err");

  SimRig rig(sim::SimUnit::Options{}, 0.01, "sim:unit1");  // the same interface, never opened here
  UnitSession::Options options = UnitSession::SessionOptions(0.01);
  options.lock_folder = runtime;
  {
    SharedUnit unit(rig.transport, console_data, options);
    ConsoleRecorder recorder(rig.transport, [&] { return unit.DevicePath(); }, console_data);
    CMyNorvoDlg window(unit, nullptr, RecordingOptions(recorder, console_data));
    int seen = 0;
    QObject::connect(&window, &CMyNorvoDlg::Polled, [&] { seen += window.LastPoll().live_read; });
    ASSERT_TRUE(WaitFor([&] { return seen >= 3; }, 20000)) << seen << " " << ReadFile(folder.path / "err");
    EXPECT_TRUE(window.Recording());
    EXPECT_NE(unit.Via(), "");
    EXPECT_EQ(recorder.Written(), 0u) << recorder.Note();
    unit.Stop();
  }
  ::kill(serve.pid, SIGTERM);
  const auto ended = Finish(serve);
  EXPECT_EQ(ended.status, 0) << ReadFile(folder.path / "err");
  EXPECT_GE(Count(serve_data / kDatabaseFile, "SELECT count(*) FROM LivePolls"), 3);
  EXPECT_LE(Count(console_data / kDatabaseFile, "SELECT count(*) FROM LivePolls"), 0);
}

// Two days of a unit at 20 s with an hour unplugged and absent readings, in
// the window: points at most two per pixel column, the gap as a break, the
// figures per channel, the CSV with every poll, in both languages.
TEST(TrendsWindow, DrawsTheRecordedHistoryWithGapsFiguresAndSaves) {
  TempFolder folder;
  const fs::path db = folder.path / kDatabaseFile;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::vector<LivePoll> polls;
  for (std::int64_t t = now - 2 * 86400; t < now; t += 20) {
    if (t > now - 5 * 3600 && t < now - 4 * 3600) continue;  // unplugged
    LivePoll p;
    p.unit = "NV0001";
    p.time = static_cast<double>(t);
    const double phase = static_cast<double>(t % 86400) / 86400.0 * 6.283;
    for (int k = 0; k < 3; ++k) {
      LiveChannel& c = p.channels[static_cast<std::size_t>(k)];
      if (!(k == 2 && t % 3600 < 600)) c.temperature = std::round((20 + 4 * k + 3 * std::sin(phase + k)) * 10) / 10;
      c.humidity = 40 + k * 10 + static_cast<int>(10 * std::cos(phase));
    }
    polls.push_back(p);
  }
  {
    LiveStore store;
    std::string error;
    ASSERT_TRUE(store.Open(db.string(), &error)) << error;
    ASSERT_TRUE(store.Append(polls, &error)) << error;
    // CH2 was above its limit for 40 minutes three hours ago.
    AlarmLog log;
    ASSERT_TRUE(log.Open(db.string(), &error)) << error;
    AlarmLogRow alarm{"NV0001", 2, "temperature", "high", 26.0, static_cast<double>(now - 3 * 3600),
                      static_cast<double>(now - 3 * 3600 + 2400), 27.0, static_cast<double>(now - 3 * 3600 + 600)};
    ASSERT_TRUE(log.Write(alarm, &error)) << error;
  }
  for (const int language : {kLanguageEnglish, kLanguageGerman}) {
    LoadUIStrings(language);
    TrendsWindow window({db.string(), (folder.path / "absent.mdb").string()});
    int drawn = 0;
    QObject::connect(&window, &TrendsWindow::Drawn, [&] { ++drawn; });
    window.SetUnit("NV0001");
    window.show();
    for (int k = 1; k <= 3; ++k) window.SetChannel(k, true);
    ASSERT_TRUE(WaitFor([&] { return drawn > 0 && !window.Busy(); }, 20000));

    struct Case {
      TrendsWindow::Span span;
      LiveQuantity quantity;
    };
    for (const Case c : {Case{TrendsWindow::k1Hour, LiveQuantity::kTemperature}, Case{TrendsWindow::k24Hours, LiveQuantity::kHumidity},
                         Case{TrendsWindow::kAll, LiveQuantity::kDewPoint}, Case{TrendsWindow::k24Hours, LiveQuantity::kTemperature}}) {
      drawn = 0;
      window.SetQuantity(c.quantity);
      window.SetSpan(c.span);
      ASSERT_TRUE(WaitFor([&] { return drawn > 0 && !window.Busy(); }, 20000));
      const int columns = window.Plot()->axisRect()->width();
      EXPECT_GT(window.Plot()->graph(0)->data()->size(), 0);
      EXPECT_LE(window.Plot()->graph(0)->data()->size(), 2 * columns + 4) << c.span;
      EXPECT_EQ(window.Table()->rowCount(), 3);
      EXPECT_EQ(window.View().channels, (std::vector<int>{1, 2, 3}));
    }
    // 24 h of temperatures: the unplugged hour breaks every line.
    bool gap = false;
    for (auto it = window.Plot()->graph(0)->data()->constBegin(); it != window.Plot()->graph(0)->data()->constEnd(); ++it) {
      gap = gap || std::isnan(it->value);
    }
    EXPECT_TRUE(gap);
    // The alarm is a band over the 24 hours of temperatures, and only there.
    const auto bands = [&] {
      int n = 0;
      for (int i = 0; i < window.Plot()->itemCount(); ++i) n += window.Plot()->item(i)->objectName() == "alarm-band";
      return n;
    };
    EXPECT_EQ(bands(), 1);
    const TrendsView view = window.View();
    EXPECT_NEAR(static_cast<double>(view.to - view.from), 86400.0, 2.0);
    // The figures: CH1 counts every poll of the span that has its temperature.
    std::int64_t in_span = 0;
    for (const LivePoll& p : polls) in_span += p.time >= static_cast<double>(view.from) && p.time < static_cast<double>(view.to);
    EXPECT_EQ(window.Table()->item(0, 6)->text().toLongLong(), in_span);
    EXPECT_LT(window.Table()->item(2, 6)->text().toLongLong(), in_span);

    const QString name = language == kLanguageGerman ? "trends_de" : "trends_en";
    SaveScreenshot(&window, name);
    bool saved = false;
    QObject::connect(&window, &TrendsWindow::Saved, [&](bool ok, const QString&) { saved = ok; });
    const QString csv = QString::fromStdString((folder.path / (name.toStdString() + ".csv")).string());
    ASSERT_TRUE(window.SaveTo(csv));
    ASSERT_TRUE(WaitFor([&] { return saved; }, 20000));
    const std::string text = ReadFile(csv.toStdString());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), in_span + 1);
    EXPECT_EQ(text.rfind("time,CH1,CH2,CH3\n", 0), 0u);
    EXPECT_TRUE(window.SaveTo(QString::fromStdString((folder.path / "chart.png").string())));
    EXPECT_TRUE(window.SaveTo(QString::fromStdString((folder.path / "chart.pdf").string())));
    // Report... over what is in view: the recorded polls of CH1 to CH3.
    std::optional<std::pair<bool, QString>> reported;
    QObject::connect(&window, &TrendsWindow::Reported, [&](bool ok, const QString& m) { reported.emplace(ok, m); });
    const fs::path json = folder.path / (name.toStdString() + "_report.json");
    window.ReportTo(QString::fromStdString(json.string()));
    ASSERT_TRUE(WaitFor([&] { return reported.has_value(); }, 20000));
    EXPECT_TRUE(reported->first) << reported->second.toStdString();
    const std::string report = ReadFile(json);
    EXPECT_NE(report.find("\"NV0001\""), std::string::npos) << report.substr(0, 400);
    EXPECT_NE(report.find("\"count\""), std::string::npos);
    drawn = 0;
    window.SetQuantity(LiveQuantity::kHumidity);
    ASSERT_TRUE(WaitFor([&] { return drawn > 0 && !window.Busy(); }, 20000));
    EXPECT_EQ(bands(), 0);
  }
  LoadUIStrings(kLanguageEnglish);
}

}  // namespace
}  // namespace norvo::testing
