#include "UiHelpers.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFontMetrics>
#include <QLayout>
#include <QHBoxLayout>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTranslator>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "res/Strings.h"

namespace norvo {

QString UiText(int id) { return QString::fromStdString(UIString(id)); }
QString Utf8(const std::string& text) { return QString::fromStdString(text); }

void ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(parent);
  box.setWindowTitle(QString::fromUtf8(kAppTitle.data(), static_cast<qsizetype>(kAppTitle.size())));
  box.setText(text);
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

namespace {

// Beside the title: the window manager's icon, its minimise, maximise and
// close buttons, and their padding (about 40 pixels each in common themes).
constexpr int kTitleBarChrome = 160;

// Widens each message box as it is shown, before it fixes its own size from
// its layout: the button row, which spans the box, gets the title's width.
class MessageBoxTitleFit : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr) return false;
    if (auto* buttons = box->findChild<QDialogButtonBox*>()) {
      const QMargins margins = box->contentsMargins() + box->layout()->contentsMargins();
      buttons->setMinimumWidth(TitleBarWidth(box) - margins.left() - margins.right());
    }
    return false;
  }
};

}  // namespace

int TitleBarWidth(const QWidget* window) {
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);  // title bars often are
  return QFontMetrics(font).horizontalAdvance(window->windowTitle()) + kTitleBarChrome;
}

void FitMessageBoxTitles() {
  static QPointer<MessageBoxTitleFit> filter;
  if (filter || QCoreApplication::instance() == nullptr) return;
  filter = new MessageBoxTitleFit(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(filter);
}

bool UseQtTranslations(int language_id) {
  static QTranslator* translator = nullptr;
  if (translator == nullptr) translator = new QTranslator(QCoreApplication::instance());
  QCoreApplication::removeTranslator(translator);
  if (language_id != kLanguageGerman) return true;
  if (!translator->load(QLocale(QLocale::German), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return false;
  }
  QCoreApplication::installTranslator(translator);
  return true;
}

QHBoxLayout* ButtonRow(QPushButton* save, QPushButton* exit) {
  save->setAutoDefault(false);
  exit->setAutoDefault(false);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(save);
  row->addWidget(exit);
  return row;
}

void SetTabChain(std::initializer_list<QWidget*> chain) { SetTabChain<std::initializer_list<QWidget*>>(chain); }

namespace background {
namespace {

struct Worker {
  std::mutex mutex;  // guards queue and stopped
  std::condition_variable wake;
  std::deque<std::function<void()>> queue;
  bool stopped = false;
  std::thread thread;

  ~Worker() { Finish(); }

  // Runs what is queued and joins the thread; a later Post starts a new one.
  void Finish() {
    {
      std::lock_guard lock(mutex);
      stopped = true;
      wake.notify_one();
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    std::lock_guard lock(mutex);
    stopped = false;
  }

  void Run() {
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return stopped || !queue.empty(); });
        if (queue.empty()) return;
        work = std::move(queue.front());
        queue.pop_front();
      }
      work();
    }
  }
};

Worker& TheWorker() {
  static Worker worker;
  return worker;
}

}  // namespace

void Post(std::function<void()> work) {
  Worker& w = TheWorker();
  std::lock_guard lock(w.mutex);
  if (!w.thread.joinable()) w.thread = std::thread([&w] { w.Run(); });
  w.queue.push_back(std::move(work));
  w.wake.notify_one();
}

void Stop() { TheWorker().Finish(); }

}  // namespace background

void BeginWait() { QApplication::setOverrideCursor(Qt::WaitCursor); }
void EndWait() { QApplication::restoreOverrideCursor(); }

}  // namespace norvo
