#pragma once
// Helpers for GUI tests: wait for a condition while the event loop runs, find
// controls by objectName, save screenshots into the build folder.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QString>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "support/TestSupport.h"

namespace norvo::testing {

// Runs the event loop until pred() is true or timeout_ms passed.
template <class F>
bool WaitFor(F pred, int timeout_ms = 3000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeout_ms * kSlowdown) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Grabs a widget (its client content, without the window frame) into the
// build folder's screenshots/.
inline QString SaveScreenshot(QWidget* widget, const QString& name) {
  const QDir dir(NORVO_SCREENSHOT_DIR);
  dir.mkpath(".");
  const QString path = dir.absoluteFilePath(name + ".png");
  widget->grab().save(path);
  return path;
}

// Answers every message box that comes up: records its text and presses
// `answer` (or the default button when the box has no such button).
class MessageBoxes : public QObject {
 public:
  MessageBoxes() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, this, &MessageBoxes::Poll);
    timer_.start();
  }
  QStringList texts;
  QMessageBox::StandardButton answer = QMessageBox::Ok;

 private:
  void Poll() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box == nullptr || !box->isVisible()) continue;
      texts << box->text();
      QAbstractButton* button = box->button(answer);
      if (button == nullptr) button = box->defaultButton();
      if (button) button->click();
    }
  }
  QTimer timer_;
};

// Calls act(dialog) once, when the dialog named `name` is up and its work
// (a read or list on the background thread: property "busy") has ended.
inline void OnDialog(const QString& name, std::function<void(QDialog*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, name, act] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QDialog*>(w);
      if (dialog && dialog->objectName() == name && dialog->isVisible() && !dialog->property("busy").toBool()) {
        timer->stop();
        timer->deleteLater();
        act(dialog);
        return;
      }
    }
  });
  timer->start();
}

// Waits until a dialog's work on the background thread has ended (or the
// dialog has gone).
inline bool WaitIdle(QWidget* dialog, int timeout_ms = 20000) {
  QPointer<QWidget> guard(dialog);
  return WaitFor([&] { return !guard || !guard->isVisible() || !guard->property("busy").toBool(); }, timeout_ms);
}

template <class T>
T* Child(QWidget* parent, int id) {
  return parent->findChild<T*>(QString::number(id));
}

}  // namespace norvo::testing
