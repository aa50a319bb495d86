#include "SocketServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace norvo::net {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

bool Again() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

bool SocketServer::Start(int listen_fd) {
  if (thread_.joinable()) {
    errno = EBUSY;
    return false;
  }
  {
    std::lock_guard lock(wake_mutex_);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) return false;
  }
  listen_fd_ = listen_fd;
  running_.store(true);
  thread_ = std::thread(&SocketServer::Run, this);
  return true;
}

void SocketServer::Stop() {
  if (thread_.joinable()) {
    running_.store(false);
    Wake();
    thread_.join();
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  std::lock_guard lock(wake_mutex_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  wake_fd_ = -1;
}

void SocketServer::Wake() {
  // Another thread may queue while the server stops: the eventfd is never
  // written after its close (its number may belong to another file by then).
  std::lock_guard lock(wake_mutex_);
  if (wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

bool SocketServer::Queue(Id id, std::string bytes, bool last) {
  {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second.gone) return false;
    Client& c = it->second;
    if (c.out_bytes + bytes.size() > options_.max_queued) {
      c.gone = true;
      return false;
    }
    if (c.out.empty()) c.progress = Clock::now();
    c.out_bytes += bytes.size();
    c.out.push_back(std::move(bytes));
    c.answered = true;
    c.last = c.last || last;
  }
  Wake();
  return true;
}

void SocketServer::SetDeadline(Id id, Clock::time_point deadline) {
  // The map changes only on this (the server's) thread.
  if (const auto it = clients_.find(id); it != clients_.end()) it->second.deadline = deadline;
}

std::size_t SocketServer::Clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

void SocketServer::Close(Id id) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    fd = it->second.fd;
    clients_.erase(it);
  }
  ::close(fd);
  handler_.Gone(id);
}

void SocketServer::Accept(Clock::time_point now) {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (!handler_.Admit(fd)) {
      ::close(fd);
      continue;
    }
    Id victim = 0;
    {
      std::lock_guard lock(mutex_);
      if (clients_.size() >= options_.max_clients && !clients_.empty()) {
        // The oldest first: ids grow with the accepts.
        const auto unanswered = std::find_if(clients_.begin(), clients_.end(),
                                             [](const auto& entry) { return !entry.second.answered; });
        victim = unanswered != clients_.end() ? unanswered->first : clients_.begin()->first;
      }
    }
    if (victim != 0 && !options_.evict_when_full) {
      ::close(fd);
      continue;
    }
    if (victim != 0) Close(victim);
    const Id id = next_id_++;
    {
      std::lock_guard lock(mutex_);
      Client& c = clients_[id];
      c.fd = fd;
      c.accepted = now;
      c.progress = now;
    }
    handler_.Accepted(id);
  }
}

bool SocketServer::Send(Client& c, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  while (!c.out.empty()) {
    const std::string& front = c.out.front();
    const ssize_t n = ::send(c.fd, front.data() + c.out_at, front.size() - c.out_at, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return Again();
    c.progress = now;
    c.out_at += static_cast<std::size_t>(n);
    c.out_bytes -= static_cast<std::size_t>(n);
    if (c.out_at == front.size()) {
      c.out.pop_front();
      c.out_at = 0;
    }
  }
  if (c.last && !c.draining) {
    ::shutdown(c.fd, SHUT_WR);
    c.draining = true;
    c.deadline = std::min(c.deadline, now + options_.linger);
  }
  return true;
}

bool SocketServer::Read(Id id, Client& c) {
  bool discard = false;
  {
    std::lock_guard lock(mutex_);
    // The last answer on its way: the client is not read until it is out.
    if (c.last && !c.draining) return true;
    discard = c.draining;
  }
  char chunk[kReadChunk];
  const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return Again();
  return discard || handler_.Received(id, chunk, static_cast<std::size_t>(n));
}

bool SocketServer::Turn(Id id, Client& c, short events, Clock::time_point now) {
  if (events & (POLLERR | POLLNVAL)) return false;
  // What is queued goes out before a bad message closes the client; what
  // the bytes read made goes out at once.
  if (!Send(c, now)) return false;
  if (events & (POLLIN | POLLHUP)) {
    if (!Read(id, c) || !Send(c, now)) return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (c.gone) return false;
    if (options_.stall > Clock::duration::zero() && !c.out.empty() && now - c.progress >= options_.stall) return false;
  }
  return now < c.deadline && handler_.Keep(id, now);
}

void SocketServer::Run() {
  std::vector<pollfd> fds;
  std::vector<Id> ids;
  while (running_.load()) {
    fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    ids.clear();
    Clock::time_point next = Clock::now() + options_.round;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, c] : clients_) {
        const bool reading = !c.last || c.draining;
        fds.push_back({c.fd, static_cast<short>((reading ? POLLIN : 0) | (c.out.empty() ? 0 : POLLOUT)), 0});
        ids.push_back(id);
        next = std::min(next, c.deadline);
      }
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));
    if (!running_.load()) break;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t k = 0; k < ids.size(); ++k) {
      // Only this thread erases, so the client is still there.
      if (!Turn(ids[k], clients_.find(ids[k])->second, fds[k + 2].revents, now)) Close(ids[k]);
    }
    if (fds[1].revents & POLLIN) Accept(now);
  }
  std::vector<Id> left;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : clients_) left.push_back(entry.first);
  }
  for (const Id id : left) Close(id);
}

}  // namespace norvo::net
