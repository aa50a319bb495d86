#include "LiveWriter.h"

#include "Notify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace norvo::logger {
namespace {

// Old rows go at start and then once an hour.
constexpr auto kRetentionEvery = std::chrono::hours(1);

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// SQLite opens a file it may not write read-only without a word, and needs
// the folder for its journal: both are checked before the first poll.
bool Writable(const std::string& database, std::string* error) {
  namespace fs = std::filesystem;
  const fs::path file(database);
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  for (const fs::path& p : {file, folder}) {
    if (::access(p.c_str(), W_OK) != 0) {
      if (error) *error = p.string() + ": cannot write: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// The file at the path now; {0, 0} when there is none.
std::pair<dev_t, ino_t> FileAt(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino};
}

std::map<std::string, std::uint64_t> CountByUnit(const std::vector<LivePoll>& polls) {
  std::map<std::string, std::uint64_t> n;
  for (const LivePoll& p : polls) ++n[p.unit];
  return n;
}

}  // namespace

LiveWriter::LiveWriter(std::string database, double retention_days, DroppedFn dropped, NoteFn note,
                       std::chrono::milliseconds retry, std::size_t max_queued)
    : database_(std::move(database)),
      retention_days_(retention_days),
      dropped_(std::move(dropped)),
      note_(std::move(note)),
      retry_(retry),
      max_queued_(max_queued == 0 ? 1 : max_queued) {}

LiveWriter::~LiveWriter() { Stop(); }

bool LiveWriter::Start(std::string* error) {
  // An older live table is migrated on this first open: its progress is told.
  const auto progress = [this](std::int64_t done, std::int64_t total) {
    note_(std::string(kInfo) + "migrating the live readings: " + std::to_string(done) + " of " + std::to_string(total) + " rows");
  };
  if (!store_.Open(database_, error, progress)) return false;
  opened_ = FileAt(database_);
  if (!Writable(database_, error)) return false;
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

void LiveWriter::DropOldestOverBound() {
  std::uint64_t in_write = 0;
  for (const auto& [unit, n] : in_write_) in_write += n;
  while (!queue_.empty() && queue_.size() + in_write > max_queued_) {
    const std::string unit = queue_.front().unit;
    queue_.pop_front();
    ++lost_;
    // The callback takes the status table's lock, never this one: called
    // with mutex_ held is safe, and it keeps the count and the drop in step.
    dropped_(unit, 1);
  }
}

void LiveWriter::Push(LivePoll poll) {
  std::lock_guard lock(mutex_);
  if (stop_) {
    ++lost_;
    dropped_(poll.unit, 1);
    return;
  }
  queue_.push_back(std::move(poll));
  DropOldestOverBound();
  cv_.notify_one();
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

std::map<std::string, std::uint64_t> LiveWriter::Waiting() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::uint64_t> n = in_write_;
  for (const LivePoll& p : queue_) ++n[p.unit];
  return n;
}

std::uint64_t LiveWriter::Failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

std::uint64_t LiveWriter::Lost() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

void LiveWriter::Retain() {
  if (retention_days_ <= 0) return;
  std::string message;
  // A failed clean-up is retried at the next one; the rows stay meanwhile.
  if (!store_.DeleteBefore(Now() - retention_days_ * 86400.0, nullptr, &message)) note_(std::string(kWarning) + "retention: " + message);
}

// Writer thread. True when the store took the batch; else the batch is
// back at the head of the queue.
bool LiveWriter::Write(std::vector<LivePoll>& batch, bool* failing) {
  std::string message;
  // A connection that failed may be stuck with a file that moved or a
  // journal it could not make: the next attempt starts from a fresh one.
  bool ok = true;
  // A store replaced under its path (a restored copy renamed over it) would
  // take this write into the old file, or refuse it as read-only: the file
  // at the path is the store.
  if (!reopen_ && FileAt(database_) != opened_) {
    if (note_) note_(std::string(kInfo) + "the record store " + database_ +
          " is no longer the file serve opened (renamed over or removed); opening the file now at that path");
    reopen_ = true;
  }
  if (reopen_) ok = store_.Open(database_, &message);
  if (ok && reopen_) opened_ = FileAt(database_);
  reopen_ = !ok;
  if (ok) ok = store_.Append(batch, &message);
  {
    std::lock_guard lock(mutex_);
    in_write_.clear();
    if (ok) {
      written_ += batch.size();
    } else {
      ++failures_;
      queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
      DropOldestOverBound();
    }
  }
  if (ok) {
    if (*failing) note_(std::string(kInfo) + "the record store takes the readings again");
    *failing = false;
  } else {
    reopen_ = true;
    if (!*failing) note_(std::string(kWarning) + "cannot write the readings, keeping them and trying again: " + message);
    *failing = true;
  }
  batch.clear();
  return ok;
}

void LiveWriter::Run() {
  auto next_retention = std::chrono::steady_clock::now() + kRetentionEvery;
  bool failing = false;
  for (;;) {
    std::vector<LivePoll> batch;
    bool stop = false;
    {
      std::unique_lock lock(mutex_);
      if (failing) {
        // Refused: wait out the retry interval, whatever is pushed meanwhile.
        cv_.wait_for(lock, retry_, [&] { return stop_; });
      } else {
        cv_.wait_until(lock, next_retention, [&] { return stop_ || !queue_.empty(); });
      }
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
      queue_.clear();
      in_write_ = CountByUnit(batch);
      stop = stop_;
    }
    if (!batch.empty() && !Write(batch, &failing) && stop) {
      // The last attempt at Stop: what the store still refuses is lost.
      std::vector<LivePoll> left;
      {
        std::lock_guard lock(mutex_);
        left.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
        lost_ += left.size();
      }
      for (const auto& [unit, n] : CountByUnit(left)) dropped_(unit, n);
      note_(kError + std::to_string(left.size()) + " answered polls could not be written to the record store");
    }
    if (std::chrono::steady_clock::now() >= next_retention) {
      Retain();
      next_retention = std::chrono::steady_clock::now() + kRetentionEvery;
    }
    if (stop) return;
  }
}

}  // namespace norvo::logger
