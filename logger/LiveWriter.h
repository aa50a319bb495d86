#pragma once
// Writes the answered polls into the record store's live table from a thread
// of its own, so that a slow disk or the console's import holding the store
// never delays a poll. Whatever queued up since the last write goes in one
// transaction. The queue is bounded: a poll that finds it full is dropped
// and counted as a write error of its unit.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "store/LiveStore.h"

namespace norvo::logger {

class LiveWriter {
 public:
  // Both are called on the writer thread, `failed` also on a pushing thread
  // that finds the queue full. `note` gets one line when writing starts to
  // fail and one when it works again.
  using FailedFn = std::function<void(const std::string& unit, std::uint64_t polls)>;
  using NoteFn = std::function<void(const std::string& message)>;

  static constexpr std::size_t kMaxQueued = 4096;

  // retention_days 0 keeps every row.
  LiveWriter(std::string database, double retention_days, FailedFn failed, NoteFn note);
  ~LiveWriter();
  LiveWriter(const LiveWriter&) = delete;
  LiveWriter& operator=(const LiveWriter&) = delete;

  // Opens the store (creating the live table), applies the retention once,
  // starts the thread. False with a message when the store cannot be used.
  bool Start(std::string* error);
  // Any thread.
  void Push(LivePoll poll);
  // Writes what is queued, then ends the thread. Idempotent.
  void Stop();

  std::uint64_t Written() const;

 private:
  void Run();
  void Retain();

  std::string database_;
  double retention_days_;
  FailedFn failed_;
  NoteFn note_;
  LiveStore store_;  // used by the writer thread only (and by Start before it)

  mutable std::mutex mutex_;  // guards queue_, stop_, written_
  std::condition_variable cv_;
  std::deque<LivePoll> queue_;
  bool stop_ = false;
  std::uint64_t written_ = 0;
  std::thread thread_;
};

}  // namespace norvo::logger
