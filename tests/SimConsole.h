#pragma once
// The console's main window against a simulated unit, for the GUI tests: the
// unit, its transport, the link and the window, a count of the poll copies
// that reached the window, and an empty data folder.

#include <gtest/gtest.h>

#include <QObject>
#include <QTemporaryDir>
#include <memory>

#include "QtTestSupport.h"
#include "simui/SimWatcher.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo::testing {

struct SimConsole : ::testing::Test, SimRig {
  explicit SimConsole(sim::SimUnit::Options options) : SimRig(options) {}

  // Starts the window in a language, with the link's waits scaled; options
  // get the data folder filled in. With hotplug the window hears the unit's
  // plug and unplug events.
  void Launch(int language, double time_scale, CMyNorvoDlg::Options options = {}, bool hotplug = false) {
    LoadUIStrings(language);
    UnitSession::Options session_options = UnitSession::SessionOptions(time_scale);
    session_options.lock_folder = data.path().toStdString();  // a lock of this test's own
    session = std::make_unique<UnitSession>(transport, data.path().toStdString(), session_options);
    unit.SetTimeScale(time_scale);
    if (hotplug) watcher = std::make_unique<SimWatcher>(transport);
    options.data_folder = data.path().toStdString();
    window = std::make_unique<CMyNorvoDlg>(*session, watcher.get(), options);
    QObject::connect(window.get(), &CMyNorvoDlg::Polled, [this] { ++polled; });
  }

  void TearDown() override {
    window.reset();
    session.reset();
    LoadUIStrings(kLanguageEnglish);
  }

  // Runs a menu command and waits until it has ended (its dialog closed, its
  // work on the background thread done).
  bool RunAndWait(int command_id, int timeout_ms = 30000) {
    window->RunCommand(command_id);
    return WaitFor([&] { return !window->InCommand(); }, timeout_ms);
  }

  // Waits for n polls that began after this call. The window hears the
  // worker's cycles in order, one each, so the count of copies it has taken
  // is the number of the cycle; the cycle on the wire now may have read the
  // unit before the caller's change, and copies of earlier ones may still
  // wait in the queue behind a slow window.
  bool WaitForPolls(int n, int timeout_ms = 3000) {
    const int target = session->PollCount() + 1 + n;
    return WaitFor([&] { return polled >= target; }, timeout_ms);
  }

  std::unique_ptr<UnitSession> session;
  std::unique_ptr<SimWatcher> watcher;
  std::unique_ptr<CMyNorvoDlg> window;
  QTemporaryDir data;
  int polled = 0;  // poll copies that reached the window
};

}  // namespace norvo::testing
