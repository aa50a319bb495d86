#include "Interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "session/Unit.h"

namespace norvo::cli::interrupt {
namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::atomic<int> g_signal{0};
std::atomic<int> g_wake_fd{-1};  // write end of the pipe, for the handler

std::mutex g_mutex;  // guards g_unit; the watcher notifies g_cv under it
std::condition_variable g_cv;
Unit* g_unit = nullptr;

constexpr char kSignalled = 's';
constexpr char kQuit = 'q';

extern "C" void OnSignal(int number) {
  int none = 0;
  g_signal.compare_exchange_strong(none, number);
  const int saved = errno;
  const char byte = kSignalled;
  const int fd = g_wake_fd.load();
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

struct Installed {
  int pipe[2] = {-1, -1};
  struct sigaction old_int {};
  struct sigaction old_term {};
  struct sigaction old_pipe {};
  struct sigaction old_fsize {};
  sigset_t old_mask{};
  std::thread watcher;
};
Installed* g_installed = nullptr;

void Watch(int fd) {
  // The watcher never takes a stop signal itself: serve blocks them and
  // waits for them with sigtimedwait, which one taken here would not reach.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  for (;;) {
    char byte = 0;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == kQuit) return;
    std::lock_guard lock(g_mutex);
    if (g_unit) g_unit->Stop();
    g_cv.notify_all();
  }
}

}  // namespace

Guard::Guard() {
  auto* in = new Installed;
  if (::pipe2(in->pipe, O_CLOEXEC) == 0) {
    ::fcntl(in->pipe[1], F_SETFL, ::fcntl(in->pipe[1], F_GETFL) | O_NONBLOCK);
    g_wake_fd.store(in->pipe[1]);
    in->watcher = std::thread(Watch, in->pipe[0]);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &in->old_int);
  ::sigaction(SIGTERM, &action, &in->old_term);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &in->old_pipe);
  ::sigaction(SIGXFSZ, &ignore, &in->old_fsize);
  g_signal.store(0);
  g_installed = in;
  // A parent may have started us with the two blocked: Ctrl-C and a
  // service stop must still reach the handler. One already pending arrives
  // here, before anything touches the unit.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_UNBLOCK, &stops, &in->old_mask);
}

Guard::~Guard() {
  Installed* in = g_installed;
  g_installed = nullptr;
  ::pthread_sigmask(SIG_SETMASK, &in->old_mask, nullptr);
  ::sigaction(SIGINT, &in->old_int, nullptr);
  ::sigaction(SIGTERM, &in->old_term, nullptr);
  ::sigaction(SIGPIPE, &in->old_pipe, nullptr);
  ::sigaction(SIGXFSZ, &in->old_fsize, nullptr);
  if (in->watcher.joinable()) {
    const char byte = kQuit;
    while (::write(in->pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    in->watcher.join();
  }
  g_wake_fd.store(-1);
  for (int fd : in->pipe) {
    if (fd >= 0) ::close(fd);
  }
  delete in;
}

int Signal() { return g_signal.load(); }

StopUnit::StopUnit(Unit& unit) {
  std::lock_guard lock(g_mutex);
  g_unit = &unit;
  if (g_signal.load() != 0) unit.Stop();
}

StopUnit::~StopUnit() {
  std::lock_guard lock(g_mutex);
  g_unit = nullptr;
}

bool Sleep(std::chrono::steady_clock::duration duration) {
  std::unique_lock lock(g_mutex);
  return !g_cv.wait_for(lock, duration, [] { return g_signal.load() != 0; });
}

}  // namespace norvo::cli::interrupt
