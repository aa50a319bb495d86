#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <ctime>

#include "DesktopNotifier.h"
#include "DeviceWatcher.h"
#include "Format.h"
#include "MonitorView.h"
#include "device/Frames.h"
#include "settings/DataFolder.h"
#include "res/Strings.h"
#include "ui/UiHelpers.h"

namespace norvo {
namespace {

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The status bar's own margins and spacing beside its two panes, and the
// room a pane leaves beside its text.
constexpr int kStatusBarMargins = 12;
constexpr int kPaneSlack = 8;

}  // namespace

QIcon AppIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(180, 20, 180));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(13, 5, 6, 17), 3, 3);
  p.drawEllipse(QPointF(16, 23), 5.5, 5.5);
  p.setBrush(QColor(220, 30, 30));
  p.drawRect(QRectF(14.5, 12, 3, 10));
  p.drawEllipse(QPointF(16, 23), 3.5, 3.5);
  return QIcon(pixmap);
}

CMyNorvoDlg::CMyNorvoDlg(Unit& unit, DeviceWatcher* watcher, Options options, QWidget* parent)
    : QMainWindow(parent), unit_(unit), watcher_(watcher), options_(std::move(options)) {
  setWindowTitle(Q(kAppTitle));
  setWindowIcon(AppIcon());
  // Qt's own buttons and key names follow the string table's language.
  if (!UseQtTranslations(LoadedLanguage())) qWarning("Qt's German translation (qtbase_de.qm) was not found");
  FitMessageBoxTitles();

  recording_.store(options_.recording);
  unit_.Open();

  BuildMenu();

  auto* central = new QWidget(this);
  central->setFixedSize(485, 460);
  view_ = new MonitorView([this] { return unit_.UnitFlag(); }, central);
  view_->move(0, 0);
  setCentralWidget(central);

  retry_ = new QTimer(this);
  retry_->setInterval(2000);
  connect(retry_, &QTimer::timeout, this, &CMyNorvoDlg::ReopenUnit);
  BuildStatusBar();
  if (watcher_) connect(watcher_, &DeviceWatcher::DeviceChanged, this, &CMyNorvoDlg::OnDeviceChange);

  notifier_ = new DesktopNotifier(this);
  alarm_tracker_ = std::make_unique<AlarmTracker>(options_.unit_name.empty() ? "unit" : options_.unit_name);
  alarm_log_ = std::make_unique<AlarmLogWriter>((options_.data_folder / kDatabaseFile).string());
  unit_.StartPolling(
      [this](const PollSnapshot& snapshot) {
        // Recorded here, on the worker, whatever the window is busy with; a
        // console attached to another holder leaves it to the holder.
        if (options_.record && snapshot.live_read && recording_.load() && unit_.Via().empty()) options_.record(snapshot);
        QMetaObject::invokeMethod(this, [this, snapshot] { OnPolled(snapshot); }, Qt::QueuedConnection);
        EvaluateAlarms(snapshot);
      },
      [this] {
        // At most one repaint request waits in the queue, however slow the
        // window is to serve it.
        if (repaint_queued_.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this] {
              repaint_queued_.store(false);
              view_->update();
            },
            Qt::QueuedConnection);
      },
      options_.poll_second);
}

CMyNorvoDlg::~CMyNorvoDlg() { Shutdown(); }

void CMyNorvoDlg::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  if (retry_) retry_->stop();
  unit_.Stop();
  // Work queued for the unit ends at once now: the session is stopped.
  background::Stop();
}

void CMyNorvoDlg::closeEvent(QCloseEvent* event) {
  Shutdown();
  event->accept();
}

void CMyNorvoDlg::BuildMenu() {
  const MenuTexts& m = Menu();
  // Alt+M opens the menu; Ctrl+1 to Ctrl+6 run its commands, Ctrl+Q quits.
  QMenu* menu = menuBar()->addMenu("&" + Q(m.menu));
  menu->setObjectName("131");
  const std::pair<int, std::string_view> items[] = {
      {command::kSetup, m.setup},         {command::kAlarm, m.alarm},         {command::kCalibration, m.calibration},
      {command::kSdCard, m.sd_card},      {command::kSyncTime, m.sync_time},  {command::kLanguage, m.language}};
  int key = Qt::Key_1;
  for (const auto& [id, text] : items) {
    QAction* action = menu->addAction(Q(text));
    action->setObjectName(QString::number(id));
    action->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(key++)));
    connect(action, &QAction::triggered, this, [this, id = id] { RunCommand(id); });
  }
  // Trends and the recording switch, where the application gives them.
  const TrendsTexts& t = Trends();
  if (options_.open_trends || options_.record) menu->addSeparator();
  if (options_.open_trends) {
    QAction* trends = menu->addAction(Q(t.trends));
    trends->setObjectName("trends");
    trends->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_7));
    connect(trends, &QAction::triggered, this, [this] { options_.open_trends(); });
  }
  if (options_.record) {
    QAction* record = menu->addAction(Q(t.record));
    record->setObjectName("record");
    record->setCheckable(true);
    record->setChecked(recording_.load());
    connect(record, &QAction::toggled, this, [this](bool on) {
      recording_.store(on);
      if (options_.recording_changed) options_.recording_changed(on);
    });
  }
  menu->addSeparator();
  QAction* quit = menu->addAction(Q(UIString(ui::kQuit)));
  quit->setObjectName("quit");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &QWidget::close);
  // Linux has no window system menu to extend: the About entry lives under Help.
  QMenu* help = menuBar()->addMenu(Q(UIString(ui::kHelpMenu)));
  QAction* about = help->addAction(Q(m.about));
  about->setObjectName(QString::number(command::kAbout));
  connect(about, &QAction::triggered, this, &CMyNorvoDlg::ShowAbout);

  if (options_.extend_menu) options_.extend_menu(menuBar());
}

void CMyNorvoDlg::BuildStatusBar() {
  QFont font("Arial");
  font.setPixelSize(13);  // height 15 as the window system measures a font cell
  QStatusBar* bar = statusBar();
  bar->setSizeGripEnabled(false);
  bar->setFont(font);
  bar->setFixedHeight(22);
  bar->setStyleSheet("QStatusBar { background: rgb(180, 20, 180); } QStatusBar::item { border: none; }");
  // The right pane is as wide as the longer of its two texts (at least 100);
  // the left one has the rest of the window's width, so that the holder's
  // process number fits beside the time of the last reading.
  const QFontMetrics metrics(font);
  const int state_width =
      std::max({100, metrics.horizontalAdvance(QString::fromStdString(UIString(ui::kConnected))) + kPaneSlack,
                metrics.horizontalAdvance(QString::fromStdString(UIString(ui::kUnconnected))) + kPaneSlack});
  pane0_ = new QLabel(bar);
  pane0_->setObjectName("pane0");
  pane0_->setFixedWidth(centralWidget()->width() - state_width - kStatusBarMargins);
  pane1_ = new QLabel(bar);
  pane1_->setObjectName("pane1");
  pane1_->setMinimumWidth(state_width);
  pane0_->setFont(font);
  pane1_->setFont(font);
  bar->addWidget(pane0_);
  bar->addWidget(pane1_, 1);
  SetConnectedText();
}

void CMyNorvoDlg::SetConnectedText() {
  const bool connected = unit_.Connected();
  pane1_->setText(QString::fromStdString(UIString(connected ? ui::kConnected : ui::kUnconnected)));
  if (connected) {
    // Through which process the unit is reached, when another one owns it.
    const QString via = QString::fromStdString(unit_.Via());
    SetNote(last_good_poll_, via);
    // A channel in alarm takes the pane; the tooltip lists every alarm and
    // what the pane said before.
    if (!active_alarms_.empty()) {
      const int unit = unit_.UnitFlag();
      QString text = QString::fromStdString(AlarmStatusText(active_alarms_.front(), unit));
      if (active_alarms_.size() > 1) {
        text += " " + Q(AlarmExtras().more).replace("%1", QString::number(active_alarms_.size() - 1));
      }
      QStringList all;
      for (const AlarmRecord& r : active_alarms_) all << QString::fromStdString(AlarmStatusText(r, unit));
      all << note_;
      note_ = text;
      pane0_->setText(pane0_->fontMetrics().elidedText(text, Qt::ElideRight, pane0_->maximumWidth()));
      pane0_->setToolTip(all.join("\n"));
      pane0_->setStyleSheet("QLabel { color: rgb(255, 235, 60); font-weight: bold; }");
    } else if (!pane0_->styleSheet().isEmpty()) {
      pane0_->setStyleSheet(QString());
    }
  } else {
    SetNote(QString::fromStdString(unit_.StateMessage()), {});
  }
  // Another process holds the unit: try again until it lets go.
  if (unit_.State() == OpenState::kInUse) {
    if (!retry_->isActive()) retry_->start();
  } else {
    retry_->stop();
  }
  // Why another process keeps the unit, when the pane cannot show it whole
  // (the logging service and what to do, an untrusted holder): once, whole,
  // in a box; the pane keeps its beginning and the tooltip all of it.
  if (!connected && unit_.State() == OpenState::kInUse && isVisible() && note_ != holder_shown_ &&
      pane0_->text() != note_) {
    holder_shown_ = note_;
    auto* box = new QMessageBox(QMessageBox::Information, Q(kAppTitle), holder_shown_, QMessageBox::Ok, this);
    box->setObjectName("unit-held");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  if (unit_.State() == OpenState::kOpenFailed && !open_failure_shown_) {
    // Once per run: the first start on a machine without the udev rule.
    open_failure_shown_ = true;
    auto* box = new QMessageBox(QMessageBox::Warning, Q(kAppTitle), QString::fromStdString(unit_.StateMessage()),
                                QMessageBox::Ok, this);
    box->setObjectName("open-failure");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
}

QString CMyNorvoDlg::StatusText() const { return pane1_->text(); }
QString CMyNorvoDlg::NoteText() const { return note_; }

void CMyNorvoDlg::SetNote(const QString& note, const QString& via) {
  const QString separator = " \u2013 ";
  note_ = via.isEmpty() ? note : note.isEmpty() ? via : note + separator + via;
  pane0_->setToolTip(note_);
  pane0_->setText(FitNote(pane0_->fontMetrics(), pane0_->maximumWidth(), note, via));
}

QString FitNote(const QFontMetrics& metrics, int room, const QString& note, const QString& via) {
  const QString separator = " \u2013 ";
  if (via.isEmpty()) return metrics.elidedText(note, Qt::ElideRight, room);
  if (note.isEmpty()) return metrics.elidedText(via, Qt::ElideLeft, room);
  if (metrics.horizontalAdvance(note + separator + via) <= room) return note + separator + via;
  // Too long: "through PROGRAM" gives way from its start, so the holder's
  // process number stays whole; only then is the note itself shortened.
  const QString holder = via.mid(std::max<qsizetype>(0, via.lastIndexOf('(')));
  const int via_room = std::max(room - metrics.horizontalAdvance(note + separator),
                                metrics.horizontalAdvance(QString(QChar(0x2026)) + holder) + 1);
  const QString shown_via = metrics.elidedText(via, Qt::ElideLeft, via_room);
  return metrics.elidedText(note, Qt::ElideRight, room - metrics.horizontalAdvance(separator + shown_via)) + separator +
         shown_via;
}

void CMyNorvoDlg::ReopenUnit() {
  if (shut_down_ || unit_.Connected()) return;
  unit_.Open();
  SetConnectedText();
}

void CMyNorvoDlg::OnDeviceChange(bool arrived) {
  const bool connected = unit_.Connected();
  if (!((arrived && !connected) || (!arrived && connected))) {
    // The link may have seen the unit go before this event came: the panes
    // and panels still follow.
    if (!connected) view_->SetReadings(LiveReadings{});
    SetConnectedText();
    return;
  }
  if (unit_.Open() == OpenState::kOpened) {
    SetConnectedText();
    return;
  }
  // Lost: every channel shows "--" (the session lets any sender waiting for
  // an answer go on).
  view_->SetReadings(LiveReadings{});
  last_good_poll_.clear();
  last_live_.reset();
  SetConnectedText();
}

void CMyNorvoDlg::OnPolled(const PollSnapshot& snapshot) {
  last_poll_ = snapshot;
  // A live read the unit left unanswered keeps the last values (the session
  // hands them on); the status bar says how old they are.
  view_->SetReadings(snapshot.live);
  if (snapshot.live_read) last_live_ = snapshot.time;
  if (last_live_) {
    const std::time_t t = std::chrono::system_clock::to_time_t(*last_live_);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    last_good_poll_ = Q(UIString(ui::kLastReading)) + " " + text;
    if (!snapshot.live_read) {
      const auto age = std::chrono::duration_cast<std::chrono::seconds>(snapshot.time - *last_live_).count();
      last_good_poll_ += Q(UIString(ui::kNoAnswerFor)).arg(age);
    }
    if (options_.recording_trouble && recording_.load() && unit_.Via().empty()) {
      if (const std::string trouble = options_.recording_trouble(); !trouble.empty()) {
        last_good_poll_ += Q(UIString(ui::kNotRecorded)).arg(QString::fromStdString(trouble));
      }
    }
  }
  SetConnectedText();
  const int unit = unit_.UnitFlag();
  std::string line = "poll " + std::to_string(unit_.PollCount()) + ":";
  for (int k = 0; k < kChannels; ++k) {
    line += " CH" + std::to_string(k + 1) + " " + FormatTemperature(snapshot.live.temperature[k], kFullText, unit);
  }
  qInfo("%s", line.c_str());
  emit Polled();
}

void CMyNorvoDlg::EvaluateAlarms(const PollSnapshot& snapshot) {
  AlarmTracker::Outcome out = alarm_tracker_->Poll(snapshot);
  // Only the holder records: a console attached to serve leaves it to serve.
  if (unit_.Via().empty() && (!out.rows.empty() || out.facts || alarm_log_->Waiting())) {
    std::string error;
    const bool ok = alarm_log_->Write(std::move(out.rows), std::move(out.facts), &error);
    if (!ok && !alarm_log_failing_) qWarning("cannot write the alarm log, keeping it and trying again: %s", error.c_str());
    alarm_log_failing_ = !ok;
  }
  if (out.events.empty()) return;
  QMetaObject::invokeMethod(
      this, [this, events = std::move(out.events), active = alarm_tracker_->Active()] { ShowAlarms(events, active); },
      Qt::QueuedConnection);
}

void CMyNorvoDlg::ShowAlarms(const std::vector<AlarmEvent>& events, std::vector<AlarmRecord> active) {
  active_alarms_ = std::move(active);
  MonitorView::AlarmMarks marks;
  for (const AlarmRecord& r : active_alarms_) {
    auto& row = r.quantity == AlarmQuantity::kTemperature ? marks.temperature : marks.humidity;
    row[static_cast<std::size_t>(r.channel - 1)] = true;
  }
  view_->SetAlarms(marks);
  SetConnectedText();
  const int unit = unit_.UnitFlag();
  for (const AlarmEvent& e : events) {
    const AlarmMessage m = AlarmNotification(e, unit);
    qInfo("alarm: %s: %s", m.title.c_str(), m.body.c_str());
    notifier_->Notify(QString::fromStdString(m.title), QString::fromStdString(m.body), e.kind == AlarmEvent::kEnter);
  }
}

void CMyNorvoDlg::ShowAbout() {
  QMessageBox box(this);
  box.setWindowTitle(Q(kAboutTitle));
  box.setText(Q(kAboutText));
  box.setIconPixmap(AppIcon().pixmap(32, 32));
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

void CMyNorvoDlg::SetCommandHandler(int command_id, CommandHandler handler) {
  handlers_[command_id] = std::move(handler);
}

void CMyNorvoDlg::RunCommand(int command_id) {
  if (in_command_ || shut_down_) return;
  const auto found = handlers_.find(command_id);
  if (found == handlers_.end()) return;
  in_command_ = true;
  // Busy first, so that no new cycle starts while we wait for a running one.
  unit_.SetBusy(true);
  const CommandHandler handler = found->second;
  const auto run = [this, command_id, handler] {
    if (shut_down_) return EndCommand();
    const int result = handler(this);
    if (command_id == command::kLanguage && result == QDialog::Accepted && options_.restart) {
      options_.restart();
    }
    EndCommand();
  };
  // Sync Time asks first and waits for the poll itself; its handler ends the
  // command (EndCommand) when its message has been shown.
  if (command_id == command::kSyncTime) {
    handler(this);
    return;
  }
  // A cycle still running after 3 s does not block the command: the
  // session's sequence lock keeps the two apart on the wire.
  Unit& unit = unit_;
  const auto wait = std::chrono::microseconds(static_cast<std::int64_t>(3'000'000 * unit.TimeScale()));
  RunAsync(this, [&unit, wait] { unit.WaitPollIdle(wait); }, run);
}

void CMyNorvoDlg::EndCommand() {
  unit_.SetBusy(false);
  in_command_ = false;
}

}  // namespace norvo
