// The main window against the simulated unit: connection state, live values,
// plug and unplug, the Fahrenheit switch, menu commands and screenshots.

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "QtTestSupport.h"
#include "SimConsole.h"
#include "monitor/DeviceWatcher.h"
#include "monitor/MainWindow.h"
#include "monitor/MonitorView.h"
#include "res/Strings.h"
#include "session/SharedUnit.h"
#include "session/UnitLock.h"
#include "ui/UiHelpers.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo {
namespace {

using testing::SaveScreenshot;
using testing::WaitFor;

struct MainWindowFixture : testing::SimConsole {
  MainWindowFixture()
      : SimConsole({.eight_area = true, .pacing = false, .seed = 3, .default_card = true}) {}

  void Start(int language = kLanguageEnglish) {
    Launch(language, 0.01, {}, true);  // a second of the worker is 10 ms
    window->show();
  }

  std::string Texts(int channel) {
    const PanelTexts t = MakePanelTexts(window->View()->Readings(), channel, session->UnitFlag());
    return t.temperature + "|" + t.humidity + "|" + t.dew_point;
  }
};

TEST_F(MainWindowFixture, ConnectsPollsAndShowsEveryChannel) {
  unit.SetDrift(false);
  Start();
  EXPECT_EQ(window->windowTitle(), "Ombrix");
  EXPECT_EQ(window->StatusText(), "Connected");
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_EQ(Texts(0), "Temperature:\r\n 23.5  \u00B0C|Humidity:\r\n 45  %|DewPoint:\r\n 10.9  \u00B0C");
  EXPECT_EQ(Texts(7), "Temperature:\r\n --  \u00B0C|Humidity:\r\n --  %|DewPoint:\r\n --  \u00B0C");
  SaveScreenshot(window.get(), "main_english_celsius");

  // The menu: one pop-up with the six commands in order, found by id.
  QStringList ids;
  for (QAction* a : window->menuBar()->actions().first()->menu()->actions()) ids << a->objectName();
  EXPECT_EQ(ids, (QStringList{"32772", "32773", "32774", "32775", "32776", "32777", "", "quit"}));
  EXPECT_EQ(window->findChild<QAction*>("32775")->text(), "SDCard File");
  EXPECT_EQ(window->findChild<QAction*>("32772")->shortcut(), QKeySequence("Ctrl+1"));
  EXPECT_EQ(window->findChild<QAction*>("quit")->shortcut(), QKeySequence("Ctrl+Q"));

  // Quit closes the window and ends the session: the unit is let go.
  window->findChild<QAction*>("quit")->trigger();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(session->Connected());
  UnitLock next;
  EXPECT_TRUE(next.TryLock(data.path().toStdString() + "/" + UnitLockName("sim:unit")));
}

TEST_F(MainWindowFixture, UnplugShowsDashesAndPlugBringsValuesBack) {
  Start();
  ASSERT_TRUE(WaitForPolls(1));
  unit.Unplug();
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Unconnected"; }));
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(Texts(k), "Temperature:\r\n --  \u00B0C|Humidity:\r\n --  %|DewPoint:\r\n --  \u00B0C") << k;
  }
  SaveScreenshot(window.get(), "main_unplugged");
  // Nothing waits for the unit that went: a read ends at once, unanswered.
  EXPECT_FALSE(session->ReadLive());

  unit.Plug();
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Connected"; }));
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_NE(window->View()->Readings().temperature[0], 65535.0f);
}

TEST_F(MainWindowFixture, UnrelatedDeviceChangesKeepTheUnitConnected) {
  Start();
  ASSERT_TRUE(WaitForPolls(1));
  transport.PlugForeign("sim:keyboard", 0x046D, 0xC31C);
  QApplication::processEvents();
  EXPECT_EQ(window->StatusText(), "Connected");
  unit.ClearReceived();
  transport.UnplugForeign("sim:keyboard");  // a removal while connected re-enumerates
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Connected" && session->Connected(); }));
  ASSERT_TRUE(WaitForPolls(1));

  // Direct calls: arrival while connected and removal while disconnected do nothing.
  unit.Unplug();
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Unconnected"; }));
  window->OnDeviceChange(false);
  EXPECT_FALSE(session->Connected());
}

TEST_F(MainWindowFixture, FahrenheitFromTheSettingsBlockInGerman) {
  Payload settings = unit.SettingsBlock();
  settings[7] = 1;
  unit.SetSettingsBlock(settings);
  unit.SetDrift(false);
  Start(kLanguageGerman);
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_EQ(session->UnitFlag(), 1);
  EXPECT_EQ(window->StatusText(), "Verbunden");
  EXPECT_EQ(Texts(0), "Temperatur:\r\n 74.3  \u00B0F|Luftfeuchtigkeit:\r\n 45  %|Taupunkt:\r\n 51.6  \u00B0F");
  EXPECT_EQ(window->findChild<QAction*>("32772")->text(), "Einstellungen");
  SaveScreenshot(window.get(), "main_german_fahrenheit");

  // Byte 7 back to 0 switches back at the next poll.
  settings[7] = 0;
  unit.SetSettingsBlock(settings);
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_EQ(session->UnitFlag(), 0);
}

TEST_F(MainWindowFixture, StartsUnconnectedWithoutTheUnit) {
  unit.Unplug();
  Start();
  EXPECT_EQ(window->StatusText(), "Unconnected");
  QApplication::processEvents();
  EXPECT_EQ(Texts(0), "Temperature:\r\n --  \u00B0C|Humidity:\r\n --  %|DewPoint:\r\n --  \u00B0C");
  SaveScreenshot(window.get(), "main_all_invalid");
  unit.Plug();
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Connected"; }));
  // The first poll follows within a second (10 ms here) of the arrival.
  ASSERT_TRUE(WaitForPolls(1));
}

TEST_F(MainWindowFixture, MenuCommandHoldsPollingOffWhileItsDialogIsUp) {
  Start();
  ASSERT_TRUE(WaitForPolls(1));
  int polls_during = -1;
  bool busy_during = false;
  window->SetCommandHandler(32772, [&](QWidget*) {
    const int before = session->PollCount();
    busy_during = window->InCommand();
    WaitFor([] { return false; }, 600);  // 60 worker seconds: three polls if it were idle
    polls_during = session->PollCount() - before;
    return 0;
  });
  window->RunCommand(32772);
  ASSERT_TRUE(WaitFor([&] { return !window->InCommand(); }));
  EXPECT_TRUE(busy_during);
  EXPECT_EQ(polls_during, 0);
  // Closed after more than 40 worker seconds: a poll follows within one.
  ASSERT_TRUE(WaitForPolls(1));
}

// The three ways a unit that is there can still not be read, each shown as
// "Unconnected" or "--" with the reason, never as values or "Connected".
TEST_F(MainWindowFixture, HeldUnopenableOrSilentUnitShowsWhyAndNoValues) {
  // Another process holds the unit: its pid in the status bar, and the window
  // takes the unit as soon as that process lets go.
  UnitLock other;
  ASSERT_TRUE(other.TryLock(data.path().toStdString() + "/" + UnitLockName("sim:unit")));
  Start();
  EXPECT_EQ(window->StatusText(), "Unconnected");
  EXPECT_EQ(window->NoteText(), QString("unit in use by pid %1").arg(::getpid()));
  SaveScreenshot(window.get(), "main_unit_in_use");
  other.Release();
  ASSERT_TRUE(WaitFor([&] { return window->StatusText() == "Connected"; }, 5000));
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_TRUE(window->NoteText().startsWith("Last reading ")) << window->NoteText().toStdString();
}

// The logging service holds the unit and does not let this user in: the
// status bar names the service and what to do, in English and German.
TEST(ServiceHoldsTest, StatusBarNamesTheServiceAndWhatToDo) {
  if (::geteuid() != 0) GTEST_SKIP() << "a socket of the service's user needs root";
  QTemporaryDir data;
  const std::string folder = data.path().toStdString();
  testing::ScopedEnv runtime("NORVO_RUNTIME_DIR", folder.c_str());
  testing::ScopedEnv service("NORVO_SERVICE_USER", "nobody");
  testing::SimRig rig({.seed = 3});
  UnitLock held;
  ASSERT_TRUE(held.TryLock(folder + "/" + UnitLockName("sim:unit")));
  // The service's socket: nobody's, and it never lets this process in.
  const std::string socket = folder + "/" + UnitLockName("sim:unit") + ".sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::lchown(socket.c_str(), 65534, 65534), 0);
  const struct {
    int language;
    const char* screenshot;
    QString said;
  } rows[] = {{kLanguageEnglish, "main_service_holds_unit",
               "unit held by the logging service (norvo-logger), which serves only the group nogroup: join that "
               "group and log in again, or read the service's readings with `norvoctl export --live`"},
              {kLanguageGerman, "main_service_holds_unit_de", "Ger\u00E4t vom Protokolldienst (norvo-logger) belegt"}};
  for (const auto& row : rows) {
    LoadUIStrings(row.language);
    UnitSession::Options options = UnitSession::SessionOptions(0.01);
    options.lock_folder = folder;
    SharedUnit unit(rig.transport, folder, options);
    CMyNorvoDlg::Options window_options;
    window_options.data_folder = folder;
    CMyNorvoDlg window(unit, nullptr, window_options);
    window.show();
    EXPECT_TRUE(WaitFor([&] { return window.NoteText().startsWith(row.said); }, 10000)) << window.NoteText().toStdString();
    EXPECT_EQ(unit.State(), OpenState::kInUse);
    SaveScreenshot(&window, row.screenshot);
    // Longer than the status bar: once, whole, in a box.
    QMessageBox* box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = window.findChild<QMessageBox*>("unit-held")) != nullptr; }, 10000));
    EXPECT_TRUE(box->text().startsWith(row.said)) << box->text().toStdString();
    SaveScreenshot(box, QString(row.screenshot) + "_box");
    box->accept();
    unit.Stop();
  }
  LoadUIStrings(kLanguageEnglish);
  ::close(listener);
}

// Reached through the process that holds the unit, the status bar shows that
// process's number whole beside the time of the last reading, in both
// languages; the tooltip has the whole note.
TEST_F(MainWindowFixture, StatusBarNamesTheHolderWhole) {
  for (const int language : {kLanguageEnglish, kLanguageGerman}) {
    LoadUIStrings(language);
    UnitSession::Options o = UnitSession::SessionOptions(0.01);
    o.lock_folder = data.path().toStdString();
    unit.SetTimeScale(0.01);
    SharedUnit holder(transport, data.path().toStdString(), o);
    ASSERT_EQ(holder.Open(), OpenState::kOpened);
    holder.StartPolling(nullptr, nullptr, std::chrono::milliseconds(10));
    SharedUnit console(transport, data.path().toStdString(), o);
    CMyNorvoDlg::Options options;
    options.data_folder = data.path().toStdString();
    CMyNorvoDlg w(console, nullptr, options);
    w.show();
    const QString process = QString(language == kLanguageGerman ? "(Prozess %1)" : "(process %1)").arg(::getpid());
    const QString reading = language == kLanguageGerman ? "Letzte Messung " : "Last reading ";
    ASSERT_TRUE(WaitFor([&] { return w.NoteText().startsWith(reading) && w.NoteText().endsWith(process); }, 5000))
        << w.NoteText().toStdString();
    auto* pane = w.findChild<QLabel*>("pane0");
    EXPECT_TRUE(pane->text().endsWith(process)) << pane->text().toStdString();
    EXPECT_TRUE(pane->text().startsWith(reading)) << pane->text().toStdString();
    EXPECT_LE(pane->fontMetrics().horizontalAdvance(pane->text()), pane->contentsRect().width());
    EXPECT_EQ(pane->toolTip(), w.NoteText());
    SaveScreenshot(&w, language == kLanguageGerman ? "main_attached_german" : "main_attached");
    w.close();
    console.Stop();
    holder.Stop();
  }
}

// Every panel's title stands clear of the line under its title strip: the
// lowest pixel of "CHn" is at least two rows above the line.
TEST(MonitorPanels, TitlesStandClearOfTheirStripLine) {
  MonitorView view(nullptr);
  const QImage background = PaintBackground().toImage();
  const QImage painted = view.grab().toImage().convertToFormat(background.format());
  for (int k = 0; k < kChannels; ++k) {
    const QRect label = PanelLayout()[static_cast<std::size_t>(k)].label;
    int line = label.top();
    while (line < label.top() + 40 && qGray(background.pixel(label.left() + 20, line)) > 160) ++line;
    int lowest_text = -1;
    for (int y = label.top(); y <= line; ++y) {
      for (int x = label.left(); x < label.left() + 40; ++x) {
        if (painted.pixel(x, y) != background.pixel(x, y)) lowest_text = y;
      }
    }
    EXPECT_LT(lowest_text, line - 2) << "CH" << k + 1 << ": text to row " << lowest_text << ", line at " << line;
  }
  SaveScreenshot(&view, "panels");
}

// What the left pane shows of a note that does not fit: the holder's
// process number stays whole, and a text that fits is left as it is.
TEST(StatusNote, FitsItsRoomKeepingTheProcessNumber) {
  QFont font("Arial");
  font.setPixelSize(13);
  const QFontMetrics metrics(font);
  const QString via = "through norvoctl serve (process 27533)";
  const struct {
    int room;
    QString note, via, starts, ends;
  } cases[] = {
      {400, "Last reading 14:02:10", via, "Last reading 14:02:10 \u2013 through", "(process 27533)"},
      {300, "Last reading 14:02:10", via, "Last reading 14:02:10 \u2013 \u2026", "(process 27533)"},
      {300, "Last reading 14:02:10 (no answer for 12 s)", via, "Last reading", "(process 27533)"},
      {300, "", via, "through", "(process 27533)"},
      {300, "Unit in use by pid 4711", "", "Unit in use by pid 4711", "4711"},
      {120, "The unit was found but cannot be opened (no permission).", "", "The unit", "\u2026"},
  };
  for (const auto& c : cases) {
    const QString shown = FitNote(metrics, c.room, c.note, c.via);
    EXPECT_LE(metrics.horizontalAdvance(shown), c.room) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(c.starts)) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(c.ends)) << shown.toStdString();
  }
}

// A message box with a short text is still wide enough for its whole title
// beside the window manager's buttons (Qt alone leaves it 50 pixels).
TEST_F(MainWindowFixture, AboutBoxHasRoomForItsTitle) {
  for (const int language : {kLanguageEnglish, kLanguageGerman}) {
    Start(language);
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      seen = true;
      EXPECT_EQ(box->windowTitle().toStdString(), std::string(kAboutTitle));
      EXPECT_GE(box->width(), TitleBarWidth(box));
      SaveScreenshot(box, language == kLanguageGerman ? "about_german" : "about");
      box->accept();
    });
    window->findChild<QAction*>(QString::number(command::kAbout))->trigger();
    EXPECT_TRUE(seen);
    window.reset();
    session.reset();
  }
}

TEST_F(MainWindowFixture, UnitThatCannotBeOpenedIsUnconnectedWithTheFix) {
  unit.SetOpenFailure(true);
  Start();
  EXPECT_EQ(window->StatusText(), "Unconnected");
  EXPECT_TRUE(window->NoteText().contains("udev rule")) << window->NoteText().toStdString();
  ASSERT_TRUE(WaitFor([&] { return window->findChild<QMessageBox*>("open-failure") != nullptr; }));
  EXPECT_TRUE(window->findChild<QMessageBox*>("open-failure")->text().contains("sudo cp res/60-tarvik.rules"));
  EXPECT_FALSE(WaitForPolls(1, 500));  // 50 worker seconds: two polls and more if it polled
  window->findChild<QMessageBox*>("open-failure")->close();
}

TEST_F(MainWindowFixture, SilentUnitLeavesDashesNotZerosThenKeepsTheLastValues) {
  unit.SetSilent(true);
  Start();
  ASSERT_TRUE(WaitForPolls(1));  // every exchange times out (0.01 of the protocol's waits)
  EXPECT_EQ(window->StatusText(), "Connected");
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(Texts(ch), "Temperature:\r\n --  \u00B0C|Humidity:\r\n --  %|DewPoint:\r\n --  \u00B0C") << ch;
  }
  EXPECT_FALSE(window->NoteText().startsWith("Last reading"));
  // The unit comes back to life: values and the time of the good poll.
  unit.SetSilent(false);
  ASSERT_TRUE(WaitFor([&] { return window->NoteText().startsWith("Last reading"); }, 5000));
  EXPECT_NE(window->View()->Readings().temperature[0], 65535.0f);
  // Silent again: the values stay through the unanswered polls, and the
  // status bar gives their age.
  unit.SetSilent(true);
  ASSERT_TRUE(WaitFor([&] { return window->NoteText().contains(" (no answer for "); }, 5000));
  const float shown = window->View()->Readings().temperature[0];
  EXPECT_NE(shown, 65535.0f);
  ASSERT_TRUE(WaitForPolls(1));
  EXPECT_EQ(window->View()->Readings().temperature[0], shown);
  EXPECT_EQ(window->StatusText(), "Connected");
}

}  // namespace
}  // namespace norvo
