#pragma once
// The Prometheus endpoint: GET /metrics in the text exposition format
// (version 0.0.4), served by cpp-httplib on a thread pool of its own.
//
// Names follow the Prometheus conventions: base units in the name
// (temperatures "_celsius", relative humidity "_ratio" from 0 to 1, times
// "_seconds"), counters end in "_total". Every series of a unit carries the
// label device="<device path>"; norvo_unit_info adds its identification text.
// A channel without a value, or a unit whose last poll was not answered, has
// no reading series at all rather than a stale or made-up one.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UnitStatus.h"

namespace httplib {
class Server;
}

namespace norvo::logger {

// The port the endpoint listens on unless told otherwise.
constexpr int kMetricsPort = 9782;

std::string RenderMetrics(const std::vector<UnitStatus>& units, std::uint64_t mqtt_errors, const std::string& version);

// "\" , "\"" and line feeds escaped as the exposition format wants them.
std::string LabelValue(const std::string& text);

class MetricsServer {
 public:
  using RenderFn = std::function<std::string()>;

  explicit MetricsServer(RenderFn render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds host:port (0: a free port) and serves from a thread of its own.
  bool Start(const std::string& host, int port, std::string* error);
  int Port() const { return port_; }
  // Closes the socket and ends the thread. Idempotent.
  void Stop();

 private:
  RenderFn render_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace norvo::logger
