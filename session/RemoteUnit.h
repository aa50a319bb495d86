#pragma once
// A unit reached through the process that owns it (its ShareServer): every
// Unit call is one request on the owner's socket, answered by the owner's
// own session. Once the owner has gone (end of stream) the unit is not
// connected and every call fails at once.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <thread>

#include "PollLoop.h"
#include "ShareCodec.h"
#include "Unit.h"

namespace norvo {

class RemoteUnit : public Unit {
 public:
  // time_scale: what TimeScale says until the owner's hello tells its own.
  explicit RemoteUnit(double time_scale = 1.0);
  ~RemoteUnit() override;
  RemoteUnit(const RemoteUnit&) = delete;
  RemoteUnit& operator=(const RemoteUnit&) = delete;

  // Called once, on the reader thread, when the owner has gone. Set before Connect.
  void SetOnClosed(std::function<void()> on_closed) { on_closed_ = std::move(on_closed); }

  // Connects and waits (up to 2 s) for the owner's hello. Once per object.
  // False with the reason in *error. Only a holder whose folder, socket file
  // and serving process belong to root, this user or the service user is
  // attached (JudgeHolder); any other is never sent a byte.
  bool Connect(const std::filesystem::path& socket_path, std::string* error);
  // After a failed Connect, what the user is to be told instead of "in use":
  // the holder is untrusted, or is the logging service that does not serve
  // this user (and what to do). "" for any other failure.
  std::string Refusal() const;
  // The socket is open and the owner has not gone.
  bool Attached() const { return attached_.load(); }
  pid_t OwnerPid() const { return owner_pid_.load(); }
  std::string OwnerProgram() const;

  // The owner's state as its last message said; Open asks it afresh.
  OpenState Open() override;
  OpenState State() const override;
  bool Connected() const override;
  std::string StateMessage() const override;
  // "through norvoctl (process 1234)".
  std::string Via() const override;
  int UnitFlag() const override { return unit_flag_.load(); }
  double TimeScale() const override { return time_scale_.load(); }

  // Closes the socket and joins the reader and the poll thread. Idempotent.
  void Stop() override;

  // One request on the owner's socket. An operation outside its bounds
  // (Operations.h) is not sent, and answers as if no unit were there; one
  // whose owner went before it answered answers Unanswered(sent).
  Answer Execute(const Request& request) override;

  // Subscribes to the owner's polls: on_polled gets each of them and
  // on_second runs once a second, both on this object's poll thread.
  void StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                    std::chrono::microseconds second = std::chrono::microseconds(0)) override;
  // While busy the owner's polls are not handed to on_polled.
  void SetBusy(bool busy) override { busy_.store(busy); }
  // This process runs no poll cycle of its own: returns at once.
  void WaitPollIdle(std::chrono::microseconds) override {}
  // The owner's polls handed to on_polled.
  int PollCount() const override { return polls_.load(); }

 private:
  // One request and its answer; false when none came (owner gone, stopped).
  // *sent says whether the request left this process.
  bool Call(share::Request q, share::Answer* a, bool* sent = nullptr) const;
  void ReadLoop();
  // The poll subscription's turn: the owner's polls that came, the second's tick.
  PollLoop::Clock::time_point PollTurn();
  void Closed();
  void Note(const share::OwnerState& owner);
  // A state request when nothing was sent for kKeepAlive: the owner closes
  // silent clients. Reader thread.
  void Ping();
  void SetRefusal(const std::string& text);
  std::string ServiceHoldsText() const;

  std::atomic<int> fd_{-1};
  std::atomic<bool> attached_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<pid_t> owner_pid_{0};
  std::atomic<double> time_scale_;
  std::atomic<OpenState> state_{OpenState::kInUse};
  std::atomic<bool> owner_connected_{false};
  std::atomic<int> unit_flag_{0};
  std::atomic<bool> busy_{false};
  std::atomic<int> polls_{0};
  std::atomic<bool> hello_seen_{false};
  mutable std::atomic<std::chrono::steady_clock::rep> last_sent_{0};  // when a whole message last went out
  std::atomic<gid_t> socket_gid_{static_cast<gid_t>(-1)};
  std::function<void()> on_closed_;

  mutable std::mutex mutex_;  // guards program_, message_, hello_, other_version_, refusal_, answers_, next_id_, polled_
  mutable std::condition_variable cv_;  // answers, hello, closing
  std::string program_;
  std::string message_;  // the owner's last state message
  bool hello_ = false;
  std::uint16_t other_version_ = 0;  // a hello of another protocol version
  std::string refusal_;
  mutable std::map<std::uint32_t, share::Answer> answers_;
  mutable std::set<std::uint32_t> waiting_;  // ids whose callers still wait
  mutable std::uint32_t next_id_ = 1;
  std::deque<PollSnapshot> polled_;  // the owner's polls for the poll thread
  std::atomic<bool> has_polled_{false};  // polled_ is not empty
  mutable std::mutex send_mutex_;  // one message at a time on the socket

  PollingWorker::PolledFn on_polled_;
  PollingWorker::SecondFn on_second_;
  SecondTick second_;  // poll thread only
  std::thread reader_;  // reads every message of the owner
  PollLoop poller_;     // the callbacks
};

}  // namespace norvo
