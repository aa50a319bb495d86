#pragma once
// The main window, "Ombrix": the eight channel panels, the menu that opens the
// configuration and SD-card dialogs, the status bar that says whether the unit
// is connected, the device-change handling and the polling worker.

#include <QMainWindow>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <vector>
#include <optional>

#include "domain/AlarmRows.h"
#include "session/Unit.h"
#include "store/AlarmLog.h"

class QFontMetrics;
class QLabel;
class QAction;
class QTimer;
class QMenuBar;

namespace norvo {

class DeviceWatcher;
class MonitorView;

// Runs one menu command's dialog modally; returns the dialog's result.
using CommandHandler = std::function<int(QWidget* parent)>;

class CMyNorvoDlg : public QMainWindow {
  Q_OBJECT
 public:
  struct Options {
    std::filesystem::path data_folder;
    std::function<void()> restart;       // run after the Language dialog returns OK
    std::function<void(QMenuBar*)> extend_menu;  // adds menus after Help (the Simulation menu)
    std::chrono::microseconds poll_second{0};  // the worker's second; 0: the link's
    // Polling worker's thread: each answered poll while this process holds
    // the unit (not attached to another holder) and recording is on.
    std::function<void(const PollSnapshot&)> record;
    bool recording = true;                        // the Record Readings entry at start
    std::function<void(bool)> recording_changed;  // the entry toggled
    // Why the polls are not being recorded (the store cannot be written);
    // "" while they are. Any thread.
    std::function<std::string()> recording_trouble;
    std::function<void()> open_trends;            // the Trends command; no entry without it
    // The unit's name in the alarm log ("" gives "unit"); the log is written
    // only while this process holds the unit.
    std::string unit_name;
  };

  // watcher may be nullptr (no notifications).
  CMyNorvoDlg(Unit& unit, DeviceWatcher* watcher, Options options, QWidget* parent = nullptr);
  ~CMyNorvoDlg() override;

  // Stops the polling worker and the reader thread, in this order of effect:
  // the link stops first so that a cycle in progress ends without waiting.
  void Shutdown();

  // A menu command's dialog: later parts of the program plug theirs in here.
  void SetCommandHandler(int command_id, CommandHandler handler);

  // The device-change rule: arrival while disconnected or removal while
  // connected re-opens the unit; any HID interface triggers it.
  void OnDeviceChange(bool arrived);

  // Runs one menu command as the menu does: busy flag, up to 3 s for a
  // running poll to end (waited on the background thread, the window keeps
  // serving its events), then the dialog. Returns at once; InCommand() is
  // true until the command has ended. Sync Time asks its question first and
  // waits for the poll itself.
  void RunCommand(int command_id);
  bool InCommand() const { return in_command_; }
  bool Recording() const { return recording_.load(); }
  // Ends the running command: polling may go on.
  void EndCommand();

  Unit& TheUnit() { return unit_; }
  const PollSnapshot& LastPoll() const { return last_poll_; }
  MonitorView* View() const { return view_; }
  // The right pane: "Connected" or "Unconnected".
  QString StatusText() const;
  // The left pane: why the unit is not connected, a channel in alarm ("CH3
  // above 35.0 °C since 14:02"), or the time of the last good poll (and the
  // process the unit is reached through), in full; the pane shows what fits
  // of it (FitNote), the tooltip all of it.
  QString NoteText() const;
  // The alarms that last, as the last poll left them (user-interface thread).
  const std::vector<AlarmRecord>& ActiveAlarms() const { return active_alarms_; }
  class DesktopNotifier* Notifier() const { return notifier_; }
  const std::filesystem::path& DataFolder() const { return options_.data_folder; }

 signals:
  // Emitted on the user-interface thread after each poll cycle's copy arrived.
  void Polled();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildStatusBar();
  void SetConnectedText();
  // note: the time of the last reading or why there is none; via: the
  // process the unit is reached through, "" when this one holds it.
  void SetNote(const QString& note, const QString& via);
  void ReopenUnit();
  void OnPolled(const PollSnapshot& snapshot);
  // Polling worker: the alarm evaluation and, while this process holds the
  // unit, the alarm log. What changed goes to the user-interface thread.
  void EvaluateAlarms(const PollSnapshot& snapshot);
  // User-interface thread: panels, status bar and notifications.
  void ShowAlarms(const std::vector<AlarmEvent>& events, std::vector<AlarmRecord> active);
  void ShowAbout();

  Unit& unit_;
  DeviceWatcher* watcher_;
  Options options_;
  MonitorView* view_ = nullptr;
  QTimer* retry_ = nullptr;          // re-opens while another process holds the unit
  QString last_good_poll_;           // "Last reading hh:mm:ss" and the age of unanswered reads
  QString note_;                     // the left pane's whole text
  std::optional<std::chrono::system_clock::time_point> last_live_;  // the last answered live read
  QLabel* pane0_ = nullptr;
  QLabel* pane1_ = nullptr;
  PollSnapshot last_poll_;          // user-interface thread only
  std::vector<AlarmRecord> active_alarms_;  // user-interface thread only
  class DesktopNotifier* notifier_ = nullptr;
  std::unique_ptr<AlarmTracker> alarm_tracker_;   // polling worker only
  std::unique_ptr<AlarmLogWriter> alarm_log_;     // polling worker only
  bool alarm_log_failing_ = false;                // polling worker only
  std::map<int, CommandHandler> handlers_;
  std::atomic<bool> repaint_queued_{false};  // set by the worker, cleared by the window
  std::atomic<bool> recording_{true};        // set by the window, read by the worker
  bool in_command_ = false;
  bool shut_down_ = false;
  bool open_failure_shown_ = false;
  QString holder_shown_;  // the holder's message last shown whole in a box
};

// The application's icon, drawn once.
QIcon AppIcon();

// The left status pane's text in room pixels: note and via joined by a dash;
// what does not fit is elided, the start of via first (its "(process N)"
// stays whole), then the end of note.
QString FitNote(const QFontMetrics& metrics, int room, const QString& note, const QString& via);

}  // namespace norvo
