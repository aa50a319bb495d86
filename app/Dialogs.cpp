#include "Dialogs.h"

#include "config/Alarm.h"
#include "config/Calib.h"
#include "config/ClockSync.h"
#include "config/Lang.h"
#include "config/Setting.h"
#include "device/Blocks.h"
#include "history/History.h"
#include "monitor/MainWindow.h"
#include "monitor/MonitorView.h"
#include "res/Strings.h"

namespace norvo {

MenuDialogs InstallDialogs(CMyNorvoDlg& window) {
  Unit& unit = window.TheUnit();
  MenuDialogs d{new Setting(unit, &window), new Alarm(unit, &window), new Calib(unit, &window),
                new Lang(unit, window.DataFolder(), &window),
                new HistoryState(unit, window.DataFolder(), &window)};

  QObject::connect(&window, &CMyNorvoDlg::Polled, &window, [&window, d] {
    const PollSnapshot& s = window.LastPoll();
    d.setting->SetCopies(s.settings, s.interval, s.identification, s.connection, s.settings_read);
    d.alarm->SetCopies(s.alarm_a, s.alarm_b, s.alarm_c, s.alarm_d, s.connection, s.alarms_read);
    d.calib->SetCopy(s.calibration, s.connection, s.calibration_read);
    // The unit's date format, recorded with the next download's copy.
    if (s.settings_read) d.history->SetDateFormat(s.settings[settings::kDateFormat]);
  });

  window.SetCommandHandler(command::kSetup, [d](QWidget*) { return d.setting->Run(); });
  window.SetCommandHandler(command::kAlarm, [d](QWidget*) { return d.alarm->Run(); });
  window.SetCommandHandler(command::kCalibration, [d, &window](QWidget*) {
    d.calib->SetLive(window.View()->Readings());
    return d.calib->Run();
  });
  window.SetCommandHandler(command::kSdCard, [d](QWidget* parent) {
    History dialog(*d.history, parent);
    return dialog.exec();
  });
  window.SetCommandHandler(command::kLanguage, [d](QWidget*) { return d.lang->Run(); });
  window.SetCommandHandler(command::kSyncTime, [&window](QWidget* parent) {
    SyncClock(parent, window.TheUnit(), LocalClock, [&window] { window.EndCommand(); });
    return 0;
  });
  return d;
}

}  // namespace norvo
