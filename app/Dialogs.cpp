#include "Dialogs.h"

#include "config/Alarm.h"
#include "config/Calib.h"
#include "config/ClockSync.h"
#include "config/Lang.h"
#include "config/Setting.h"
#include "history/History.h"
#include "monitor/MainWindow.h"
#include "monitor/MonitorView.h"
#include "res/Strings.h"

namespace norvo {

MenuDialogs InstallDialogs(CMyNorvoDlg& window) {
  DeviceLink& link = window.Link();
  ResponseStore& store = window.Responses();
  MenuDialogs d{new Setting(link, store, &window), new Alarm(link, store, &window),
                new Calib(link, store, &window), new Lang(link, store, window.DataFolder(), &window),
                new HistoryState(link, window.DataFolder(), &window)};
  window.ResponseDispatcher().SetCardSink(&d.history->Transfer());

  QObject::connect(&window, &CMyNorvoDlg::Polled, &window, [&window, d] {
    const PollSnapshot& s = window.LastPoll();
    d.setting->SetCopies(s.settings, s.interval, s.identification);
    d.alarm->SetCopies(s.alarm_a, s.alarm_b, s.alarm_c, s.alarm_d);
    d.calib->SetCopy(s.calibration);
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
    SyncClock(parent, window.Link(), window.PermissionByte());
    return 0;
  });
  return d;
}

}  // namespace norvo
