// The Setup, Alarm, Calibration and Language dialogs and Sync Time, driven
// by objectName against the simulated unit through the main window's menu.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QMenuBar>
#include <QScreen>
#include <algorithm>
#include <fstream>
#include <tuple>

#include "QtTestSupport.h"
#include "SimConsole.h"
#include "settings/DataFolder.h"
#include "app/Dialogs.h"
#include "simui/SimWatcher.h"
#include "config/ParameterBlocks.h"
#include "device/Exchange.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::MessageBoxes;
using testing::OnDialog;
using testing::SaveScreenshot;
using testing::WaitFor;

struct DialogFixture : testing::SimConsole {
  DialogFixture() : SimConsole({.eight_area = true, .pacing = false, .seed = 5, .default_card = false}) {}

  MenuDialogs dialogs{};
  MessageBoxes boxes;
  bool restarted = false;

  // time_scale 0.2: the 50 ms pauses are 10 ms, the 500 ms closing wait 100 ms.
  void Start(int language = kLanguageEnglish, bool wait_for_poll = true, double time_scale = 0.2) {
    unit.SetDrift(false);
    CMyNorvoDlg::Options options;
    options.restart = [this] { restarted = true; };
    options.poll_second = 5ms;
    Launch(language, time_scale, options);
    dialogs = InstallDialogs(*window);
    if (unit.Plugged() && wait_for_poll) {
      ASSERT_TRUE(WaitForPolls(1));
    }
  }

  // Runs a menu command; act runs while the dialog named `dialog` is up.
  void Command(int id, const QString& dialog, std::function<void(QDialog*)> act) {
    bool acted = false;
    OnDialog(dialog, [&](QDialog* d) {
      act(d);
      acted = true;
    });
    EXPECT_TRUE(RunAndWait(id));
    EXPECT_TRUE(acted) << dialog.toStdString();
  }

  std::vector<Payload> Sent() const { return unit.Received(); }
};

void SetText(QDialog* d, int id, const QString& text) { Child<QLineEdit>(d, id)->setText(text); }
// A click, then the wait for what it started on the background thread.
void Click(QDialog* d, int id) {
  Child<QPushButton>(d, id)->click();
  testing::WaitIdle(d);
}

TEST_F(DialogFixture, SetupShowsTheUnitAndSaveWritesTheChangedAreaMask) {
  Start();
  Command(32772, "129", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Setup");
    QComboBox* area = Child<QComboBox>(d, 1038);
    EXPECT_EQ(area->count(), 8);
    EXPECT_EQ(Child<QComboBox>(d, 1006)->currentIndex(), 0);
    EXPECT_EQ(Child<QComboBox>(d, 1007)->currentText(), "24H");
    EXPECT_EQ(Child<QComboBox>(d, 1011)->currentText(), "1");
    EXPECT_EQ(Child<QLineEdit>(d, 1039)->text(), "10");
    // "CH Area1": CH1's three boxes from mask 7, the others disabled.
    EXPECT_TRUE(Child<QCheckBox>(d, 1013)->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(d, 1029)->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(d, 1013)->isEnabled());
    EXPECT_FALSE(Child<QCheckBox>(d, 1014)->isEnabled());
    SaveScreenshot(d, "setup_english");

    area->setCurrentIndex(2);  // "CH Area3": every dew point
    EXPECT_TRUE(Child<QCheckBox>(d, 1021)->isChecked());
    EXPECT_FALSE(Child<QCheckBox>(d, 1014)->isChecked());
    Child<QCheckBox>(d, 1014)->setChecked(true);
    area->setCurrentIndex(1);
    area->setCurrentIndex(2);
    EXPECT_TRUE(Child<QCheckBox>(d, 1014)->isChecked());
    Child<QComboBox>(d, 1006)->setCurrentIndex(2);
    Child<QComboBox>(d, 1011)->setCurrentIndex(0);  // "-12"
    unit.ClearReceived();
    Click(d, 1005);
  });
  const Payload s = unit.SettingsBlock();
  EXPECT_EQ(s[1], 2);
  EXPECT_EQ(s[6], 0xF4);
  EXPECT_EQ(ReadMask(s, 16), 0x492492u | 0x8u);
  // Permission, settings, end frame; then the settings read back to check.
  const std::vector<Payload> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0][1], 0x51);
  EXPECT_EQ(sent[1][1], 0x10);
  EXPECT_EQ(sent[1][41], 0x40);
  EXPECT_EQ(sent[1][42], 0x7D);
  EXPECT_EQ(sent[2][1], 0x2F);
  EXPECT_EQ(sent[3][1], 0x04);
  EXPECT_EQ(sent[4][1], 0xFE);
  EXPECT_EQ(sent[5][1], 0x41);

  // The next opening, after a poll, shows what the unit now holds.
  ASSERT_TRUE(WaitForPolls(1));
  Command(32772, "129", [&](QDialog* d) {
    EXPECT_EQ(Child<QComboBox>(d, 1006)->currentIndex(), 2);
    EXPECT_EQ(Child<QComboBox>(d, 1011)->currentText(), "-12");
    Click(d, 1037);
  });
}

TEST_F(DialogFixture, SetupOnAFiveAreaUnitAndWhileDisconnected) {
  unit.SetIdentification("{QT5100@}");
  Payload settings = unit.SettingsBlock();
  settings[2] = 36;  // an unexpected span shows as 72H and is written as 72
  unit.SetSettingsBlock(settings);
  Start(kLanguageGerman);
  unit.ClearReceived();
  Command(32772, "129", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Einstellungen");
    EXPECT_EQ(Child<QComboBox>(d, 1038)->count(), 5);
    EXPECT_EQ(Child<QComboBox>(d, 1007)->currentText(), "72H");
    SaveScreenshot(d, "setup_german");
    Click(d, 1005);
  });
  const std::vector<Payload> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);  // the write, then the settings sequence read back
  EXPECT_EQ(sent[1][3], 72);
  EXPECT_EQ(sent[1][29], 0x40);
  EXPECT_EQ(sent[1][30], 0x7D);

  unit.Unplug();
  window->OnDeviceChange(false);
  Command(32772, "129", [&](QDialog* d) {
    EXPECT_FALSE(Child<QPushButton>(d, 1005)->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(d, 1039)->text(), "5");
    Click(d, 1087);  // Set Interval while disconnected
    Click(d, 1037);
  });
  EXPECT_EQ(boxes.texts, QStringList{"Getrennt"});
}

TEST_F(DialogFixture, SetIntervalChecksItsRangeAndSendsOneFrame) {
  Start();
  unit.ClearReceived();
  Command(32772, "129", [&](QDialog* d) {
    for (const char* text : {"4", "241", "abc", "5", "240"}) {
      SetText(d, 1039, text);
      Click(d, 1087);
    }
    EXPECT_TRUE(d->isVisible());
    Click(d, 1037);
  });
  const QString range = "Interval Range of values: 5 to 240 Minute";
  EXPECT_EQ(boxes.texts, (QStringList{range, range, range, "Set Interval Success", "Set Interval Success"}));
  EXPECT_EQ(unit.Interval(), 240);
  // From the first interval frame on (the end of a poll that was running when
  // the menu command came may be on the wire before it).
  std::vector<Payload> sent = Sent();
  sent.erase(sent.begin(), std::find(sent.begin(), sent.end(), BuildIntervalFrame(5)));
  // The frame stands alone (no permission query, no end frame) and is
  // checked by reading the settings sequence (settings, identification,
  // interval) back.
  ASSERT_EQ(sent.size(), 8u);
  for (std::size_t at : {0u, 4u}) {
    EXPECT_EQ(sent[at + 1], BuildCommandFrame(0x04));
    EXPECT_EQ(sent[at + 3], BuildCommandFrame(0x41));
  }
  EXPECT_EQ(sent[0], BuildIntervalFrame(5));
  EXPECT_EQ(sent[4], BuildIntervalFrame(240));

  // A unit away from its main screen takes the interval all the same.
  boxes.texts.clear();
  unit.SetRefuseWrites(true);
  Command(32772, "129", [&](QDialog* d) {
    SetText(d, 1039, "60");
    Click(d, 1087);
    Click(d, 1037);
  });
  EXPECT_EQ(boxes.texts, QStringList{"Set Interval Success"});
  EXPECT_EQ(unit.Interval(), 60);
}

TEST_F(DialogFixture, RefusedSaveShowsTheMessageAndClosesWithNothingWritten) {
  Start();
  unit.SetRefuseWrites(true);
  const Payload before = unit.SettingsBlock();
  unit.ClearReceived();
  Command(32772, "129", [&](QDialog* d) {
    Child<QComboBox>(d, 1006)->setCurrentIndex(3);
    Click(d, 1005);
  });
  EXPECT_EQ(boxes.texts, QStringList{"Please switch the device to the main screen."});
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0][1], 0x51);
  EXPECT_EQ(unit.SettingsBlock(), before);
}

TEST_F(DialogFixture, AlarmSavedUnchangedInFahrenheitChangesNothing) {
  Payload settings = unit.SettingsBlock();
  settings[7] = 1;
  unit.SetSettingsBlock(settings);
  Start();
  const Payload a = unit.AlarmBlock('A'), c = unit.AlarmBlock('C'), d_block = unit.AlarmBlock('D');
  Command(32773, "135", [&](QDialog* d) {
    EXPECT_EQ(Child<QLabel>(d, 1059)->text(), "\u00B0F");
    EXPECT_EQ(Child<QLineEdit>(d, 1015)->text(), "95.2  ");  // 35.1 °C
    EXPECT_EQ(Child<QLineEdit>(d, 1022)->text(), "--  ");    // CH8 has no limits
    EXPECT_EQ(Child<QLineEdit>(d, 1040)->text(), "--  ");
    SaveScreenshot(d, "alarm_english_fahrenheit");
    Click(d, 1);
  });
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("|").toStdString();
  EXPECT_EQ(unit.AlarmBlock('A'), a);
  EXPECT_EQ(unit.AlarmBlock('C'), c);
  EXPECT_EQ(unit.AlarmBlock('D'), d_block);
}

TEST_F(DialogFixture, AlarmChecksItsLimitsAndWritesTheChanges) {
  Start(kLanguageGerman);
  Command(32773, "135", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Alarm");
    EXPECT_EQ(Child<QLabel>(d, 1124)->text(), "Hoch");
    SaveScreenshot(d, "alarm_german");
    SetText(d, 1015, "60.1");
    Click(d, 1);
    SetText(d, 1015, "60.05");
    SetText(d, 1033, "0");
    Click(d, 1);
    SetText(d, 1033, "100");
    Click(d, 1);
    EXPECT_TRUE(d->isVisible());
    SetText(d, 1033, "50.7");
    SetText(d, 1024, "-40.0");
    SetText(d, 1022, "--");  // CH8 high: exactly the marker
    Child<QCheckBox>(d, 1104)->setChecked(false);
    Child<QComboBox>(d, 1006)->setCurrentIndex(1);  // temperature alarm OFF
    EXPECT_FALSE(Child<QLineEdit>(d, 1015)->isEnabled());
    EXPECT_FALSE(Child<QCheckBox>(d, 1105)->isEnabled());
    Click(d, 1);
  });
  EXPECT_EQ(boxes.texts, (QStringList{"Fehler Temperatur", "Fehler Luftfeuchtigkeit", "Fehler Luftfeuchtigkeit"}));
  const Payload a = unit.AlarmBlock('A'), c = unit.AlarmBlock('C'), dd = unit.AlarmBlock('D');
  EXPECT_EQ(a[2], 1);
  EXPECT_EQ(a[5], 0x7E);
  EXPECT_EQ(c[1] << 8 | c[2], 600);
  EXPECT_EQ(static_cast<std::int16_t>(c[3] << 8 | c[4]), -400);
  EXPECT_EQ(c[29], 0xFF);
  EXPECT_EQ(c[30], 0xFF);
  EXPECT_EQ(dd[1], 50);
}

// Unplug, open a dialog (neutral values, Save off), plug back in and save at
// once, before any poll: the dialog reads the unit's blocks itself, so Save
// sends the unit's own values back and nothing changes.
TEST_F(DialogFixture, ReplugThenSaveAtOnceLeavesTheUnitAsItWas) {
  struct Row {
    int command;
    const char* dialog;
    int save;
  };
  for (const Row& row : {Row{32772, "129", 1005}, Row{32773, "135", 1}, Row{32774, "134", 1005}}) {
    SCOPED_TRACE(row.dialog);
    if (!window) Start();
    const Payload settings = unit.SettingsBlock(), a = unit.AlarmBlock('A'), c = unit.AlarmBlock('C'),
                  d = unit.AlarmBlock('D'), cal = unit.CalibrationBlock();
    unit.Unplug();
    window->OnDeviceChange(false);
    Command(row.command, row.dialog, [&](QDialog* dlg) {
      EXPECT_FALSE(Child<QPushButton>(dlg, row.save)->isEnabled());
      dlg->reject();
    });
    session->SetBusy(true);  // no poll between the plug and the dialog
    unit.Plug();
    window->OnDeviceChange(true);
    ASSERT_EQ(window->StatusText(), "Connected");
    unit.ClearReceived();
    Command(row.command, row.dialog, [&](QDialog* dlg) {
      EXPECT_TRUE(Child<QPushButton>(dlg, row.save)->isEnabled());
      Click(dlg, row.save);
    });
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("|").toStdString();
    EXPECT_EQ(unit.SettingsBlock(), settings);
    EXPECT_EQ(unit.AlarmBlock('A'), a);
    EXPECT_EQ(unit.AlarmBlock('C'), c);
    EXPECT_EQ(unit.AlarmBlock('D'), d);
    EXPECT_EQ(unit.CalibrationBlock(), cal);
    // The dialog read its blocks (a read command went out before the write).
    const std::vector<Payload> sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent[0][1], 0x51);
  }
}

// Opened without the unit, a dialog says so and looks for it while it is
// open: plugged in again, the unit is read and Save comes on.
TEST_F(DialogFixture, ADialogOpenedWithoutTheUnitReadsItOncePluggedIn) {
  Start();
  for (const auto& [command, name, save] : {std::tuple{32772, "129", 1005}, std::tuple{32773, "135", 1},
                                            std::tuple{32774, "134", 1005}}) {
    SCOPED_TRACE(name);
    unit.Unplug();
    window->OnDeviceChange(false);
    Command(command, name, [&](QDialog* dlg) {
      auto* note = dlg->findChild<QLabel*>("note");
      EXPECT_TRUE(note->isVisible());
      EXPECT_EQ(note->text(), "No unit found.");
      EXPECT_FALSE(Child<QPushButton>(dlg, save)->isEnabled());
      // It has looked for the unit at least once while it was away.
      ASSERT_TRUE(WaitFor([&] { return dlg->property("looks").toInt() >= 1; }, 30000));
      unit.Plug();
      window->OnDeviceChange(true);
      EXPECT_TRUE(WaitFor([&] { return Child<QPushButton>(dlg, save)->isEnabled(); }, 30000));
      EXPECT_FALSE(note->isVisible());
      dlg->reject();
    });
  }
}

// Unplugged and plugged in again while the dialog is open: Save writes nothing
// from the old copies, says what happened (never "Unconnected" beside a
// "Connected" status bar), reads the unit anew and stays open.
TEST_F(DialogFixture, ReplugInAnOpenDialogReadsAgainAndSaysSo) {
  Start();
  for (const auto& [command, name, save] : {std::tuple{32772, "129", 1005}, std::tuple{32773, "135", 1},
                                            std::tuple{32774, "134", 1005}}) {
    SCOPED_TRACE(name);
    boxes.texts.clear();
    Command(command, name, [&](QDialog* dlg) {
      unit.Unplug();
      window->OnDeviceChange(false);
      unit.Plug();
      window->OnDeviceChange(true);
      ASSERT_EQ(window->StatusText(), "Connected");
      unit.ClearReceived();
      Click(dlg, save);
      EXPECT_TRUE(dlg->isVisible());
      ASSERT_TRUE(testing::WaitIdle(dlg));
      EXPECT_TRUE(Child<QPushButton>(dlg, save)->isEnabled());
      for (const Payload& p : Sent()) EXPECT_NE(p[1], 0x51);
      dlg->reject();
    });
    EXPECT_EQ(boxes.texts, QStringList{"The unit was plugged in again while this dialog was open: its values are read "
                                       "anew. Check them, then save again."});
  }
}

// Values the unit cannot hold are refused before anything is sent, in °C and
// °F: -0.1 (its code FF FF means "no value") and "--" as a humidity limit.
TEST_F(DialogFixture, UnstorableValuesAreRefusedWithTheReason) {
  struct Row {
    int unit_flag;
    int command;
    const char* dialog;
    int field;
    const char* text;
    int save;
    const char* message;
  };
  const char* minus = "-0.1 cannot be stored: the unit reads its code as \"no value\". Use 0.0 or -0.2.";
  // In °F the values proposed instead are °F as well.
  const char* minus_f_limit = "-0.1 \u00B0C cannot be stored: the unit reads its code as \"no value\". Use 32.0 or 31.6 \u00B0F.";
  const char* minus_f_offset = "-0.1 \u00B0C cannot be stored: the unit reads its code as \"no value\". Use 0.0 or -0.4 \u00B0F.";
  const Row rows[] = {
      {0, 32773, "135", 1015, "-0.1", 1, minus},       {0, 32773, "135", 1024, "-0,1", 1, minus},
      {1, 32773, "135", 1015, "31.8", 1, minus_f_limit},       {0, 32774, "134", 1015, "-0.1", 1005, minus},
      {1, 32774, "134", 1015, "-0.2", 1005, minus_f_offset},    {0, 32773, "135", 1033, "--", 1, "Humi Error"},
      {0, 32773, "135", 1042, " -- ", 1, "Humi Error"}, {0, 32773, "135", 1015, "60.1", 1, "Temp Error"},
      {1, 32773, "135", 1015, "140.2", 1, "Temp Error"}, {0, 32773, "135", 1024, "-40.1", 1, "Temp Error"},
  };
  Start();
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + (row.unit_flag ? " F" : " C"));
    Payload settings = unit.SettingsBlock();
    settings[7] = static_cast<std::uint8_t>(row.unit_flag);
    unit.SetSettingsBlock(settings);
    ASSERT_TRUE(WaitForPolls(1));
    const Payload c = unit.AlarmBlock('C'), d = unit.AlarmBlock('D'), cal = unit.CalibrationBlock();
    boxes.texts.clear();
    unit.ClearReceived();
    Command(row.command, row.dialog, [&](QDialog* dlg) {
      SetText(dlg, row.field, row.text);
      Click(dlg, row.save);
      EXPECT_TRUE(dlg->isVisible());
      dlg->reject();
    });
    EXPECT_EQ(boxes.texts, QStringList{row.message});
    for (const Payload& p : Sent()) EXPECT_NE(p[1], 0x51);
    EXPECT_EQ(unit.AlarmBlock('C'), c);
    EXPECT_EQ(unit.AlarmBlock('D'), d);
    EXPECT_EQ(unit.CalibrationBlock(), cal);
  }
}

// A write the unit lost on the way is found by the read-back and reported,
// never followed by a success message.
TEST_F(DialogFixture, LostWritesAreReportedByTheReadBack) {
  Start();
  unit.SetDropWrites(2);  // the switch frame (no change) and the temperature limits
  Command(32773, "135", [&](QDialog* d) {
    SetText(d, 1015, "30.0");
    Click(d, 1);
  });
  EXPECT_EQ(boxes.texts, QStringList{"The unit did not take the temperature alarm limits: it reads back otherwise."});
  boxes.texts.clear();
  unit.SetDropWrites(1);
  Command(32772, "129", [&](QDialog* d) {
    SetText(d, 1039, "60");
    Click(d, 1087);
    Click(d, 1037);
  });
  EXPECT_EQ(boxes.texts, QStringList{"The unit did not take the interval: it reads back otherwise."});
  EXPECT_EQ(unit.Interval(), 10);
}

TEST_F(DialogFixture, AlarmWhileDisconnected) {
  unit.Unplug();
  Start();
  Command(32773, "135", [&](QDialog* d) {
    for (int id = 1015; id <= 1022; ++id) EXPECT_EQ(Child<QLineEdit>(d, id)->text(), "--  ");
    for (int id = 1042; id <= 1049; ++id) EXPECT_EQ(Child<QLineEdit>(d, id)->text(), "--  ");
    EXPECT_FALSE(Child<QCheckBox>(d, 1088)->isChecked());
    EXPECT_EQ(Child<QComboBox>(d, 1006)->currentText(), "ON");
    EXPECT_EQ(Child<QComboBox>(d, 1007)->currentText(), "ON");
    EXPECT_FALSE(Child<QPushButton>(d, 1)->isEnabled());
    Click(d, 2);
  });
}

TEST_F(DialogFixture, CalibrationChecksTheCorrectedReadingAgainstTheRange) {
  unit.SetSensor(1, 595, 40);
  unit.SetSensor(2, 200, 95);
  Start();
  ASSERT_TRUE(WaitFor([&] { return window->View() != nullptr; }));
  Command(32774, "134", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Calibration");
    EXPECT_EQ(Child<QLineEdit>(d, 1015)->text(), "0.0");
    EXPECT_EQ(Child<QLineEdit>(d, 1024)->text(), "0  ");
    EXPECT_FALSE(Child<QLineEdit>(d, 1022)->isEnabled());  // CH8: no sensor
    EXPECT_FALSE(Child<QLineEdit>(d, 1031)->isEnabled());
    SaveScreenshot(d, "calibration_english");
    SetText(d, 1015, "0.6");
    Click(d, 1005);
    SetText(d, 1015, "0.5");
    SetText(d, 1025, "5");
    Click(d, 1005);
    SetText(d, 1025, "4");
    SetText(d, 1026, "-3");
    Click(d, 1005);
  });
  EXPECT_EQ(boxes.texts, (QStringList{" CH1 Temp Out of value.", " CH2 Humi Out of value."}));
  const Payload cal = unit.CalibrationBlock();
  EXPECT_EQ(cal[1] << 8 | cal[2], 5);
  EXPECT_EQ(cal[6], 4);
  EXPECT_EQ(cal[9], 0xFD);
}

TEST_F(DialogFixture, CalibrationSavedUnchangedKeepsOddWordsInFahrenheitAndGerman) {
  Payload settings = unit.SettingsBlock();
  settings[7] = 1;
  unit.SetSettingsBlock(settings);
  Start(kLanguageGerman);
  // CH1 offset 1.0 °C, CH3 an invalid word, CH4 humidity offset -2.
  session->Write(std::array<Payload, 1>{BuildCalibrationFrame(CalibrationRaw{
      {TemperatureWord{0, 10}, {0, 0}, {0xFF, 0xFF}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}},
      {0, 0, 0, 0xFE, 0, 0, 0, 0}})});
  const Payload before = unit.CalibrationBlock();
  ASSERT_TRUE(WaitForPolls(1));
  Command(32774, "134", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Kalibrierung");
    EXPECT_EQ(Child<QLineEdit>(d, 1015)->text(), "1.8");
    EXPECT_EQ(Child<QLineEdit>(d, 1017)->text(), "--");  // FF FF: no offset
    EXPECT_EQ(Child<QLineEdit>(d, 1027)->text(), "-2  ");
    EXPECT_EQ(Child<QLabel>(d, 1077)->text(), "\u00B0F");
    SaveScreenshot(d, "calibration_german_fahrenheit");
    Click(d, 1005);
  });
  EXPECT_EQ(unit.CalibrationBlock(), before);
}

TEST_F(DialogFixture, LanguageWritesMainIniTellsTheUnitAndRestarts) {
  Start();
  WriteLanguageSetting(data.path().toStdString(), "Deutsch");
  Command(32777, "155", [&](QDialog* d) {
    QComboBox* list = Child<QComboBox>(d, 1006);
    EXPECT_EQ(list->currentText(), "Deutsch");  // what the file says
    list->setCurrentIndex(1);
    Click(d, 1037);  // Exit: nothing changes
  });
  EXPECT_FALSE(restarted);
  EXPECT_EQ(ReadLanguageSetting(data.path().toStdString()), "Deutsch");
  EXPECT_EQ(unit.Language(), -1);

  Command(32777, "155", [&](QDialog* d) {
    SaveScreenshot(d, "language_english");
    Child<QComboBox>(d, 1006)->setCurrentIndex(1);
    Click(d, 1005);
  });
  EXPECT_TRUE(restarted);
  EXPECT_EQ(ReadLanguageSetting(data.path().toStdString()), "English");
  EXPECT_EQ(unit.Language(), 1);

  // Refused by the unit: the file still changes and the program still restarts.
  restarted = false;
  unit.SetRefuseWrites(true);
  Command(32777, "155", [&](QDialog* d) {
    Child<QComboBox>(d, 1006)->setCurrentIndex(0);
    Click(d, 1005);
  });
  EXPECT_TRUE(restarted);
  EXPECT_EQ(ReadLanguageSetting(data.path().toStdString()), "Deutsch");
  EXPECT_EQ(unit.Language(), 1);
  EXPECT_EQ(boxes.texts, QStringList{"Please switch the device to the main screen."});
}

TEST_F(DialogFixture, SyncTimeConfirmsThenSetsTheClock) {
  Start();
  unit.ClearReceived();
  boxes.answer = QMessageBox::Cancel;
  EXPECT_TRUE(RunAndWait(32776));
  EXPECT_EQ(boxes.texts, QStringList{"Are you want to Synchronization Time?"});
  EXPECT_TRUE(Sent().empty());

  boxes.answer = QMessageBox::Ok;
  boxes.texts.clear();
  EXPECT_TRUE(RunAndWait(32776));
  EXPECT_EQ(boxes.texts, (QStringList{"Are you want to Synchronization Time?", "Sync Time Success"}));
  const std::vector<Payload> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][1], 0x51);
  EXPECT_EQ(sent[1][1], 0x30);
  EXPECT_EQ(sent[1][10], 0x40);
  ASSERT_EQ(unit.Clock().size(), 8u);
  EXPECT_GE(unit.Clock()[0] << 8 | unit.Clock()[1], 2024);

  boxes.texts.clear();
  unit.SetRefuseWrites(true);
  EXPECT_TRUE(RunAndWait(32776));
  EXPECT_EQ(boxes.texts, (QStringList{"Are you want to Synchronization Time?",
                                      "Please switch the device to the main screen."}));

  boxes.texts.clear();
  unit.Unplug();
  window->OnDeviceChange(false);
  EXPECT_TRUE(RunAndWait(32776));
  EXPECT_EQ(boxes.texts, (QStringList{"Are you want to Synchronization Time?", "Unconnected"}));
}

// Tab follows the layout as it reads, and Enter in a field writes nothing to
// the unit unless the dialog's Save is its OK button (Alarm).
TEST_F(DialogFixture, TabFollowsTheLayoutAndEnterWritesOnlyThroughOk) {
  std::vector<QString> setup{"1006", "1007", "1008", "1009", "1010", "1011", "1012", "1039", "1087", "1038"};
  for (int box = 1013; box <= 1036; ++box) setup.push_back(QString::number(box));
  setup.insert(setup.end(), {"1005", "1037"});
  std::vector<QString> alarm{"1006"};
  for (int first : {0, 1}) {
    if (first == 1) alarm.push_back("1007");
    for (int c = 1; c <= 8; ++c) {
      for (int side = 0; side < 2; ++side) {
        const int enable = first == 0 ? (side == 0 ? 1103 : 1111) : (side == 0 ? 1087 : 1095);
        const int edit = first == 0 ? (side == 0 ? 1014 : 1023) : (side == 0 ? 1032 : 1041);
        alarm.push_back(QString::number(enable + c));
        alarm.push_back(QString::number(edit + c));
      }
    }
  }
  alarm.insert(alarm.end(), {"1", "2"});
  struct Row {
    int command;
    const char* dialog;
    std::vector<QString> tab;  // empty: not checked here
    int field;                 // a line edit to press Enter in
    bool enter_saves;
  };
  const Row rows[] = {{32772, "129", setup, 1039, false}, {32773, "135", alarm, 1015, true},
                      {32774, "134", {}, 1015, false}};
  Start();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dialog);
    unit.ClearReceived();
    Command(row.command, row.dialog, [&](QDialog* d) {
      if (!row.tab.empty()) {
        QWidget* w = d->findChild<QWidget*>(row.tab.front());
        std::vector<QString> seen;
        for (std::size_t i = 0; i < row.tab.size(); ++i, w = w->nextInFocusChain()) {
          while (!(w->focusPolicy() & Qt::TabFocus) || w->objectName().isEmpty()) w = w->nextInFocusChain();
          seen.push_back(w->objectName());
        }
        EXPECT_EQ(seen, row.tab);
      }
      QLineEdit* field = Child<QLineEdit>(d, row.field);
      field->setFocus();
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(field, &enter);
      testing::WaitIdle(d);
      EXPECT_EQ(d->isVisible(), !row.enter_saves);
      if (d->isVisible()) d->reject();
    });
    bool wrote = false;
    for (const Payload& p : Sent()) wrote |= p[1] == 0x51 || p[1] == 0x40;
    EXPECT_EQ(wrote, row.enter_saves);
  }
}

// The German console shows no English word and cuts off no title, in the main
// window and in every dialog of its menu.
TEST_F(DialogFixture, GermanWindowsShowNoEnglishAndCutNothingOff) {
  Start(kLanguageGerman);
  EXPECT_EQ(testing::EnglishOrClipped(window.get()), QStringList{});
  const std::pair<int, const char*> commands[] = {{32772, "129"}, {32773, "135"}, {32774, "134"}, {32777, "155"},
                                                  {32775, "136"}};
  for (const auto& [command, name] : commands) {
    Command(command, name, [&](QDialog* d) {
      EXPECT_EQ(testing::EnglishOrClipped(d), QStringList{}) << name;
      SaveScreenshot(d, QString("german_") + name);
      d->reject();
    });
  }
}

// With the simulated unit its commands stay in reach while a modal dialog is
// up: a tool window that is the dialog's child carries them.
TEST_F(DialogFixture, SimulationCommandsStayInReachBesideAModalDialog) {
  unit.SetDrift(false);
  CMyNorvoDlg::Options options;
  options.poll_second = 5ms;
  options.extend_menu = [this](QMenuBar* bar) { AddSimulationMenu(bar, unit); };
  Launch(kLanguageEnglish, 0.2, options);
  dialogs = InstallDialogs(*window);
  ASSERT_TRUE(WaitForPolls(1));
  auto* panel = window->findChild<QWidget*>("sim-panel");
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(panel->isVisible());
  window->show();
  window->move(window->screen()->availableGeometry().right() - window->frameGeometry().width(), 0);
  Command(32775, "136", [&](QDialog* d) {
    ASSERT_TRUE(WaitFor([&] { return panel->isVisible(); }));
    EXPECT_EQ(panel->parentWidget(), d);
    EXPECT_EQ(QApplication::activeModalWidget(), d);
    // Whole on the dialog's screen, though the dialog leaves no room on its right.
    const auto text = [](const QRect& r) { return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" + std::to_string(r.height()); };
    EXPECT_TRUE(d->screen()->availableGeometry().contains(panel->frameGeometry()))
        << "panel " << text(panel->frameGeometry()) << ", dialog " << text(d->frameGeometry()) << ", screen " << text(d->screen()->availableGeometry());
    SaveScreenshot(panel, "sim_panel");
    panel->findChildren<QToolButton*>().front()->click();  // "Unplug unit"
    EXPECT_FALSE(unit.Plugged());
    d->reject();
  });
  EXPECT_FALSE(panel->isVisible());
  // With room on the screen, the panel is next to the console's windows and
  // a gap away from them: from where the dialog took its place, not from
  // where it was before it showed.
  const QRect screen = window->screen()->availableGeometry();
  window->move(screen.right() + 1 - window->frameGeometry().width(), screen.bottom() + 1 - window->frameGeometry().height());
  Command(32772, "129", [&](QDialog* d) {
    ASSERT_TRUE(WaitFor([&] { return panel->isVisible(); }));
    const QRect covered = window->frameGeometry() | d->frameGeometry();
    EXPECT_FALSE(panel->frameGeometry().intersects(covered));
    EXPECT_TRUE(panel->frameGeometry().adjusted(-10, -10, 10, 10).intersects(covered));
    EXPECT_TRUE(d->screen()->availableGeometry().contains(panel->frameGeometry()));
    d->reject();
  });
  EXPECT_EQ(panel->parentWidget(), window.get());
  window->findChild<QAction*>("sim-plug")->trigger();
  EXPECT_TRUE(unit.Plugged());
}

// Save comes on once a unit that did not answer the dialog's read answers
// again: the dialog reads again while it is open.
TEST_F(DialogFixture, SetupReadsAgainUntilTheUnitAnswers) {
  Start();
  unit.Unplug();
  window->OnDeviceChange(false);
  unit.SetSilent(true);
  unit.Plug();
  window->OnDeviceChange(true);
  Command(32772, "129", [&](QDialog* d) {
    auto* save = Child<QPushButton>(d, 1005);
    EXPECT_TRUE(WaitFor([&] { return d->findChild<QLabel*>("note")->isVisible(); }, 30000));
    EXPECT_FALSE(save->isEnabled());
    unit.SetSilent(false);
    EXPECT_TRUE(WaitFor([&] { return save->isEnabled(); }, 30000));
    EXPECT_FALSE(d->findChild<QLabel*>("note")->isVisible());
    Click(d, 1037);
  });
}

// A unit that answers nothing: every read and write sequence, the listing and
// the menu's wait for a running poll go on while the window keeps serving its
// events. The longest gap between two 5 ms ticks is the longest stall.
TEST_F(DialogFixture, SilentUnitNeverStallsTheWindow) {
  unit.SetSilent(true);
  // A poll now runs into every time-out: 1.5 s at this scale, three times
  // what a loaded machine was seen to add to a stall.
  Start(kLanguageEnglish, false, 0.5);
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worst = 0;
  QTimer tick;
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    worst = std::max(worst, now - last);
    last = now;
  });
  tick.start();
  // Opening reads the blocks the poll never got; they do not come, so Save
  // stays off and says why.
  Command(32772, "129", [&](QDialog* d) {
    EXPECT_FALSE(Child<QPushButton>(d, 1005)->isEnabled());
    EXPECT_TRUE(d->findChild<QLabel*>("note")->isVisible());
    SaveScreenshot(d, "setup_values_not_read");
    SetText(d, 1039, "60");
    Click(d, 1087);  // Set Interval: permission query unanswered
    Click(d, 1037);
  });
  EXPECT_TRUE(RunAndWait(32776));                                   // Sync Time
  Command(32775, "136", [&](QDialog* d) { d->reject(); });      // the card list
  Command(32773, "135", [&](QDialog* d) {                        // Alarm: reads, then Exit
    EXPECT_FALSE(Child<QPushButton>(d, 1)->isEnabled());
    Click(d, 2);
  });
  tick.stop();
  worst = std::max(worst, clock.elapsed() - last);
  std::printf("longest event-loop stall with a silent unit: %lld ms over %lld ms\n", static_cast<long long>(worst),
              static_cast<long long>(clock.elapsed()));
  // A wait on the silent unit on this thread would stall it for a whole
  // time-out (1.5 s).
  EXPECT_LT(worst, 1000 * testing::kSlowdown);
}

}  // namespace
}  // namespace norvo
