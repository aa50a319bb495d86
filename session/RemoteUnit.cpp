#include "RemoteUnit.h"

#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "UnitLock.h"

#include "res/Strings.h"

namespace norvo {

namespace {

constexpr auto kHelloWait = std::chrono::seconds(2);
// The owner's longest sequences (a verified write, a card list) end within
// seconds; an answer this late means the owner hangs.
constexpr auto kAnswerWait = std::chrono::seconds(120);
constexpr std::size_t kMaxPolledHeld = 16;
// Below the owner's idle limit (ShareServer::Options::idle).
constexpr auto kKeepAlive = std::chrono::seconds(1);

// The owners and modes of the socket's folder and of the socket file, and
// the socket's group; why they could not be read, or "".
std::string ReadFileFacts(const std::filesystem::path& socket_path, HolderFacts* facts, gid_t* group) {
  struct stat st {};
  if (::lstat(socket_path.parent_path().c_str(), &st) != 0) return std::strerror(errno);
  facts->folder_uid = st.st_uid;
  facts->folder_mode = st.st_mode;
  if (::lstat(socket_path.c_str(), &st) != 0) return std::strerror(errno);
  facts->socket_uid = st.st_uid;
  facts->socket_mode = st.st_mode;
  *group = st.st_gid;
  return "";
}

// Connects, with connect (a full backlog) and every send bounded to 2 s, and
// adds the serving process to the facts. Nothing is sent. The socket, or -1
// with the error number.
int ConnectAndAsk(const sockaddr_un& address, HolderFacts* facts, int* problem) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *problem = errno;
    return -1;
  }
  timeval limit{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    *problem = errno;
    ::close(fd);
    return -1;
  }
  facts->peer_known = true;
  facts->peer_uid = peer.uid;
  facts->peer_pid = peer.pid;
  return fd;
}

share::Request Ask(share::Kind kind) {
  share::Request q;
  q.kind = kind;
  return q;
}

}  // namespace

RemoteUnit::RemoteUnit(double time_scale) : time_scale_(time_scale) {}

RemoteUnit::~RemoteUnit() { Stop(); }

bool RemoteUnit::Connect(const std::filesystem::path& socket_path, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = socket_path.string() + ": " + why;
    Stop();
    return false;
  };
  const auto refuse = [&](const std::string& why) {
    SetRefusal(why);
    if (error) *error = why;
    Stop();
    return false;
  };
  if (fd_.load() >= 0 || reader_.joinable() || stopping_.load()) return fail("already used");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = socket_path.string();
  if (text.size() >= sizeof address.sun_path) return fail("the path is too long for a socket");
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  // Who the holder is, before a byte goes to it: the folder and the socket
  // file, then the process that serves it.
  HolderFacts facts;
  gid_t group = 0;
  if (std::string why = ReadFileFacts(socket_path, &facts, &group); !why.empty()) return fail(why);
  socket_gid_.store(group);
  const uid_t self = ::geteuid(), service = ServiceUid();
  if (std::string why = JudgeHolder(socket_path, facts, self, service); !why.empty()) return refuse(why);
  const bool service_holds = service != static_cast<uid_t>(-1) && facts.socket_uid == service && service != self;
  int problem = 0;
  const int fd = ConnectAndAsk(address, &facts, &problem);
  if (fd < 0) {
    if (service_holds && problem == EACCES) SetRefusal(ServiceHoldsText());
    return fail(std::strerror(problem));
  }
  if (std::string why = JudgeHolder(socket_path, facts, self, service); !why.empty()) {
    ::close(fd);
    return refuse(why);
  }
  fd_.store(fd);
  last_sent_.store(std::chrono::steady_clock::now().time_since_epoch().count());
  attached_.store(true);
  reader_ = std::thread(&RemoteUnit::ReadLoop, this);
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, kHelloWait, [this] { return hello_ || !attached_.load(); }) || !hello_) {
    const bool old = other_version_ != 0;
    const std::uint16_t version = other_version_;
    lock.unlock();
    if (old) {
      return fail(UIString(ui::kHolderVersion) +
                  std::to_string(version) + UIString(ui::kProgramVersion) +
                  std::to_string(share::kVersion));
    }
    if (service_holds) SetRefusal(ServiceHoldsText());
    return fail("the owner did not let this process in");
  }
  return true;
}

std::string RemoteUnit::OwnerProgram() const {
  std::lock_guard lock(mutex_);
  return program_;
}

void RemoteUnit::Note(const share::OwnerState& owner) {
  state_.store(owner.state);
  owner_connected_.store(owner.connected);
  unit_flag_.store(owner.unit_flag);
}

void RemoteUnit::ReadLoop() {
  share::Framer framer;
  char chunk[16 * 1024];
  std::string body;
  for (;;) {
    pollfd in{fd_.load(), POLLIN, 0};
    const int ready = ::poll(&in, 1, static_cast<int>(std::chrono::milliseconds(kKeepAlive).count() / 2));
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      // The owner closes a client that is silent for long; a state request
      // costs it no exchange.
      Ping();
      continue;
    }
    const ssize_t n = ::recv(fd_.load(), chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    framer.Feed(chunk, static_cast<std::size_t>(n));
    bool bad = false;
    while (framer.Next(&body)) {
      share::Answer a;
      if (!share::DecodeAnswer(body, &a)) {
        bad = true;
        break;
      }
      Note(a.owner);
      std::lock_guard lock(mutex_);
      if (a.kind == share::Kind::kHello) {
        if (hello_ || a.version != share::kVersion) {
          if (!hello_) other_version_ = a.version;
          bad = true;
          break;
        }
        hello_ = true;
        hello_seen_.store(true);
        owner_pid_.store(a.pid);
        program_ = a.program;
        time_scale_.store(a.time_scale);
      } else if (!hello_) {
        bad = true;
        break;
      } else if (a.kind == share::Kind::kPolled) {
        if (polled_.size() == kMaxPolledHeld) polled_.pop_front();
        polled_.push_back(std::move(a.snapshot));
        has_polled_.store(true);
        poller_.Wake();
      } else {
        if (a.kind == share::Kind::kState) message_ = a.message;
        if (waiting_.count(a.id)) answers_[a.id] = std::move(a);
      }
      cv_.notify_all();
    }
    if (bad || framer.Bad()) break;
  }
  Closed();
}

void RemoteUnit::Ping() {
  const auto now = std::chrono::steady_clock::now();
  if (now - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(last_sent_.load())) < kKeepAlive) {
    return;
  }
  const std::string bytes = share::EncodeRequest(Ask(share::Kind::kState));
  std::lock_guard send_lock(send_mutex_);
  const int fd = fd_.load();
  if (fd < 0 || !hello_seen_.load()) return;
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(bytes.size())) {
    last_sent_.store(now.time_since_epoch().count());
  }
}

void RemoteUnit::SetRefusal(const std::string& text) {
  std::lock_guard lock(mutex_);
  refusal_ = text;
}

std::string RemoteUnit::Refusal() const {
  std::lock_guard lock(mutex_);
  return refusal_;
}

std::string RemoteUnit::ServiceHoldsText() const {
  std::string group_name = kUnitGroup;
  if (const gid_t gid = socket_gid_.load(); gid != 0 && gid != static_cast<gid_t>(-1)) {
    std::vector<char> buffer(4096);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
      group_name = found->gr_name;
    }
  }
  return UIString(ui::kHeldByLoggerGroup) +
         group_name +
         UIString(ui::kJoinLoggerGroup);
}

void RemoteUnit::Closed() {
  bool was_attached;
  {
    std::lock_guard lock(mutex_);
    was_attached = hello_ && attached_.load();
    attached_.store(false);
    cv_.notify_all();
  }
  // No caller writes to a socket whose reader has ended.
  if (const int fd = fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  if (was_attached && !stopping_.load() && on_closed_) on_closed_();
}

void RemoteUnit::Stop() {
  stopping_.store(true);
  if (const int fd = fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard lock(mutex_);
    attached_.store(false);
    cv_.notify_all();
  }
  poller_.Stop();
  std::lock_guard send_lock(send_mutex_);
  if (const int fd = fd_.exchange(-1); fd >= 0) ::close(fd);
}

bool RemoteUnit::Call(share::Request q, share::Answer* a, bool* sent) const {
  if (sent) *sent = false;
  if (!attached_.load()) return false;
  {
    std::lock_guard lock(mutex_);
    q.id = next_id_++;
    waiting_.insert(q.id);
  }
  const std::string bytes = share::EncodeRequest(q);
  bool written = false;
  {
    std::lock_guard send_lock(send_mutex_);
    const int fd = fd_.load();
    std::size_t at = 0;
    while (fd >= 0 && at < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    written = at == bytes.size();
    if (written) last_sent_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    // Half a message would leave the stream unreadable: the connection ends.
    if (!written && fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  if (sent) *sent = written;
  std::unique_lock lock(mutex_);
  bool answered = false;
  if (written) {
    answered = cv_.wait_for(lock, kAnswerWait, [&] { return answers_.count(q.id) > 0 || !attached_.load(); }) &&
               answers_.count(q.id) > 0;
  }
  if (answered) {
    *a = std::move(answers_[q.id]);
    answers_.erase(q.id);
  }
  waiting_.erase(q.id);
  return answered;
}

OpenState RemoteUnit::Open() {
  share::Answer a;
  Call(Ask(share::Kind::kState), &a);
  return State();
}

OpenState RemoteUnit::State() const { return attached_.load() ? state_.load() : OpenState::kNoUnit; }

bool RemoteUnit::Connected() const { return attached_.load() && owner_connected_.load(); }

std::string RemoteUnit::StateMessage() const {
  if (!attached_.load()) {
    const std::string via = Via();
    if (via.empty()) return UIString(ui::kNoUnitFound);
    return UIString(ui::kUnitWasReached) + via +
           UIString(ui::kWhichHasEnded);
  }
  if (owner_connected_.load()) return "";
  std::lock_guard lock(mutex_);
  return message_.empty() ? UIString(ui::kNoUnitFound) : message_;
}

std::string RemoteUnit::Via() const {
  std::lock_guard lock(mutex_);
  if (!hello_) return "";
  return UIString(ui::kThrough) + program_ + UIString(ui::kProcessOpen) +
         std::to_string(owner_pid_.load()) + ")";
}

Answer RemoteUnit::Execute(const Request& request) {
  const bool valid = std::visit([](const auto& o) { return Valid(o); }, request);
  if (!valid) return UnansweredAnswer(request, false);
  share::Answer a;
  bool sent = false;
  // An answer to another operation than the one asked is no answer.
  if (Call(share::Operation(request), &a, &sent) && a.result.index() == request.index()) return std::move(a.result);
  return UnansweredAnswer(request, sent);
}

void RemoteUnit::StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                              std::chrono::microseconds second) {
  if (poller_.Started() || stopping_.load()) return;
  on_polled_ = std::move(on_polled);
  on_second_ = std::move(on_second);
  second_.Begin(second.count() > 0
                    ? second
                    : std::chrono::microseconds(static_cast<std::int64_t>(1e6 * time_scale_.load())));
  share::Answer a;
  Call(Ask(share::Kind::kSubscribe), &a);
  poller_.Start([this] { return PollTurn(); }, [this] { return has_polled_.load(); });
}

PollLoop::Clock::time_point RemoteUnit::PollTurn() {
  std::deque<PollSnapshot> polled;
  {
    std::lock_guard lock(mutex_);
    polled.swap(polled_);
    has_polled_.store(false);
  }
  for (const PollSnapshot& s : polled) {
    // Busy: a command's dialog is up, and the local poller would not poll.
    if (busy_.load()) continue;
    ++polls_;
    if (on_polled_) on_polled_(s);
  }
  if (second_.Due() && on_second_) on_second_();
  return second_.Next();
}

}  // namespace norvo
