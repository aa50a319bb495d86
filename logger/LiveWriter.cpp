#include "LiveWriter.h"

#include <chrono>
#include <map>
#include <vector>

namespace norvo::logger {
namespace {

// Old rows go at start and then once an hour.
constexpr auto kRetentionEvery = std::chrono::hours(1);

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

LiveWriter::LiveWriter(std::string database, double retention_days, FailedFn failed, NoteFn note)
    : database_(std::move(database)),
      retention_days_(retention_days),
      failed_(std::move(failed)),
      note_(std::move(note)) {}

LiveWriter::~LiveWriter() { Stop(); }

bool LiveWriter::Start(std::string* error) {
  if (!store_.Open(database_, error)) return false;
  if (retention_days_ > 0) {
    std::string message;
    if (!store_.DeleteBefore(Now() - retention_days_ * 86400.0, nullptr, &message)) {
      if (error) *error = message;
      return false;
    }
  }
  thread_ = std::thread(&LiveWriter::Run, this);
  return true;
}

void LiveWriter::Push(LivePoll poll) {
  {
    std::lock_guard lock(mutex_);
    if (!stop_ && queue_.size() < kMaxQueued) {
      queue_.push_back(std::move(poll));
      cv_.notify_one();
      return;
    }
  }
  failed_(poll.unit, 1);
}

void LiveWriter::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint64_t LiveWriter::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

void LiveWriter::Retain() {
  if (retention_days_ <= 0) return;
  std::string message;
  // A failed clean-up is retried at the next one; the rows stay meanwhile.
  if (!store_.DeleteBefore(Now() - retention_days_ * 86400.0, nullptr, &message)) note_("retention: " + message);
}

void LiveWriter::Run() {
  auto next_retention = std::chrono::steady_clock::now() + kRetentionEvery;
  bool failing = false;
  for (;;) {
    std::vector<LivePoll> batch;
    bool stop = false;
    {
      std::unique_lock lock(mutex_);
      cv_.wait_until(lock, next_retention, [&] { return stop_ || !queue_.empty(); });
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
      queue_.clear();
      stop = stop_;
    }
    if (!batch.empty()) {
      std::string message;
      if (store_.Append(batch, &message)) {
        {
          std::lock_guard lock(mutex_);
          written_ += batch.size();
        }
        if (failing) note_("the record store takes the readings again");
        failing = false;
      } else {
        std::map<std::string, std::uint64_t> lost;
        for (const LivePoll& p : batch) ++lost[p.unit];
        for (const auto& [unit, n] : lost) failed_(unit, n);
        if (!failing) note_("cannot write the readings: " + message);
        failing = true;
      }
    }
    if (std::chrono::steady_clock::now() >= next_retention) {
      Retain();
      next_retention = std::chrono::steady_clock::now() + kRetentionEvery;
    }
    if (stop) return;
  }
}

}  // namespace norvo::logger
