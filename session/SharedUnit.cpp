#include "SharedUnit.h"

#include <sys/stat.h>

namespace norvo {

SharedUnit::SharedUnit(Transport& transport, std::filesystem::path data_folder)
    : SharedUnit(transport, std::move(data_folder), UnitSession::Options{}) {}

SharedUnit::SharedUnit(Transport& transport, std::filesystem::path data_folder, UnitSession::Options options)
    : local_(transport, std::move(data_folder), options),
      local_view_(&local_, [](Unit*) {}),
      lock_folder_(options.lock_folder) {}

SharedUnit::~SharedUnit() { Stop(); }

std::filesystem::path SharedUnit::SocketFor(const std::string& device_path) const {
  return ShareSocketPath(lock_folder_.empty() ? UnitLockFolder() : lock_folder_, device_path);
}

std::vector<std::filesystem::path> SharedUnit::HolderSockets(const std::string& device_path) const {
  std::vector<std::filesystem::path> sockets;
  const std::vector<std::filesystem::path> folders =
      lock_folder_.empty() ? HolderFolders(UnitLockFolder()) : std::vector<std::filesystem::path>{lock_folder_};
  for (const std::filesystem::path& folder : folders) sockets.push_back(ShareSocketPath(folder, device_path));
  return sockets;
}

std::shared_ptr<RemoteUnit> SharedUnit::Remote() const {
  std::lock_guard lock(mutex_);
  return remote_;
}

std::shared_ptr<Unit> SharedUnit::Active() const {
  std::lock_guard lock(mutex_);
  if (remote_) return remote_;
  return local_view_;
}

std::shared_ptr<ShareServer> SharedUnit::Server() const {
  std::lock_guard lock(mutex_);
  return server_;
}

std::string SharedUnit::ShareError() const {
  std::lock_guard lock(mutex_);
  return share_error_;
}

bool SharedUnit::Attached() const {
  const std::shared_ptr<RemoteUnit> remote = Remote();
  return remote && remote->Attached();
}

OpenState SharedUnit::Open() {
  std::lock_guard open_lock(open_mutex_);
  if (stopped_.load()) return State();
  if (const std::shared_ptr<RemoteUnit> remote = Remote(); remote && remote->Attached()) return remote->Open();
  const OpenState state = local_.Open();
  // Where the session found the unit, held or not.
  const std::string path = local_.DevicePath();
  if (state == OpenState::kOpened) {
    SetHolderNote("");
    DropRemote();
    Serve(path);
    StartLocalPolling();
    return state;
  }
  // A lock that could not be used names no holder to attach to.
  if (state == OpenState::kInUse && !local_.LockUnusable() && Attach(path)) return Remote()->State();
  return state;
}

void SharedUnit::Serve(const std::string& device_path) {
  const std::filesystem::path socket = SocketFor(device_path);
  std::shared_ptr<ShareServer> old;
  {
    std::lock_guard lock(mutex_);
    if (server_ && server_->SocketPath() == socket) return;
    old = std::move(server_);
  }
  // A new device path (the unit came back elsewhere) has a new lock, and so
  // a new socket.
  if (old) old->Stop();
  auto server = std::make_shared<ShareServer>(local_);
  std::string error;
  const bool serving = server->Start(socket, ShareGroup(device_path), &error);
  std::lock_guard lock(mutex_);
  // Without a server this process still has the unit; the others are told
  // it is in use, as before.
  if (serving) {
    server_ = std::move(server);
  } else {
    share_error_ = error;
  }
}

bool SharedUnit::Attach(const std::string& device_path) {
  DropRemote();
  const auto make = [this] {
    auto made = std::make_shared<RemoteUnit>(local_.TimeScale());
    made->SetOnClosed([this] {
      std::lock_guard lock(takeover_mutex_);
      owner_gone_ = true;
      takeover_cv_.notify_all();
    });
    return made;
  };
  std::shared_ptr<RemoteUnit> remote = make();
  // The holder's socket: this user's own processes first, then the
  // service's. An untrusted holder, or the service that does not serve this
  // user, ends the search: nothing else holds the unit.
  std::string error = "no socket of the unit's holder";
  bool connected = false;
  for (const std::filesystem::path& socket : HolderSockets(device_path)) {
    struct stat st {};
    if (::lstat(socket.c_str(), &st) != 0) continue;
    if (remote->Connect(socket, &error)) {
      connected = true;
      break;
    }
    if (!remote->Refusal().empty()) break;
    remote = make();
  }
  SetHolderNote(connected ? "" : remote->Refusal());
  if (!connected) {
    std::lock_guard lock(mutex_);
    share_error_ = error;
    return false;
  }
  remote->SetBusy(busy_.load());
  bool poll = false;
  PollingWorker::PolledFn on_polled;
  PollingWorker::SecondFn on_second;
  std::chrono::microseconds second{0};
  {
    std::lock_guard lock(mutex_);
    remote_ = remote;
    poll = polling_;
    on_polled = on_polled_;
    // A local poller already running (polling asked for before the unit
    // was found) keeps the seconds; two would call twice a second.
    if (!local_.Polling()) on_second = on_second_;
    second = second_;
  }
  if (poll) remote->StartPolling(on_polled, on_second, second);
  if (!takeover_.joinable()) takeover_ = std::thread(&SharedUnit::Supervise, this);
  return true;
}

void SharedUnit::DropRemote() {
  std::shared_ptr<RemoteUnit> remote;
  {
    std::lock_guard lock(mutex_);
    remote = std::move(remote_);
  }
  if (!remote) return;
  remote->Stop();
  poll_base_ += remote->PollCount();
}

void SharedUnit::StartLocalPolling() {
  PollingWorker::PolledFn on_polled;
  PollingWorker::SecondFn on_second;
  std::chrono::microseconds second{0};
  {
    std::lock_guard lock(mutex_);
    if (!polling_ || local_.Polling()) return;
    on_polled = on_polled_;
    on_second = on_second_;
    second = second_;
  }
  local_.StartPolling(
      [this, on_polled](const PollSnapshot& s) {
        if (const std::shared_ptr<ShareServer> server = Server()) server->Publish(s);
        if (on_polled) on_polled(s);
      },
      on_second, second);
  local_.SetBusy(busy_.load());
}

void SharedUnit::Supervise() {
  std::unique_lock lock(takeover_mutex_);
  for (;;) {
    takeover_cv_.wait(lock, [this] { return end_takeover_ || owner_gone_; });
    if (end_takeover_) return;
    owner_gone_ = false;
    const auto deadline = std::chrono::steady_clock::now() + kTakeoverTime;
    while (!end_takeover_ && !owner_gone_) {
      lock.unlock();
      Open();
      const bool reached = Attached() || (Remote() == nullptr && local_.Connected());
      lock.lock();
      if (reached || std::chrono::steady_clock::now() >= deadline) break;
      // The owner's lock may outlive its socket by a moment; or another
      // process took the unit and has yet to offer it.
      takeover_cv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return end_takeover_; });
    }
  }
}

void SharedUnit::Stop() {
  stopped_.store(true);
  {
    std::lock_guard lock(takeover_mutex_);
    end_takeover_ = true;
    takeover_cv_.notify_all();
  }
  // An Open in progress may start the takeover thread: it is taken under the
  // Open lock (no Open after this one starts another, stopped_ is set) and
  // joined outside it, since the thread itself opens.
  std::thread takeover;
  {
    std::lock_guard open_lock(open_mutex_);
    takeover = std::move(takeover_);
  }
  if (takeover.joinable()) takeover.join();
  std::lock_guard open_lock(open_mutex_);
  std::shared_ptr<ShareServer> server;
  std::shared_ptr<RemoteUnit> remote;
  {
    std::lock_guard lock(mutex_);
    server = server_;
    remote = remote_;
  }
  // The clients see the end of the stream first and start to take over;
  // the session then lets the unit go and its calls in progress end at
  // once, so the server's threads finish without waiting out time-outs.
  if (server) server->Shutdown();
  local_.Stop();
  if (remote) remote->Stop();
  if (server) server->Stop();
}

OpenState SharedUnit::State() const {
  const std::shared_ptr<RemoteUnit> remote = Remote();
  return remote && remote->Attached() ? remote->State() : local_.State();
}

bool SharedUnit::Connected() const { return Active()->Connected(); }
std::string SharedUnit::StateMessage() const {
  if (!Attached() && local_.State() == OpenState::kInUse) {
    std::lock_guard lock(mutex_);
    if (!holder_note_.empty()) return holder_note_;
  }
  return Active()->StateMessage();
}

void SharedUnit::SetHolderNote(const std::string& note) {
  std::lock_guard lock(mutex_);
  holder_note_ = note;
}

std::string SharedUnit::Via() const {
  const std::shared_ptr<RemoteUnit> remote = Remote();
  return remote && remote->Attached() ? remote->Via() : "";
}

int SharedUnit::UnitFlag() const { return Active()->UnitFlag(); }
Answer SharedUnit::Execute(const Request& request) {
  Answer answer = Active()->Execute(request);
  if (const auto* poll = std::get_if<Reply<op::PollOnce>>(&answer); poll && !Attached()) {
    if (const std::shared_ptr<ShareServer> server = Server()) server->Publish(poll->value);
  }
  return answer;
}

void SharedUnit::StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                              std::chrono::microseconds second) {
  std::lock_guard open_lock(open_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (polling_) return;
    polling_ = true;
    on_polled_ = std::move(on_polled);
    on_second_ = std::move(on_second);
    second_ = second;
  }
  // Attached: the owner's polls. Otherwise the local poller, which polls
  // once this process holds the unit and counts the seconds meanwhile.
  if (const std::shared_ptr<RemoteUnit> remote = Remote()) {
    remote->StartPolling(on_polled_, on_second_, second_);
  } else {
    StartLocalPolling();
  }
}

void SharedUnit::SetBusy(bool busy) {
  busy_.store(busy);
  local_.SetBusy(busy);
  if (const std::shared_ptr<RemoteUnit> remote = Remote()) remote->SetBusy(busy);
}

void SharedUnit::WaitPollIdle(std::chrono::microseconds timeout) { Active()->WaitPollIdle(timeout); }

int SharedUnit::PollCount() const { return poll_base_.load() + Active()->PollCount(); }

}  // namespace norvo
