#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

std::string TrimField(const std::string& s) {
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

}  // namespace

MetricsServer::MetricsServer(RenderFn render)
    : render_(std::move(render)),
      server_(*this, {.max_clients = static_cast<std::size_t>(kMaxConnections), .evict_when_full = true, .linger = kLinger}) {}

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
    const std::string name = Lower(TrimField(lines[i].substr(0, colon)));
    const std::string value = TrimField(lines[i].substr(colon + 1));
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
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      cause = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
      cause = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return fail(cause);
  sockaddr_storage bound{};
  socklen_t n = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &n);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (!server_.Start(fd)) {
    cause = errno;
    ::close(fd);
    return fail(cause);
  }
  return true;
}

void MetricsServer::Stop() { server_.Stop(); }

bool MetricsServer::Admit(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void MetricsServer::Accepted(net::SocketServer::Id id) {
  requests_[id];
  server_.SetDeadline(id, Clock::now() + kRequestDeadline);
}

void MetricsServer::Gone(net::SocketServer::Id id) { requests_.erase(id); }

bool MetricsServer::Received(net::SocketServer::Id id, const char* data, std::size_t size) {
  std::string& in = requests_[id];
  // Nothing past one byte over the bound is kept: that byte says "too large".
  in.append(data, std::min(size, kMaxHeaderBytes + 1 - in.size()));
  const std::size_t end = HeaderEnd(in);
  std::string out;
  if (end != std::string::npos && end <= kMaxHeaderBytes) {
    out = Answer(in.substr(0, end));
  } else if (in.size() > kMaxHeaderBytes) {
    out = Error("431 Request Header Fields Too Large");
  } else {
    return true;
  }
  requests_.erase(id);
  // As long again to take the answer.
  server_.SetDeadline(id, Clock::now() + kRequestDeadline);
  return server_.Queue(id, std::move(out), true);
}

}  // namespace norvo::logger
