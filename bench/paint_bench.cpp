// One frame of the main window's panels painted, against painting an empty
// widget of the same size; and the start-up time to the first paint of the
// main window, against an empty window's first paint. Meant for a real X
// server: run it under Xvfb (xvfb-run -a bench/paint_bench); without a
// display it falls back to the offscreen platform and says so.

#include <QTemporaryDir>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QPainter>
#include <cstdio>

#include "monitor/MainWindow.h"
#include "monitor/MonitorView.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

using namespace norvo;

namespace {

class FirstPaint : public QObject {
 public:
  bool painted = false;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) painted = true;
    return false;
  }
};

double WaitForFirstPaint(QWidget* w, QWidget* watched, const QElapsedTimer& clock) {
  FirstPaint probe;
  watched->installEventFilter(&probe);
  w->show();
  while (!probe.painted) QApplication::processEvents(QEventLoop::AllEvents, 1);
  watched->removeEventFilter(&probe);
  return clock.nsecsElapsed() / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QElapsedTimer process;
  process.start();
  QApplication app(argc, argv);
  const double app_ms = process.nsecsElapsed() / 1e6;

  // Start-up: an empty window first, then the console's main window.
  QElapsedTimer clock;
  clock.start();
  QWidget empty;
  empty.resize(485, 530);
  const double empty_first = WaitForFirstPaint(&empty, &empty, clock);

  LoadUIStrings(kLanguageEnglish);
  sim::SimUnit unit{sim::SimUnit::Options{.strict = false}};
  sim::SimTransport transport;
  transport.AddUnit(&unit, "sim:unit");
  QTemporaryDir folder;
  UnitSession::Options options;
  options.lock_folder = folder.path().toStdString();
  UnitSession session(transport, folder.path().toStdString(), options);
  clock.restart();
  auto* window = new CMyNorvoDlg(session, nullptr, {});
  const double ours_first = WaitForFirstPaint(window, window->View(), clock);

  // One frame.
  LiveReadings r;
  for (int k = 0; k < 7; ++k) {
    r.temperature[k] = 20.0f + k;
    r.humidity[k] = 40 + k;
  }
  window->View()->SetReadings(r);
  QImage target(480, 475, QImage::Format_RGB32);
  QWidget blank;
  blank.resize(480, 475);
  const int frames = 500;
  const auto time_frames = [&](QWidget* w) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < frames; ++i) w->render(&target);
    return t.nsecsElapsed() / 1e6 / frames;
  };
  time_frames(window->View());  // warm up fonts and caches
  const double frame = time_frames(window->View());
  const double blank_frame = time_frames(&blank);
  delete window;

  std::printf("platform: %s%s\n", qPrintable(QGuiApplication::platformName()),
              QGuiApplication::platformName() == "xcb" ? "" : " (not an X server: run under xvfb-run for real painting)");
  std::printf("QApplication construction: %.1f ms\n", app_ms);
  std::printf("start-up to first paint: ours %.1f ms; baseline (empty window to first paint) %.1f ms; ratio %.2f "
              "(goal: ours under 300 ms)\n",
              ours_first, empty_first, ours_first / empty_first);
  std::printf("one frame of the eight panels: %.3f ms; baseline (empty widget of the same size) %.3f ms; ratio %.2f "
              "(goal: under 2 ms)\n",
              frame, blank_frame, frame / blank_frame);
  return 0;
}
