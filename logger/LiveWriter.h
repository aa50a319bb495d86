#pragma once
// Writes the answered polls into the record store's live table from a thread
// of its own, so that a slow disk or the console's import holding the store
// never delays a poll. Whatever queued up since the last write goes in one
// transaction.
//
// A write the store refuses (locked past its busy time-out, disk full, a
// folder made read-only, no descriptor left) loses nothing: the polls go
// back to the head of the queue, the store is opened afresh and the write
// tried again after the retry interval, until it takes them. A store file
// replaced while serving (renamed over, removed) is noticed before a write
// and the file now at the path opened, with a note. The queue is
// bounded: a poll pushed while it is full makes room by dropping the oldest
// one waiting, counted as dropped for its unit. At Stop the queue gets one
// last attempt; what the store still refuses then is counted as unwritten.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <sys/types.h>
#include <vector>

#include "store/LiveStore.h"

namespace norvo::logger {

class LiveWriter {
 public:
  // `dropped` is called on a pushing thread that finds the queue full, and
  // on the writer thread at Stop for what could not be written. `note` gets
  // one line when writing starts to fail and one when it works again.
  using DroppedFn = std::function<void(const std::string& unit, std::uint64_t polls)>;
  using NoteFn = std::function<void(const std::string& message)>;

  static constexpr std::size_t kMaxQueued = 4096;

  // retention_days 0 keeps every row; retry: between refused writes.
  LiveWriter(std::string database, double retention_days, DroppedFn dropped, NoteFn note,
             std::chrono::milliseconds retry = std::chrono::seconds(1), std::size_t max_queued = kMaxQueued);
  ~LiveWriter();
  LiveWriter(const LiveWriter&) = delete;
  LiveWriter& operator=(const LiveWriter&) = delete;

  // Opens the store (creating the live table), checks that it can be
  // written, applies the retention once, starts the thread. False with a
  // message when the store cannot be used.
  bool Start(std::string* error);
  // Any thread; never blocks on the store.
  void Push(LivePoll poll);
  // Writes what is queued (one last attempt when the store refuses), then
  // ends the thread. Idempotent.
  void Stop();

  std::uint64_t Written() const;
  // Polls waiting for the store, the one in a write included, per unit.
  std::map<std::string, std::uint64_t> Waiting() const;
  // Writes the store refused (each retried later).
  std::uint64_t Failures() const;
  // Polls lost: dropped from a full queue, or still refused at Stop.
  std::uint64_t Lost() const;

 private:
  void Run();
  void Retain();
  bool Write(std::vector<LivePoll>& batch, bool* failing);
  void DropOldestOverBound();  // mutex_ held

  std::string database_;
  double retention_days_;
  DroppedFn dropped_;
  NoteFn note_;
  std::chrono::milliseconds retry_;
  std::size_t max_queued_;
  LiveStore store_;  // used by the writer thread only (and by Start before it)
  bool reopen_ = false;  // writer thread only: open the store afresh before the next write
  // The file the store was opened on (device, inode): a store renamed over
  // or removed while serving is noticed before the next write. Writer
  // thread only (and Start before it).
  std::pair<dev_t, ino_t> opened_{};

  mutable std::mutex mutex_;  // guards queue_, in_write_, stop_, written_, failures_, lost_
  std::condition_variable cv_;
  std::deque<LivePoll> queue_;
  std::map<std::string, std::uint64_t> in_write_;  // the polls of the write in progress, per unit
  bool stop_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t failures_ = 0;
  std::uint64_t lost_ = 0;
  std::thread thread_;
};

}  // namespace norvo::logger
