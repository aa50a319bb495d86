#include "QuitSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>

namespace norvo {
namespace {

int g_pipe[2] = {-1, -1};
std::atomic<int> g_received{0};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int signal) {
  g_received.store(signal);
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [] {
    char buf[16];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    // exit() ends every event loop, a modal dialog's too.
    QCoreApplication::exit(0);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
  // The poll lines go to standard error; a reader that has gone (the terminal
  // or pipe the console was started from, the parent of a console restarted
  // for a language change) must not end the console. Nor may a file size
  // limit (ulimit -f): a download, an export or the log then fails with
  // EFBIG and says so, instead of the process being killed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

QuitSignals::~QuitSignals() {
  for (int signal : kSignals) std::signal(signal, SIG_DFL);
  delete notifier_;
  notifier_ = nullptr;
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int QuitSignals::Received() { return g_received.load(); }

}  // namespace norvo
