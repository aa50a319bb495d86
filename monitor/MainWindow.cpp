#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStatusBar>
#include <QVBoxLayout>
#include <chrono>

#include "DeviceWatcher.h"
#include "Format.h"
#include "MonitorView.h"
#include "device/Frames.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

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

CMyNorvoDlg::CMyNorvoDlg(DeviceLink& link, DeviceWatcher* watcher, Options options, QWidget* parent)
    : QMainWindow(parent),
      link_(link),
      watcher_(watcher),
      options_(std::move(options)),
      poller_(
          link_, store_,
          [this](const PollSnapshot& snapshot) {
            QMetaObject::invokeMethod(this, [this, snapshot] { OnPolled(snapshot); }, Qt::QueuedConnection);
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
          }) {
  setWindowTitle(Q(kAppTitle));
  setWindowIcon(AppIcon());

  store_.AddPermissionReader(&permission_);
  link_.SetReportHandler([this](const Payload& payload, int count) { dispatcher_.Dispatch(payload, count); });
  link_.OpenDevice();

  BuildMenu();

  auto* central = new QWidget(this);
  central->setFixedSize(485, 460);
  view_ = new MonitorView([this] { return link_.UnitFlag(); }, central);
  view_->move(0, 0);
  setCentralWidget(central);

  BuildStatusBar();

  if (watcher_) connect(watcher_, &DeviceWatcher::DeviceChanged, this, &CMyNorvoDlg::OnDeviceChange);

  if (options_.poll_second.count() > 0) poller_.SetSecond(options_.poll_second);
  poller_.Start();
}

CMyNorvoDlg::~CMyNorvoDlg() { Shutdown(); }

void CMyNorvoDlg::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  link_.Stop();
  poller_.Stop();
}

void CMyNorvoDlg::closeEvent(QCloseEvent* event) {
  Shutdown();
  event->accept();
}

void CMyNorvoDlg::BuildMenu() {
  const MenuTexts& m = Menu();
  QMenu* menu = menuBar()->addMenu(Q(m.menu));
  menu->setObjectName("131");
  const std::pair<int, std::string_view> items[] = {
      {command::kSetup, m.setup},         {command::kAlarm, m.alarm},         {command::kCalibration, m.calibration},
      {command::kSdCard, m.sd_card},      {command::kSyncTime, m.sync_time},  {command::kLanguage, m.language}};
  for (const auto& [id, text] : items) {
    QAction* action = menu->addAction(Q(text));
    action->setObjectName(QString::number(id));
    connect(action, &QAction::triggered, this, [this, id = id] { RunCommand(id); });
  }
  // Linux has no window system menu to extend: the About entry lives under Help.
  QMenu* help = menuBar()->addMenu(LoadedLanguage() == kLanguageGerman ? "&Hilfe" : "&Help");
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
  pane0_ = new QLabel(bar);
  pane0_->setObjectName("pane0");
  pane0_->setFixedWidth(310);
  pane1_ = new QLabel(bar);
  pane1_->setObjectName("pane1");
  pane1_->setMinimumWidth(100);
  pane0_->setFont(font);
  pane1_->setFont(font);
  bar->addWidget(pane0_);
  bar->addWidget(pane1_, 1);
  SetConnectedText();
}

void CMyNorvoDlg::SetConnectedText() {
  pane1_->setText(QString::fromStdString(UIString(link_.Connected() == 1 ? 233 : 232)));
}

QString CMyNorvoDlg::StatusText() const { return pane1_->text(); }

void CMyNorvoDlg::OnDeviceChange(bool arrived) {
  const int connected = link_.Connected();
  if (!((arrived && connected == 0) || (!arrived && connected == 1))) return;
  if (link_.OpenDevice() == 1) {
    SetConnectedText();
    return;
  }
  SetConnectedText();
  // Lost: every channel shows "--" and any sender waiting for an answer goes on.
  store_.FillBlock(response::kLive, 0xFF);
  view_->SetReadings(DecodeLiveReadings(store_.Block(response::kLive)));
  link_.ExchangeEvent().Set();
}

void CMyNorvoDlg::OnPolled(const PollSnapshot& snapshot) {
  last_poll_ = snapshot;
  view_->SetReadings(snapshot.live);
  const int unit = link_.UnitFlag();
  std::string line = "poll " + std::to_string(poller_.PollCount()) + ":";
  for (int k = 0; k < kChannels; ++k) {
    line += " CH" + std::to_string(k + 1) + " " + FormatTemperature(snapshot.live.temperature[k], kFullText, unit);
  }
  qInfo("%s", line.c_str());
  emit Polled();
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

void CMyNorvoDlg::WaitForPollLock() {
  // Up to 3 s for a running poll cycle to end; the window keeps serving
  // events meanwhile. A cycle still running then does not block the command.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(link_.Scaled(3000));
  while (!poller_.PollLock().Wait(std::chrono::milliseconds(10)) && Clock::now() < deadline) {
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  poller_.PollLock().Reset();
  poller_.PollLock().Set();
}

void CMyNorvoDlg::RunCommand(int command_id) {
  if (in_command_) return;
  const auto handler = handlers_.find(command_id);
  if (handler == handlers_.end()) return;
  in_command_ = true;
  // Busy first, so that no new cycle starts while we wait for a running one.
  poller_.SetBusy(true);
  WaitForPollLock();
  if (command_id == command::kSdCard) dispatcher_.SetListReceiver(true);
  const int result = handler->second(this);
  if (command_id == command::kSdCard) dispatcher_.SetListReceiver(false);
  if (command_id == command::kLanguage && result == QDialog::Accepted && options_.restart) {
    options_.restart();
  }
  poller_.SetBusy(false);
  in_command_ = false;
}

}  // namespace norvo
