// norvoctl serve's engine with 8 simulated units (strict, paced like a
// full-speed USB device) polled every second into a fresh record store.
//
// Phase 1, polling alone: the process's CPU time per poll (every thread: the
// workers, the simulated units' side, the reader threads, the store writer)
// against the poll's own exchange time (its wall time, mostly waiting for
// the unit). Phase 2, polling on: GET /metrics at 100 requests/s against an
// empty handler of the same library (cpp-httplib) at 100 requests/s, from a
// client in a child process over kept-alive connections; p50 and p99 of
// both. Last, the peak resident memory of the serving process.
//
// Usage: serve_bench [--seconds N]   (each phase; default 60, at least 5)
// Goals: p99 of /metrics under 5 ms, none failed; peak memory under 40 MB.

#include <httplib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "logger/Logger.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kUnits = 8;
constexpr int kRequestsPerSecond = 100;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child: one request to each server every 10 ms, milliseconds per
// request back to the parent (negative: the request failed).
void Load(int in, int out) {
  int ports[2] = {0, 0};
  int seconds = 0;
  if (!ReadAll(in, ports, sizeof ports) || !ReadAll(in, &seconds, sizeof seconds)) ::_exit(1);
  httplib::Client metrics("127.0.0.1", ports[0]), empty("127.0.0.1", ports[1]);
  metrics.set_keep_alive(true);
  empty.set_keep_alive(true);
  metrics.set_tcp_nodelay(true);
  empty.set_tcp_nodelay(true);
  std::vector<double> times[2];
  const auto step = std::chrono::microseconds(1000000 / kRequestsPerSecond);
  auto next = Clock::now();
  const auto end = next + std::chrono::seconds(seconds);
  while (next < end) {
    std::this_thread::sleep_until(next);
    next += step;
    for (int i = 0; i < 2; ++i) {
      httplib::Client& c = i == 0 ? metrics : empty;
      const auto start = Clock::now();
      const auto r = c.Get(i == 0 ? "/metrics" : "/");
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      times[i].push_back(r && r->status == 200 ? ms : -1.0);
    }
  }
  for (const auto& t : times) {
    const std::size_t n = t.size();
    WriteAll(out, &n, sizeof n);
    WriteAll(out, t.data(), n * sizeof(double));
  }
  ::_exit(0);
}

struct Latency {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t count = 0, failed = 0;
};

Latency Summarise(std::vector<double> ms) {
  Latency l;
  l.count = ms.size();
  l.failed = static_cast<std::size_t>(std::count_if(ms.begin(), ms.end(), [](double v) { return v < 0; }));
  std::erase_if(ms, [](double v) { return v < 0; });
  if (ms.empty()) return l;
  std::sort(ms.begin(), ms.end());
  l.p50 = ms[ms.size() / 2];
  l.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  l.max = ms.back();
  return l;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::max(5, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: serve_bench [--seconds N]\n");
      return 2;
    }
  }
  // The load generator is forked before any thread exists.
  int to_child[2], from_child[2];
  if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) return 2;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(to_child[1]);
    ::close(from_child[0]);
    Load(to_child[0], from_child[1]);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);

  char name[] = "/tmp/norvo-serve-bench-XXXXXX";
  const fs::path folder = ::mkdtemp(name);
  norvo::sim::SimTransport transport;
  std::vector<std::unique_ptr<norvo::sim::SimUnit>> units;
  for (int i = 1; i <= kUnits; ++i) {
    units.push_back(std::make_unique<norvo::sim::SimUnit>(
        norvo::sim::SimUnit::Options{.pacing = true, .seed = static_cast<std::uint32_t>(i)}));
    transport.AddUnit(units.back().get(), "sim:unit" + std::to_string(i));
  }
  norvo::logger::LoggerOptions o;
  o.data_folder = folder;
  o.lock_folder = folder;
  o.period = std::chrono::milliseconds(1000);
  o.metrics_port = 0;
  o.version = "bench";
  norvo::logger::Logger logger(transport, o, [](const std::string&) {});
  std::string error;
  if (logger.Start(&error) != norvo::logger::Logger::StartError::kNone) {
    std::fprintf(stderr, "serve_bench: %s\n", error.c_str());
    return 2;
  }
  // The empty handler: the same library, the same thread pool, nothing to render.
  httplib::Server empty;
  empty.new_task_queue = [] { return new httplib::ThreadPool(4); };
  empty.set_tcp_nodelay(true);
  empty.Get("/", [](const httplib::Request&, httplib::Response& r) { r.set_content("", "text/plain"); });
  const int empty_port = empty.bind_to_any_port("127.0.0.1");
  std::thread empty_thread([&] { empty.listen_after_bind(); });

  logger.StartUnits();
  const auto totals = [&] {
    std::uint64_t polls = 0;
    double poll_seconds = 0;
    for (const auto& u : logger.Status().Units()) {
      polls += u.polls;
      poll_seconds += u.poll_seconds;
    }
    return std::make_pair(polls, poll_seconds);
  };
  // The first poll of each unit includes opening it: phase 1 starts after.
  while (totals().first < static_cast<std::uint64_t>(kUnits)) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  std::printf("serve_bench: %d simulated units (strict, paced 1 report/ms), period 1 s, %d s per phase\n", kUnits,
              seconds);
  const auto [polls0, wall0] = totals();
  const double cpu0 = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu1 = CpuSeconds();
  const auto [polls1, wall1] = totals();
  const double polls = static_cast<double>(polls1 - polls0);
  const double cpu_ms = (cpu1 - cpu0) * 1000 / polls;
  const double exchange_ms = (wall1 - wall0) * 1000 / polls;
  std::printf("phase 1, polling: %.0f polls; CPU %.3f ms per poll, exchange time %.1f ms per poll\n", polls, cpu_ms,
              exchange_ms);
  std::printf("  ratio CPU / exchange time: %.4f\n", cpu_ms / exchange_ms);

  const int ports[2] = {logger.MetricsPort(), empty_port};
  WriteAll(to_child[1], ports, sizeof ports);
  WriteAll(to_child[1], &seconds, sizeof seconds);
  std::vector<double> times[2];
  for (auto& t : times) {
    std::size_t n = 0;
    if (!ReadAll(from_child[0], &n, sizeof n)) return 2;
    t.resize(n);
    if (!ReadAll(from_child[0], t.data(), n * sizeof(double))) return 2;
  }
  ::waitpid(child, nullptr, 0);
  const Latency m = Summarise(times[0]), e = Summarise(times[1]);
  std::printf("phase 2, GET /metrics at %d/s with polling on: %zu requests (%zu failed), p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
              kRequestsPerSecond, m.count, m.failed, m.p50, m.p99, m.max);
  std::printf("  baseline, empty handler at %d/s: %zu requests (%zu failed), p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
              kRequestsPerSecond, e.count, e.failed, e.p50, e.p99, e.max);
  std::printf("  ratio p99 /metrics / empty: %.2f (goal: p99 under 5 ms)\n", m.p99 / e.p99);
  std::printf("  /metrics body: %zu bytes\n", logger.Metrics().size());

  const auto stopping = Clock::now();
  logger.Stop();
  empty.stop();
  empty_thread.join();
  std::printf("stop: %.0f ms\n", std::chrono::duration<double, std::milli>(Clock::now() - stopping).count());
  std::printf("rows written: %llu polls x 8 channels; poll and write errors: ", static_cast<unsigned long long>(logger.Written()));
  std::uint64_t errors = 0;
  for (const auto& u : logger.Status().Units()) errors += u.poll_errors + u.dropped;
  std::printf("%llu\n", static_cast<unsigned long long>(errors));
  const double peak_mb = norvo::bench::PeakKilobytes() / 1024.0;
  std::printf("peak resident memory: %.1f MB (goal under 40 MB)\n", peak_mb);
  fs::remove_all(folder);
  const bool latency_met = m.p99 < 5 && m.failed == 0 && m.count > 0;
  norvo::bench::Report("/metrics p99", std::to_string(seconds) + " s, 8 units", m.p99, e.p99, "ms", latency_met,
                       "p99 < 5 ms, none failed");
  norvo::bench::Report("poll CPU", std::to_string(seconds) + " s, 8 units", cpu_ms, exchange_ms, "ms", true,
                       "(shown)");
  norvo::bench::Report("serve peak memory", "8 units", peak_mb, 40, "MB", peak_mb < 40, "< 40 MB");
  if (polls <= 0 || errors > 0) return 2;
  return latency_met && peak_mb < 40 ? 0 : 1;
}
