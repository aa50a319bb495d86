#pragma once
// The unit as every front end constructs it: this process's own session
// when it can hold the unit, offered to the other processes through a
// ShareServer; else the session of the process that holds it, reached
// through a RemoteUnit. When that owner ends, the unit is taken over within
// seconds (retried for kTakeoverTime, and on every Open), and polling goes
// on from this process's own poller.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RemoteUnit.h"
#include "ShareServer.h"
#include "Unit.h"
#include "UnitSession.h"

namespace norvo {

class SharedUnit : public Unit {
 public:
  // How long a takeover is retried after the owner has gone.
  static constexpr auto kTakeoverTime = std::chrono::seconds(5);

  SharedUnit(Transport& transport, std::filesystem::path data_folder, UnitSession::Options options);
  SharedUnit(Transport& transport, std::filesystem::path data_folder);
  ~SharedUnit() override;
  SharedUnit(const SharedUnit&) = delete;
  SharedUnit& operator=(const SharedUnit&) = delete;

  // The local session first: opened, it is offered to the others; held by
  // another process, that process's session is attached. Any thread.
  OpenState Open() override;
  OpenState State() const override;
  bool Connected() const override;
  std::string StateMessage() const override;
  std::string Via() const override;
  int UnitFlag() const override;
  double TimeScale() const override { return local_.TimeScale(); }

  // Stops the takeover, the server, the local session and the remote one.
  void Stop() override;

  // The side the unit is reached through runs it. A poll run here, by a
  // front end that polls by itself (the logger), is published to the
  // attached processes too, as the worker's polls are.
  Answer Execute(const Request& request) override;

  // Locally: the session's poller, each poll also published to the others.
  // Attached: the owner's polls. Kept across a takeover.
  void StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                    std::chrono::microseconds second = std::chrono::microseconds(0)) override;
  void SetBusy(bool busy) override;
  void WaitPollIdle(std::chrono::microseconds timeout) override;
  // Counts on across a takeover.
  int PollCount() const override;

  // The path of the unit's interface this process's last open examined
  // (the same device its holder has, when attached).
  std::string DevicePath() const { return local_.DevicePath(); }
  // The last claim failed because the lock could not be used at all: nobody
  // holds the unit, this machine's folder or limits are at fault.
  bool LockUnusable() const { return local_.LockUnusable(); }
  // Called when this process's own link loses the unit (UnitSession::SetLostHandler).
  void SetLostHandler(std::function<void()> handler) { local_.SetLostHandler(std::move(handler)); }
  // This process's own session, for tests that look inside.
  UnitSession& Local() { return local_; }
  // True while the unit is reached through another process.
  bool Attached() const;
  // The server while this process offers the unit, else null.
  std::shared_ptr<ShareServer> Server() const;
  // Why the unit was not offered to the others or not reached through its
  // owner, the last time either failed; "" when neither did. A holder that
  // is refused (untrusted, or the service that does not serve this user)
  // is never attached; StateMessage then says so instead of "in use".
  std::string ShareError() const;

 private:
  std::shared_ptr<RemoteUnit> Remote() const;
  // The side calls go to: the remote one while there is one (it fails at
  // once when the owner has gone), else the local session.
  std::shared_ptr<Unit> Active() const;
  void Serve(const std::string& device_path);
  bool Attach(const std::string& device_path);
  void DropRemote();
  void StartLocalPolling();
  void Supervise();
  std::filesystem::path SocketFor(const std::string& device_path) const;
  // Where the holder's socket may be, in the order to try.
  std::vector<std::filesystem::path> HolderSockets(const std::string& device_path) const;
  void SetHolderNote(const std::string& note);

  UnitSession local_;
  std::shared_ptr<Unit> local_view_;  // local_ as a shared pointer that owns nothing
  std::filesystem::path lock_folder_;  // empty: UnitLockFolder()

  std::mutex open_mutex_;  // serialises Open, the takeover and Stop
  mutable std::mutex mutex_;  // guards remote_, server_, share_error_, holder_note_ and the polling request
  std::shared_ptr<RemoteUnit> remote_;
  std::shared_ptr<ShareServer> server_;
  std::string share_error_;
  std::string holder_note_;  // the holder refused or untrusted: what StateMessage says then
  bool polling_ = false;
  PollingWorker::PolledFn on_polled_;
  PollingWorker::SecondFn on_second_;
  std::chrono::microseconds second_{0};
  std::atomic<bool> busy_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<int> poll_base_{0};  // polls counted by sides left behind

  std::mutex takeover_mutex_;  // guards owner_gone_ and end_takeover_
  std::condition_variable takeover_cv_;
  bool owner_gone_ = false;
  bool end_takeover_ = false;
  std::thread takeover_;  // retries Open when the owner has gone
};

}  // namespace norvo
