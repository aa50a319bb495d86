#include "Notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace norvo::logger {
namespace {

bool HasPriority(const std::string& m) {
  return m.size() >= 3 && m[0] == '<' && m[1] >= '0' && m[1] <= '7' && m[2] == '>';
}

template <typename T>
bool Parse(const char* text, T* out) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  const auto r = std::from_chars(text, end, *out);
  return r.ec == std::errc() && r.ptr == end;
}

}  // namespace

std::string JournalLine(const std::string& message, bool journal) {
  if (journal) return HasPriority(message) ? message : kInfo + message;
  return HasPriority(message) ? message.substr(3) : message;
}

bool IsJournal(std::FILE* stream) {
  const char* env = std::getenv("JOURNAL_STREAM");
  if (env == nullptr) return false;
  const std::string text(env);
  const std::size_t colon = text.find(':');
  unsigned long long device = 0, inode = 0;
  if (colon == std::string::npos || !Parse(text.substr(0, colon).c_str(), &device) ||
      !Parse(text.substr(colon + 1).c_str(), &inode)) {
    return false;
  }
  struct stat st {};
  return ::fstat(::fileno(stream), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

Notifier::Notifier() {
  if (const char* s = std::getenv("NOTIFY_SOCKET"); s != nullptr && (s[0] == '/' || s[0] == '@') && s[1] != '\0') {
    socket_ = s;
  }
  unsigned long long usec = 0;
  long long pid = 0;
  const char* watchdog_pid = std::getenv("WATCHDOG_PID");
  // A watchdog meant for another process (the one that started this one) is not ours.
  if (Parse(std::getenv("WATCHDOG_USEC"), &usec) && usec > 0 &&
      (watchdog_pid == nullptr || (Parse(watchdog_pid, &pid) && pid == ::getpid()))) {
    watchdog_ = std::chrono::microseconds(usec);
  }
}

bool Notifier::Send(const std::string& message) const {
  if (socket_.empty()) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socket_.data(), socket_.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
  if (socket_[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    ++length;  // the path's terminating zero
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), length);
  ::close(fd);
  return n == static_cast<ssize_t>(message.size());
}

}  // namespace norvo::logger
