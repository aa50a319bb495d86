// The console executable's life on a real X server (Xvfb): a window manager's
// close ends the process and frees its lock, Ctrl+Q does the same, a language
// change leaves exactly one console, quit signals end it cleanly, and a stale,
// empty or foreign lock file never stops a start.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "settings/DataFolder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace norvo {
namespace {

using testing::ReadFile;
using testing::WaitUntil;

// What a start, an end or a window may take on a loaded machine: a bound, not a pause.
constexpr std::chrono::milliseconds kLoaded = 60s * testing::kSlowdown;

// A display of our own for the whole test binary.
class XServer {
 public:
  bool Start() {
    for (int n = 90 + ::getpid() % 400; n < 999; n += 7) {
      if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        continue;
      }
      display_ = ":" + QString::number(n);
      server_.start("Xvfb", {display_, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"});
      if (!server_.waitForStarted(5000)) return false;
      // Up when its socket is there; ended when the display was taken after all.
      const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(n);
      if (WaitUntil([&] { return fs::exists(socket) || server_.waitForFinished(50); }, kLoaded) &&
          server_.state() == QProcess::Running) {
        return true;
      }
      server_.kill();
      server_.waitForFinished();
    }
    return false;
  }
  ~XServer() {
    server_.terminate();
    if (!server_.waitForFinished(3000)) server_.kill();
  }
  const QString& Display() const { return display_; }

 private:
  QProcess server_;
  QString display_;
};

// One console process with a data folder and a runtime folder of its own.
struct Console {
  QTemporaryDir data, runtime;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QProcess process;

  explicit Console(const QString& display = {}) {
    env.insert("NORVO_DATA_DIR", data.path());
    env.insert("NORVO_RUNTIME_DIR", runtime.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("NORVO_TIME_SCALE", "0.2");
    // Under AddressSanitizer: libdbus's own leftovers at exit are not ours.
    env.insert("LSAN_OPTIONS", "suppressions=" NORVO_LSAN_SUPPRESSIONS);
    if (display.isEmpty()) {
      env.insert("QT_QPA_PLATFORM", "offscreen");
    } else {
      env.insert("QT_QPA_PLATFORM", "xcb");
      env.insert("DISPLAY", display);
    }
    process.setProcessEnvironment(env);
  }
  ~Console() {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  fs::path Lock() const { return fs::path(env.value("NORVO_RUNTIME_DIR").toStdString()) / "norvo.lock"; }
  // Started and running, its first polls done (the window is settled), and
  // holding its lock (its pid in the lock file) where it can.
  bool Start(bool holds_lock = true) {
    process.start(NORVO_EXECUTABLE, {"--simulate"});
    if (!process.waitForStarted(5000)) return false;
    const std::string pid = std::to_string(process.processId()) + "\n";
    QByteArray err;
    // (waitForFinished reads the pipes while it waits, and ends the wait when the console does.)
    return WaitUntil([&] {
             err += process.readAllStandardError();
             return ((!holds_lock || ReadFile(Lock()) == pid) && err.contains("poll 2:")) || process.waitForFinished(25);
           }, kLoaded) &&
           process.state() == QProcess::Running;
  }
  // Ended with status 0, its lock free again (unless a successor may have
  // taken it already). It ends in a fraction of a second; the deadline is for
  // a loaded two-core machine.
  void ExpectCleanEnd(bool lock_free = true) {
    // (waitForFinished is false for a process that has ended already.)
    const int limit = static_cast<int>(kLoaded.count());
    ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(limit))
        << "still running after being asked to quit: " << process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    if (lock_free) {
      EXPECT_EQ(ReadFile(Lock()), "");
    }
  }
};

// Runs a helper program and gives its standard output (empty when it had to be killed).
QString RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
  std::vector<std::string> argv = {program.toStdString()}, vars;
  for (const QString& a : args) argv.push_back(a.toStdString());
  for (const QString& v : env.toStringList()) vars.push_back(v.toStdString());
  const testing::Result r = testing::RunProgram(argv, {.env = vars}, kLoaded);
  return r.signal == SIGKILL ? QString() : QString::fromStdString(r.out).trimmed();
}

// The top-level windows of a process that are mapped, as xdotool finds them
// once there is one.
QStringList Windows(qint64 pid, const QProcessEnvironment& env) {
  const QStringList args = {"search", "--onlyvisible", "--pid", QString::number(pid)};
  QString out;
  WaitUntil([&] { return !(out = RunTool("xdotool", args, env)).isEmpty(); }, kLoaded);
  QStringList windows;
  // The simulated unit's tool window beside a dialog is not one of the console's.
  for (const QString& id : out.isEmpty() ? QStringList{} : out.split('\n')) {
    if (RunTool("xdotool", {"getwindowname", id}, env).trimmed() != "Simulation") windows << id;
  }
  return windows;
}

// What a window manager sends when the user clicks a window's close box or
// presses Alt+F4: WM_DELETE_WINDOW in a WM_PROTOCOLS client message.
bool SendDeleteWindow(const QString& display, std::uint32_t window) {
  xcb_connection_t* c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return false;
  }
  const auto atom = [c](const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return a;
  };
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = atom("WM_PROTOCOLS");
  event.data.data32[0] = atom("WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  // A round trip: the server has taken the event before the connection goes
  // (a request still unread when the client hangs up can be dropped).
  xcb_get_input_focus_reply_t* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
  const bool ok = focus != nullptr;
  free(focus);
  xcb_disconnect(c);
  return ok;
}

// Every running console whose data folder is `data`, by its environment.
std::vector<pid_t> ConsolesOf(const QString& data) {
  std::vector<pid_t> found;
  const std::string exe = fs::canonical(NORVO_EXECUTABLE).string();
  const std::string marker = "NORVO_DATA_DIR=" + data.toStdString();
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(entry.path() / "exe", ec).string() != exe) continue;
    // A zombie has no environment left: it has ended.
    const std::string environ = ReadFile(entry.path() / "environ");
    std::size_t at = 0;
    while (at < environ.size()) {
      const std::size_t end = environ.find('\0', at);
      if (environ.compare(at, (end == std::string::npos ? environ.size() : end) - at, marker) == 0) {
        found.push_back(static_cast<pid_t>(std::stol(name)));
        break;
      }
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  return found;
}

class OnDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (testing::FindProgram("Xvfb").empty() || testing::FindProgram("xdotool").empty()) return;
    server_ = new XServer;
    if (!server_->Start()) {
      delete server_;
      server_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr) GTEST_SKIP() << "no Xvfb or xdotool (tools/deps.sh installs them)";
  }
  static XServer* server_;
};
XServer* OnDesktop::server_ = nullptr;

TEST_F(OnDesktop, WindowManagerCloseEndsTheProcessAndFreesTheLock) {
  Console console(server_->Display());
  ASSERT_TRUE(console.Start());
  const QStringList windows = Windows(console.process.processId(), console.env);
  ASSERT_EQ(windows.size(), 1) << windows.join(' ').toStdString();
  ASSERT_TRUE(SendDeleteWindow(server_->Display(), windows[0].toUInt()));
  console.ExpectCleanEnd();

  // The next start gets the lock and a window.
  Console again(server_->Display());
  again.env.insert("NORVO_RUNTIME_DIR", console.runtime.path());
  again.env.insert("XDG_RUNTIME_DIR", console.runtime.path());
  again.process.setProcessEnvironment(again.env);
  ASSERT_TRUE(again.Start()) << again.process.readAllStandardError().toStdString();
  EXPECT_EQ(Windows(again.process.processId(), again.env).size(), 1);
}

TEST_F(OnDesktop, CtrlQEndsTheProcess) {
  Console console(server_->Display());
  ASSERT_TRUE(console.Start());
  const QStringList windows = Windows(console.process.processId(), console.env);
  ASSERT_EQ(windows.size(), 1);
  RunTool("xdotool", {"windowfocus", "--sync", windows[0], "key", "ctrl+q"}, console.env);
  console.ExpectCleanEnd();
}

// Language dialog (Ctrl+6), Deutsch, Save: the console starts anew in German
// and the old one is gone; exactly one runs.
TEST_F(OnDesktop, LanguageChangeLeavesExactlyOneConsole) {
  Console console(server_->Display());
  ASSERT_TRUE(console.Start());
  const QStringList windows = Windows(console.process.processId(), console.env);
  ASSERT_EQ(windows.size(), 1);
  RunTool("xdotool", {"windowfocus", "--sync", windows[0], "key", "ctrl+6"}, console.env);
  QStringList dialog;
  WaitUntil([&] { return (dialog = Windows(console.process.processId(), console.env)).size() >= 2; }, kLoaded);
  ASSERT_EQ(dialog.size(), 2) << "the Language dialog did not open";
  const QString language = dialog[0] == windows[0] ? dialog[1] : dialog[0];
  // The list has the focus: Deutsch is above English; Tab to Save, Space presses it.
  RunTool("xdotool", {"windowfocus", "--sync", language, "key", "Up", "Tab", "space"}, console.env);
  console.ExpectCleanEnd(/*lock_free=*/false);  // the new console may hold it already
  EXPECT_NE(ReadFile(fs::path(console.data.path().toStdString()) / "Main.ini").find("Language=Deutsch"),
            std::string::npos);

  // The old console is gone and any console it started has run its program
  // already: the new one takes the lock and shows its window, and no other runs.
  std::vector<pid_t> running;
  WaitUntil([&] {
    running = ConsolesOf(console.data.path());
    return running.size() == 1 && ReadFile(console.Lock()) == std::to_string(running[0]) + "\n";
  }, kLoaded);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(ReadFile(console.Lock()), std::to_string(running[0]) + "\n");
  EXPECT_EQ(Windows(running[0], console.env).size(), 1);
  EXPECT_EQ(ConsolesOf(console.data.path()).size(), 1u);
  // It ends on SIGTERM like any other.
  ::kill(running[0], SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return ConsolesOf(console.data.path()).empty(); }, kLoaded));
}

TEST(QuitSignals, EndTheConsoleCleanly) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    Console console;
    ASSERT_TRUE(console.Start());
    ::kill(static_cast<pid_t>(console.process.processId()), signal);
    console.ExpectCleanEnd();
  }
}

// Started under a file size limit (ulimit -f) with its log going to a file:
// the log outgrowing the limit does not kill the console.
TEST(QuitSignals, FileSizeLimitDoesNotEndTheConsole) {
  Console console;
  const QString log = console.data.filePath("console.log");
  console.process.setStandardErrorFile(log);
  console.process.setChildProcessModifier([] {
    rlimit small{200, 200};
    ::setrlimit(RLIMIT_FSIZE, &small);
  });
  console.process.start(NORVO_EXECUTABLE, {"--simulate"});
  ASSERT_TRUE(console.process.waitForStarted(5000));
  std::error_code ec;
  WaitUntil([&] { return fs::file_size(log.toStdString(), ec) >= 200 && !ec; }, kLoaded);
  EXPECT_EQ(fs::file_size(log.toStdString(), ec), 200u);
  // Later poll lines fail to be logged; the console runs on.
  EXPECT_FALSE(console.process.waitForFinished(1500)) << ReadFile(log.toStdString());
  ::kill(static_cast<pid_t>(console.process.processId()), SIGTERM);
  console.ExpectCleanEnd();
}

TEST(SingleInstance, SecondStartEndsAtOnceWhileTheFirstRuns) {
  Console first;
  ASSERT_TRUE(first.Start());
  QProcess second;
  second.setProcessEnvironment(first.env);
  second.start(NORVO_EXECUTABLE, {"--simulate"});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
  EXPECT_NE(second.readAllStandardError().indexOf("already running"), -1);
  EXPECT_EQ(first.process.state(), QProcess::Running);
}

// Whatever lies in the lock file's place, a start that finds nobody holding
// it goes ahead; one that cannot use it at all still starts.
TEST(SingleInstance, StaleEmptyOrForeignLockNeverStopsAStart) {
  const struct {
    const char* what;
    std::string content;  // written to the lock file
    bool symlink;         // the lock file is a symlink elsewhere
    bool fifo;
  } cases[] = {
      {"stale, left by a crash", "999999\n", false, false},
      {"empty", "", false, false},
      {"garbage", "\x01\xffnot a pid", false, false},
      {"a symlink", "", true, false},
      {"a FIFO", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Console console;
    const fs::path lock = console.Lock();
    const fs::path target = fs::path(console.data.path().toStdString()) / "elsewhere";
    if (c.symlink) {
      fs::create_symlink(target, lock);
    } else if (c.fifo) {
      ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    } else {
      std::ofstream(lock, std::ios::binary) << c.content;
    }
    // It runs and polls; the lock is read back only where it can be used (a
    // FIFO would wait for a writer).
    EXPECT_TRUE(console.Start(/*holds_lock=*/!c.symlink && !c.fifo)) << console.process.readAllStandardError().toStdString();
    EXPECT_FALSE(fs::exists(target)) << "written through the symlink";
  }
}

TEST(SingleInstance, LockIsPerUser) {
  QTemporaryDir runtime;
  testing::ScopedEnv own("NORVO_RUNTIME_DIR", qPrintable(runtime.path()));
  EXPECT_EQ(ConsoleLockPath(), fs::path(runtime.path().toStdString()) / "norvo.lock");
  own.Set(nullptr);
  testing::ScopedEnv xdg("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(ConsoleLockPath().filename(), "norvo-" + std::to_string(::getuid()) + ".lock");
}

}  // namespace
}  // namespace norvo
