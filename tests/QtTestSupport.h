#pragma once
// Helpers for GUI tests: wait for a condition while the event loop runs, find
// controls by objectName, save screenshots into the build folder.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
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

// What a German window still shows in English, or cuts off: each problem as
// "<object>: <text>". Labels, buttons, group titles, column titles, menus and
// their key names, and the window title are looked at.
inline QStringList EnglishOrClipped(QWidget* root) {
  static const QRegularExpression english(
      "\\b(Temperature|Humidity|Save|Exit|Cancel|Select|Delete|Interval|Minute|Units|Time|File|Size|Export|Reset|"
      "High|Low|Language|Calibration|Setup|Unit|unit|Close|Yes|No|Apply|Help|Quit|Connected|Unconnected|Ctrl|Last|"
      "reading|found|answer|Sync)\\b");
  QStringList problems;
  const auto check = [&](const QWidget* w, QString text, int room) {
    text.remove('&');
    if (text.isEmpty()) return;
    const QString who = w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName();
    if (english.match(text).hasMatch()) problems << who + ": " + text;
    for (const QString& line : text.split('\n')) {
      if (room >= 0 && w->fontMetrics().horizontalAdvance(line) > room) problems << who + " (clipped): " + line;
    }
  };
  check(root, root->windowTitle(), -1);
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(root)) continue;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      check(w, label->text(), label->wordWrap() ? -1 : label->contentsRect().width());
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      check(w, button->text(), -1);
      if (button->sizeHint().width() > button->width() + 1) problems << w->objectName() + " (clipped): " + button->text();
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      check(w, group->title(), -1);
    } else if (auto* header = qobject_cast<QHeaderView*>(w); header && header->orientation() == Qt::Horizontal) {
      for (int i = 0; i < header->count(); ++i) {
        const QString title = header->model()->headerData(i, Qt::Horizontal).toString();
        check(w, title, header->isSectionHidden(i) ? -1 : header->sectionSize(i) - 8);
      }
    } else if (auto* bar = qobject_cast<QMenuBar*>(w)) {
      for (QAction* menu : bar->actions()) {
        check(w, menu->text(), -1);
        if (menu->menu() == nullptr) continue;
        for (QAction* a : menu->menu()->actions()) {
          check(w, a->text() + " " + a->shortcut().toString(QKeySequence::NativeText), -1);
        }
      }
    }
  }
  return problems;
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
