#pragma once
// The Prometheus endpoint: GET /metrics in the text exposition format
// (version 0.0.4).
//
// Names follow the Prometheus conventions: base units in the name
// (temperatures "_celsius", relative humidity "_ratio" from 0 to 1, times
// "_seconds"), counters end in "_total". Every series of a unit carries the
// label unit="<name>" (UnitIdentity.h); norvo_unit_info adds the device path
// it was last opened at and its identification text.
// A channel without a value, or a unit whose last poll was not answered, has
// no reading series at all rather than a stale or made-up one.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "UnitStatus.h"
#include "net/SocketServer.h"

namespace norvo::logger {

// The port the endpoint listens on unless told otherwise.
constexpr int kMetricsPort = 9782;

// What the logger as a whole counts, beside the units.
struct MetricsGlobals {
  std::string version;
  std::uint64_t mqtt_errors = 0;     // messages the MQTT library refused
  std::uint64_t store_failures = 0;  // writes the record store refused (retried)
  std::string mqtt_state;            // MqttStateName; "" without MQTT
};

std::string RenderMetrics(const std::vector<UnitStatus>& units, const MetricsGlobals& globals);

// "\" , "\"" and line feeds escaped as the exposition format wants them.
std::string LabelValue(const std::string& text);

// The shortest text that reads back as the same double; never locale-bound.
std::string NumberText(double v);

// The endpoint itself: a small HTTP/1.1 server on one thread, made to be
// left facing a network. It answers GET and HEAD of /metrics and of a short
// landing page at /, and nothing else: other methods get 405, a request with
// a body 413 (nothing is ever read past the header), a header over
// kMaxHeaderBytes or kMaxHeaders lines 431. Every connection has
// kRequestDeadline from its accept to the end of its header, and as long
// again to take the answer; then it is closed. At most kMaxConnections are
// open: one more makes room by closing the oldest that has not finished its
// request. Each answer closes its connection. Stop ends it at once,
// whatever the clients do.
class MetricsServer : private net::SocketServer::Handler {
 public:
  using RenderFn = std::function<std::string()>;

  static constexpr std::size_t kMaxHeaderBytes = 8192;
  static constexpr int kMaxHeaders = 64;
  static constexpr int kMaxConnections = 32;
  static constexpr std::chrono::milliseconds kRequestDeadline{5000};

  // render: the scrape's text, called on the server's thread.
  explicit MetricsServer(RenderFn render);
  ~MetricsServer() override;
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds host:port (0: a free port) and serves from a thread of its own.
  bool Start(const std::string& host, int port, std::string* error);
  int Port() const { return port_; }
  // Ends the thread and closes every connection. Idempotent.
  void Stop();

  // One request's header, as received (the answer, whole, for the tests).
  std::string Answer(const std::string& header) const;

 private:
  bool Admit(int fd) override;
  void Accepted(net::SocketServer::Id id) override;
  // Reads the request's header and answers it.
  bool Received(net::SocketServer::Id id, const char* data, std::size_t size) override;
  void Gone(net::SocketServer::Id id) override;

  RenderFn render_;
  net::SocketServer server_;
  std::map<net::SocketServer::Id, std::string> requests_;  // server thread only: headers not whole yet
  int port_ = 0;
};

}  // namespace norvo::logger
