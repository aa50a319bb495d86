#pragma once
// Helpers for GUI tests: wait for a condition while the event loop runs, find
// controls by objectName, save screenshots into the build folder.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>

namespace norvo::testing {

// Runs the event loop until pred() is true or timeout_ms passed.
template <class F>
bool WaitFor(F pred, int timeout_ms = 3000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeout_ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Grabs a widget (with its frame-less client content) into build/screenshots.
inline QString SaveScreenshot(QWidget* widget, const QString& name) {
  QDir().mkpath("screenshots");
  const QString path = QDir("screenshots").absoluteFilePath(name + ".png");
  widget->grab().save(path);
  return path;
}

}  // namespace norvo::testing
