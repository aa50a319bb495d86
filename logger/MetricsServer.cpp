#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Metrics.h"

namespace norvo::logger {
namespace {

using Clock = std::chrono::steady_clock;

// After the answer, what the client still sends is read and thrown away for
// this long, so that closing with unread bytes does not reset the
// connection before the client has the answer.
constexpr std::chrono::milliseconds kLinger{1000};

constexpr const char* kLanding =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>norvoctl serve</title></head>\n"
    "<body><h1>norvoctl serve</h1><p>The readings of the served units: <a href=\"/metrics\">/metrics</a> "
    "(Prometheus text format).</p></body></html>\n";

std::string Response(const char* status, const char* type, const std::string& body, bool head,
                     const char* extra = "") {
  std::string r = "HTTP/1.1 ";
  r.append(status).append("\r\nContent-Type: ").append(type);
  r.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  r.append("\r\nConnection: close\r\n").append(extra).append("\r\n");
  if (!head) r.append(body);
  return r;
}

std::string Error(const char* status, const char* extra = "") {
  return Response(status, "text/plain; charset=utf-8", std::string(status) + "\n", false, extra);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// Where the header ends (the blank line included), or npos.
std::size_t HeaderEnd(const std::string& in) {
  const std::size_t crlf = in.find("\r\n\r\n");
  const std::size_t lf = in.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct MetricsServer::Connection {
  int fd = -1;
  Clock::time_point accepted;
  Clock::time_point deadline;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  bool answered = false;
  bool draining = false;
};

MetricsServer::MetricsServer(RenderFn render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

std::string MetricsServer::Answer(const std::string& header) const {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find('\n', at);
    if (end == std::string::npos) end = header.size();
    std::string line = header.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.empty()) return Error("400 Bad Request");
  const std::string& request = lines[0];
  const std::size_t sp1 = request.find(' ');
  const std::size_t sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || request.find(' ', sp2 + 1) != std::string::npos ||
      request.compare(sp2 + 1, 7, "HTTP/1.") != 0) {
    return Error("400 Bad Request");
  }
  if (static_cast<int>(lines.size()) - 1 > kMaxHeaders) return Error("431 Request Header Fields Too Large");
  const std::string method = request.substr(0, sp1);
  std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
  if (const std::size_t q = target.find('?'); q != std::string::npos) target.resize(q);
  bool body = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon == std::string::npos) return Error("400 Bad Request");
    const std::string name = Lower(Trim(lines[i].substr(0, colon)));
    const std::string value = Trim(lines[i].substr(colon + 1));
    if (name == "transfer-encoding" || (name == "content-length" && value != "0")) body = true;
  }
  if (target != "/metrics" && target != "/") return Error("404 Not Found");
  if (method != "GET" && method != "HEAD") return Error("405 Method Not Allowed", "Allow: GET, HEAD\r\n");
  if (body) return Error("413 Content Too Large");
  const bool head = method == "HEAD";
  if (target == "/") return Response("200 OK", "text/html; charset=utf-8", kLanding, head);
  return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_(), head);
}

bool MetricsServer::Start(const std::string& host, int port, std::string* error) {
  const auto fail = [&](int cause) {
    if (error) {
      *error = "cannot listen on " + host + ":" + std::to_string(port) + (cause ? std::string(": ") + std::strerror(cause) : "");
    }
    Close(listen_fd_);
    return false;
  };
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    if (error) *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ::gai_strerror(rc);
    return false;
  }
  int cause = 0;
  for (addrinfo* a = found; a != nullptr && listen_fd_ < 0; a = a->ai_next) {
    listen_fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (listen_fd_ < 0) {
      cause = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listen_fd_, a->ai_addr, a->ai_addrlen) != 0 || ::listen(listen_fd_, 64) != 0) {
      cause = errno;
      Close(listen_fd_);
    }
  }
  ::freeaddrinfo(found);
  if (listen_fd_ < 0) return fail(cause);
  sockaddr_storage bound{};
  socklen_t n = sizeof bound;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &n);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(errno);
  thread_ = std::thread(&MetricsServer::Run, this);
  return true;
}

void MetricsServer::Stop() {
  if (thread_.joinable()) {
    const char byte = 'q';
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    thread_.join();
  }
  Close(listen_fd_);
  Close(wake_[0]);
  Close(wake_[1]);
}

bool MetricsServer::Read(Connection& c, Clock::time_point now) const {
  char buffer[4096];
  const std::size_t room = c.draining ? sizeof buffer : std::min(sizeof buffer, kMaxHeaderBytes + 1 - c.in.size());
  const ssize_t got = ::recv(c.fd, buffer, room, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (got < 0 || c.draining) return true;
  c.in.append(buffer, static_cast<std::size_t>(got));
  const std::size_t end = HeaderEnd(c.in);
  if (end != std::string::npos && end <= kMaxHeaderBytes) {
    c.out = Answer(c.in.substr(0, end));
  } else if (c.in.size() > kMaxHeaderBytes) {
    c.out = Error("431 Request Header Fields Too Large");
  } else {
    return true;
  }
  c.in.clear();
  c.in.shrink_to_fit();
  c.answered = true;
  c.deadline = now + kRequestDeadline;
  return true;
}

bool MetricsServer::Send(Connection& c, Clock::time_point now) {
  const ssize_t put = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
  if (put > 0) c.sent += static_cast<std::size_t>(put);
  if (c.sent == c.out.size()) {
    ::shutdown(c.fd, SHUT_WR);
    c.draining = true;
    c.out.clear();
    c.out.shrink_to_fit();
    c.deadline = std::min(c.deadline, now + kLinger);
  }
  return true;
}

void MetricsServer::Accept(std::vector<Connection>& conns, Clock::time_point now) const {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (static_cast<int>(conns.size()) >= kMaxConnections) {
      // Room for the newcomer: the oldest that has not finished its
      // request goes (a scraper's request comes whole and at once).
      auto oldest = conns.end();
      for (auto it = conns.begin(); it != conns.end(); ++it) {
        if (!it->answered && (oldest == conns.end() || it->accepted < oldest->accepted)) oldest = it;
      }
      if (oldest == conns.end()) oldest = conns.begin();
      Close(oldest->fd);
      conns.erase(oldest);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection c;
    c.fd = fd;
    c.accepted = now;
    c.deadline = now + kRequestDeadline;
    conns.push_back(std::move(c));
  }
}

void MetricsServer::Run() {
  std::vector<Connection> conns;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    Clock::time_point next = Clock::now() + std::chrono::hours(1);
    for (const Connection& c : conns) {
      const bool writing = c.answered && !c.draining;
      fds.push_back({c.fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0});
      next = std::min(next, c.deadline);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait))) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < conns.size(); ++i) {
      Connection& c = conns[i];
      const short events = fds[i + 2].revents;
      if (events == 0) continue;
      const bool keep = !(events & (POLLERR | POLLNVAL)) && (!c.answered || c.draining ? Read(c, now) : Send(c, now));
      if (!keep) Close(c.fd);
    }
    for (Connection& c : conns) {
      if (c.fd >= 0 && now >= c.deadline) Close(c.fd);
    }
    std::erase_if(conns, [](const Connection& c) { return c.fd < 0; });
    if (fds[1].revents & POLLIN) Accept(conns, now);
  }
  for (Connection& c : conns) Close(c.fd);
}

}  // namespace norvo::logger
