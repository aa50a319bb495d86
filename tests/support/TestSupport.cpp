#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace norvo::testing {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TempFolder::TempFolder(const std::string& prefix)
    : path([&] {
        std::string name = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error(name + ": " + std::strerror(errno));
        return fs::path(name);
      }()) {}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool WriteFile(const fs::path& path, const std::string& text) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << text);
}

std::string TextMode(const std::string& card) {
  std::string copy;
  for (char c : card) copy += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return copy;
}

std::string FindProgram(const std::string& name) {
  std::stringstream dirs(std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/sbin:/usr/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return fs::path(dir) / name;
  }
  return "";
}

bool WaitUntil(const std::function<bool()>& pred, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  // A quick event is seen within a millisecond; a long wait costs little.
  for (milliseconds step = 1ms; !pred(); step = std::min<milliseconds>(step * 2, 10ms)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

Child Spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  // All the child needs is made before the fork: the child of a process with
  // threads may only make system calls until it execs.
  std::vector<std::string> env = options.env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view name(*e, std::strcspn(*e, "=") + 1);  // "NAME="
    if (std::none_of(options.env.begin(), options.env.end(),
                     [&](const std::string& v) { return v.starts_with(name); })) {
      env.emplace_back(*e);
    }
  }
  std::vector<char*> envp, args;
  for (std::string& e : env) envp.push_back(e.data());
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  envp.push_back(nullptr);
  args.push_back(nullptr);
  const bool out_pipe = options.out.empty() && options.out_fd < 0, err_pipe = options.err.empty();
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((out_pipe && ::pipe2(out, O_CLOEXEC) != 0) || (err_pipe && ::pipe2(err, O_CLOEXEC) != 0)) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    ::dup2(::open(options.in.c_str(), O_RDONLY | O_CLOEXEC), 0);
    ::dup2(out_pipe              ? out[1]
           : options.out_fd >= 0 ? options.out_fd
                                 : ::open(options.out.c_str(), kWrite, 0600),
           1);
    ::dup2(err_pipe ? err[1] : ::open(options.err.c_str(), kWrite, 0600), 2);
    if (options.pending_signal != 0) {
      sigset_t blocked;
      sigemptyset(&blocked);
      sigaddset(&blocked, options.pending_signal);
      ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
      ::raise(options.pending_signal);
    }
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  if (out_pipe) ::close(out[1]);
  if (err_pipe) ::close(err[1]);
  return {pid, out[0], err[0]};
}

bool Collect(Child& c, Result& r, const std::string& until, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (!until.empty() && r.out.find(until) != std::string::npos) return true;
    if (c.out < 0 && c.err < 0) return until.empty();
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) <= 0)
      continue;  // interrupted or out of time: the deadline decides
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        (i == 0 ? c.out : c.err) = -1;
      }
    }
  }
}

Result Finish(Child& c, Result r, milliseconds limit) {
  if (c.pid <= 0) return r;
  const auto deadline = Clock::now() + limit;
  Collect(c, r, "", limit);
  int status = 0;
  pid_t got = 0;
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  if (!WaitUntil([&] { return (got = ::waitpid(c.pid, &status, WNOHANG)) != 0; }, std::max(left, 0ms))) {
    ::kill(c.pid, SIGKILL);
    got = ::waitpid(c.pid, &status, 0);
  }
  for (int* fd : {&c.out, &c.err}) {
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  }
  const bool ended = got == c.pid;
  c.pid = -1;
  r.status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.signal = ended && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return r;
}

Result RunProgram(const std::vector<std::string>& argv, const SpawnOptions& options, milliseconds limit) {
  Child c = Spawn(argv, options);
  return Finish(c, {}, limit);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  Set(value);
}

ScopedEnv::~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }

void ScopedEnv::Set(const char* value) {
  value != nullptr ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str());
  if (name_ == "TZ") ::tzset();
}

}  // namespace norvo::testing
