// The console's alarms against the simulated unit: a channel driven across
// its limit and back is marked on its panel, named in the status bar,
// written to the alarm log (the console holds the unit) and announced by a
// desktop notification, sent to a notification service of the test's own
// on a private session bus. English and German; screenshots of both.

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QImage>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "QtTestSupport.h"
#include "SimConsole.h"
#include "monitor/DesktopNotifier.h"
#include "monitor/MonitorView.h"
#include "settings/DataFolder.h"

namespace norvo {
namespace {

using testing::SaveScreenshot;
using testing::WaitFor;

// The receiving end of org.freedesktop.Notifications: records each Notify
// call's summary, body and urgency and answers with an id.
class NotificationService : public QDBusVirtualObject {
 public:
  struct Note {
    QString app, summary, body;
    int urgency = -1;
  };
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "Notify" || message.arguments().size() != 8) return false;
    const QList<QVariant> a = message.arguments();
    Note n{a[0].toString(), a[3].toString(), a[4].toString()};
    const QVariantMap hints = qdbus_cast<QVariantMap>(a[6]);
    if (hints.contains("urgency")) n.urgency = hints["urgency"].toInt();
    notes.push_back(n);
    connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(notes.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
  std::vector<Note> notes;
};

// dbus-daemon on a socket in a folder of the test's own.
struct PrivateBus {
  testing::TempFolder folder{"norvo-bus"};
  decltype(testing::Spawn(std::vector<std::string>{})) bus_daemon;
  std::string address;
  bool Start() {
    const std::string program = testing::FindProgram("dbus-daemon");
    if (program.empty()) return false;
    const std::filesystem::path socket = folder.path / "bus", config = folder.path / "bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << socket.string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                             "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n";
    bus_daemon = testing::Spawn({program, "--nofork", "--config-file=" + config.string()});
    address = "unix:path=" + socket.string();
    return testing::WaitUntil([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(10));
  }
  ~PrivateBus() {
    if (bus_daemon.pid > 0) {
      ::kill(bus_daemon.pid, SIGTERM);
      testing::Finish(bus_daemon);
    }
  }
};

int Count(const QString& db, const char* sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.toUtf8().constData(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  int n = -1;
  if (sqlite3_prepare_v2(h, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(h);
  return n;
}

// Pixels of the alarm red in the lower half (the value) of a panel rectangle.
int RedPixels(const QImage& image, const QRect& rect) {
  int red = 0;
  for (int y = rect.center().y(); y < rect.bottom(); ++y) {
    for (int x = rect.left(); x < rect.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      red += c.red() > 150 && c.green() < 90 && c.blue() < 90;
    }
  }
  return red;
}

struct AlarmConsole : testing::SimConsole {
  AlarmConsole() : SimConsole({.eight_area = true, .pacing = false, .seed = 3, .default_card = false}) {}
};

// CH3's high temperature limit on the simulated unit: 35.3 °C, enabled.
TEST_F(AlarmConsole, ChannelAcrossItsLimitAndBackInBothLanguages) {
  PrivateBus bus;
  ASSERT_TRUE(bus.Start()) << "dbus-daemon is missing: bash tools/deps.sh installs it";
  // Before the first use of the session bus in this process.
  testing::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str());
  QDBusConnection receiver = QDBusConnection::connectToBus(QString::fromStdString(bus.address), "notification-service");
  ASSERT_TRUE(receiver.isConnected());
  NotificationService service;
  ASSERT_TRUE(receiver.registerService("org.freedesktop.Notifications"));
  ASSERT_TRUE(receiver.registerVirtualObject("/org/freedesktop/Notifications", &service));

  unit.SetDrift(false);
  const QString db = data.path() + "/" + kDatabaseFile;
  struct Language {
    int id;
    const char* entered_title;
    const char* status;
    const char* left_title;
    const char* left_body;
    const char* screenshot;
  } languages[] = {
      {kLanguageEnglish, "CH3: temperature alarm", "CH3 above 35.3 \u00B0C since ", "CH3: alarm over",
       "CH3 is back within its limit of 35.3 \u00B0C", "alarm_main_en"},
      {kLanguageGerman, "CH3: Alarm Temperatur", "CH3 \u00FCber 35.3 \u00B0C seit ", "CH3: Alarm beendet",
       "CH3 ist wieder innerhalb der Grenze von 35.3 \u00B0C", "alarm_main_de"},
  };
  int round = 0;
  for (const Language& l : languages) {
    SCOPED_TRACE(l.screenshot);
    unit.SetSensor(3, 300, 55);
    CMyNorvoDlg::Options options;
    options.unit_name = "SIM00001";
    Launch(l.id, 0.01, options);
    window->show();
    ASSERT_TRUE(WaitForPolls(2));
    EXPECT_TRUE(window->ActiveAlarms().empty());

    unit.SetSensor(3, 361, 55);
    ASSERT_TRUE(WaitFor([&] { return service.notes.size() == static_cast<std::size_t>(2 * round + 1); }, 10000));
    const NotificationService::Note& entered = service.notes.back();
    EXPECT_EQ(entered.app, "Ombrix");
    EXPECT_EQ(entered.summary, QString::fromUtf8(l.entered_title));
    EXPECT_TRUE(entered.body.startsWith(QString::fromUtf8(l.status))) << entered.body.toStdString();
    EXPECT_EQ(entered.urgency, 2);
    EXPECT_TRUE(window->NoteText().startsWith(QString::fromUtf8(l.status))) << window->NoteText().toStdString();
    EXPECT_TRUE(window->View()->Alarms().temperature[2]);
    EXPECT_FALSE(window->View()->Alarms().humidity[2]);
    const QImage image = window->View()->grab().toImage();
    EXPECT_GT(RedPixels(image, PanelLayout()[2].temperature), 10) << "CH3's temperature in red";
    EXPECT_EQ(RedPixels(image, PanelLayout()[2].humidity), 0);
    EXPECT_EQ(RedPixels(image, PanelLayout()[1].temperature), 0);
    SaveScreenshot(window.get(), l.screenshot);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM AlarmLog WHERE Unit = 'SIM00001' AND Channel = 3 AND End IS NULL"), 1);

    // 35.2 °C stays within the hysteresis; 35.0 °C ends the alarm.
    unit.SetSensor(3, 352, 55);
    ASSERT_TRUE(WaitForPolls(3));
    EXPECT_EQ(service.notes.size(), static_cast<std::size_t>(2 * round + 1));
    unit.SetSensor(3, 350, 55);
    ASSERT_TRUE(WaitFor([&] { return service.notes.size() == static_cast<std::size_t>(2 * round + 2); }, 10000));
    EXPECT_EQ(service.notes.back().summary, QString::fromUtf8(l.left_title));
    EXPECT_TRUE(service.notes.back().body.startsWith(QString::fromUtf8(l.left_body))) << service.notes.back().body.toStdString();
    EXPECT_EQ(service.notes.back().urgency, 1);
    EXPECT_FALSE(window->NoteText().startsWith("CH3"));
    EXPECT_FALSE(window->View()->Alarms().temperature[2]);
    EXPECT_TRUE(WaitFor([&] { return Count(db, "SELECT count(*) FROM AlarmLog WHERE End IS NOT NULL AND Peak = 36.1") == round + 1; }));
    EXPECT_TRUE(WaitFor([&] { return window->Notifier()->Answered() == 2; })) << "this window's two";
    EXPECT_EQ(window->Notifier()->Failed(), 0);
    window.reset();
    session.reset();
    ++round;
  }
}

}  // namespace
}  // namespace norvo
