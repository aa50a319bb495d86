#include "ShareServer.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>

#include "UnitLock.h"

namespace norvo {

std::filesystem::path ShareSocketPath(const std::filesystem::path& lock_folder, const std::string& device_path) {
  return lock_folder / (UnitLockName(device_path) + ".sock");
}

gid_t ShareGroup(const std::string& device_path) {
  struct stat st {};
  if (!device_path.empty() && ::stat(device_path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return st.st_gid;
  return kNoGroup;
}

namespace {

// Requests of one client waiting for its thread; a RemoteUnit has one per
// calling thread, so more than this is a client gone wrong.
constexpr std::size_t kMaxPending = 32;

}  // namespace

struct ShareServer::Client {
  Id id = 0;
  share::Framer framer;  // server thread only
  // Guarded by the server's mutex_:
  std::chrono::steady_clock::time_point heard;     // connected, its last whole message, its last answer
  std::chrono::steady_clock::time_point partial;   // the first byte of a message not yet whole
  int in_flight = 0;                               // requests queued for its thread or running there
  bool subscribed = false;
  // The client's requests for its thread.
  std::mutex request_mutex;  // guards requests and closing
  std::condition_variable request_cv;
  std::deque<share::Request> requests;
  bool closing = false;
  std::atomic<bool> done{false};  // its thread has ended
  std::atomic<bool> abandoned{false};  // closed: its requests are not to run
  std::thread thread;
};

ShareServer::ShareServer(Unit& unit, Options options)
    : unit_(unit),
      options_(std::move(options)),
      // The round catches stalls and silent clients.
      server_(*this, {.max_clients = options_.max_clients,
                      .max_queued = options_.max_queued,
                      .stall = options_.stall,
                      .round = std::chrono::milliseconds(100)}) {
  if (options_.program.empty()) options_.program = program_invocation_short_name;
}

ShareServer::~ShareServer() { Stop(); }

namespace {

// Only a folder no stranger can write keeps a planted socket out. This
// process holds the unit's lock, so a socket left here is a crashed owner's;
// anything else is not ours to remove. "" when the place is free.
std::string FreePlace(const std::filesystem::path& socket_path) {
  if (std::string problem = FolderProblem(socket_path.parent_path()); !problem.empty()) return problem;
  struct stat st {};
  if (::lstat(socket_path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return "is there and is not a socket";
    if (::unlink(socket_path.c_str()) != 0) return std::strerror(errno);
  }
  return {};
}

}  // namespace

bool ShareServer::Start(const std::filesystem::path& socket_path, gid_t group, std::string* error) {
  std::lock_guard stop_lock(stop_mutex_);
  const auto fail = [&](const std::string& why) {
    if (error) *error = socket_path.string() + ": " + why;
    return false;
  };
  if (serving_) return fail("already serving");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = socket_path.string();
  if (text.size() >= sizeof address.sun_path) return fail("the path is too long for a socket");
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  if (const std::string problem = FreePlace(socket_path); !problem.empty()) return fail(problem);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::strerror(errno));
  struct stat st {};
  if (const std::string problem = Listen(fd, address, group, st); !problem.empty()) {
    ::close(fd);
    return fail(problem);
  }
  socket_dev_ = st.st_dev;
  socket_ino_ = st.st_ino;
  group_ = group;
  path_ = socket_path;
  serving_ = true;
  return true;
}

std::string ShareServer::Listen(int fd, const sockaddr_un& address, gid_t group, struct stat& st) {
  const char* path = address.sun_path;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::strerror(errno);
  // The credentials check stands alone; the mode keeps everyone else from
  // even reaching it. The file gets its group without chown (which the
  // service's system-call filter forbids): from the folder when it is
  // setgid (/run/norvo), else this process's group. Only when that is the
  // access group may the group reach the socket.
  bool ok = ::stat(path, &st) == 0;
  if (ok) {
    const mode_t mode = group != kNoGroup && st.st_gid == group ? 0660 : 0600;
    ok = ::chmod(path, mode) == 0 && ::stat(path, &st) == 0;
  }
  ok = ok && ::listen(fd, static_cast<int>(options_.max_clients)) == 0 && server_.Start(fd);
  if (!ok) {
    const std::string why = std::strerror(errno);
    ::unlink(path);
    return why;
  }
  return {};
}

void ShareServer::Shutdown() {
  std::lock_guard stop_lock(stop_mutex_);
  if (!serving_) return;
  serving_ = false;
  server_.Stop();
  // A new owner may already have bound its own socket under this name.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
    ::unlink(path_.c_str());
  }
}

void ShareServer::Stop() {
  Shutdown();
  std::lock_guard stop_lock(stop_mutex_);
  Reap(true);
}

std::size_t ShareServer::Clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

share::OwnerState ShareServer::Owner() const {
  return share::OwnerState{unit_.State(), unit_.Connected(), unit_.UnitFlag()};
}

void ShareServer::Publish(const PollSnapshot& snapshot) {
  share::Answer a;
  a.kind = share::Kind::kPolled;
  a.owner = Owner();
  a.snapshot = snapshot;
  const std::string bytes = share::EncodeAnswer(a);
  std::lock_guard lock(mutex_);
  for (const auto& [id, c] : clients_) {
    if (c->subscribed) server_.Queue(id, bytes);
  }
}

bool ShareServer::Allowed(int fd) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  if (peer.uid == 0 || peer.uid == ::geteuid()) return true;
  if (group_ == kNoGroup) return false;
  if (peer.gid == group_) return true;
  // The supplementary groups the peer had when it connected.
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), group_) != groups.end();
    }
    if (errno != ERANGE || bytes / sizeof(gid_t) <= groups.size()) return false;
    groups.resize(bytes / sizeof(gid_t));
  }
}

bool ShareServer::Admit(int fd) {
  Reap(false);
  std::lock_guard lock(mutex_);
  // A closed client whose request still runs counts until it ends.
  const std::size_t running = static_cast<std::size_t>(
      std::count_if(closed_.begin(), closed_.end(), [](const std::shared_ptr<Client>& c) { return !c->done.load(); }));
  return Allowed(fd) && clients_.size() + running < options_.max_clients;
}

void ShareServer::Accepted(Id id) {
  auto c = std::make_shared<Client>();
  c->id = id;
  c->heard = std::chrono::steady_clock::now();
  share::Answer hello;
  hello.kind = share::Kind::kHello;
  hello.owner = Owner();
  hello.pid = static_cast<std::int32_t>(::getpid());
  hello.program = options_.program;
  hello.time_scale = unit_.TimeScale();
  c->thread = std::thread(&ShareServer::Serve, this, c);
  std::lock_guard lock(mutex_);
  clients_[id] = c;
  server_.Queue(id, share::EncodeAnswer(hello));
}

std::shared_ptr<ShareServer::Client> ShareServer::Find(Id id) const {
  std::lock_guard lock(mutex_);
  const auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second;
}

bool ShareServer::Received(Id id, const char* data, std::size_t size) {
  const std::shared_ptr<Client> c = Find(id);
  if (!c) return false;
  const auto now = std::chrono::steady_clock::now();
  if (c->framer.Pending() == 0) {
    std::lock_guard lock(mutex_);
    c->partial = now;
  }
  c->framer.Feed(data, size);
  std::string body;
  while (c->framer.Next(&body)) {
    share::Request q;
    if (!share::DecodeRequest(body, &q)) return false;
    {
      std::lock_guard lock(mutex_);
      c->heard = now;
      c->partial = now;
    }
    // What needs no exchange is answered here; the rest waits its turn on
    // the client's thread.
    if (q.kind == share::Kind::kState || q.kind == share::Kind::kSubscribe || !RunsAnExchange(q.op)) {
      const share::Answer a = Execute(q);
      std::lock_guard lock(mutex_);
      if (q.kind == share::Kind::kSubscribe) c->subscribed = true;
      if (!server_.Queue(id, share::EncodeAnswer(a))) return false;
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      ++c->in_flight;
    }
    std::lock_guard lock(c->request_mutex);
    if (c->requests.size() >= kMaxPending) return false;
    c->requests.push_back(std::move(q));
    c->request_cv.notify_one();
  }
  return !c->framer.Bad();
}

bool ShareServer::Keep(Id id, std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto it = clients_.find(id);
  if (it == clients_.end()) return false;
  const Client& c = *it->second;
  // A message begun and not finished, or a client that neither listens to
  // the polls nor waits for an answer nor asks anything: its place goes to
  // the others.
  if (c.framer.Pending() > 0 && now - c.partial >= options_.idle) return false;
  return c.subscribed || c.in_flight > 0 || now - c.heard < options_.idle;
}

void ShareServer::Gone(Id id) {
  std::shared_ptr<Client> c;
  {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    c = it->second;
    clients_.erase(it);
    closed_.push_back(c);
  }
  {
    std::lock_guard lock(turn_mutex_);
    c->abandoned.store(true);
  }
  turn_cv_.notify_all();
  std::lock_guard lock(c->request_mutex);
  c->closing = true;
  c->request_cv.notify_all();
}

void ShareServer::Reap(bool all) {
  std::vector<std::shared_ptr<Client>> finished;
  {
    std::lock_guard lock(mutex_);
    auto keep = std::partition(closed_.begin(), closed_.end(),
                               [all](const std::shared_ptr<Client>& c) { return !all && !c->done.load(); });
    finished.assign(keep, closed_.end());
    closed_.erase(keep, closed_.end());
  }
  for (const std::shared_ptr<Client>& c : finished) c->thread.join();
}

void ShareServer::Serve(std::shared_ptr<Client> c) {
  for (;;) {
    share::Request q;
    {
      std::unique_lock lock(c->request_mutex);
      c->request_cv.wait(lock, [&] { return c->closing || !c->requests.empty(); });
      if (c->closing) break;
      q = std::move(c->requests.front());
      c->requests.pop_front();
    }
    {
      // One client sequence at a time: the owner's poll, queued on the
      // session's turn lock, waits behind this one at most. A client that
      // goes while it waits for its turn leaves the line at once.
      std::unique_lock lock(turn_mutex_);
      turn_cv_.wait(lock, [&] { return !turn_taken_ || c->abandoned.load(); });
      if (c->abandoned.load()) break;
      turn_taken_ = true;
    }
    const share::Answer a = Execute(q);
    {
      std::lock_guard lock(turn_mutex_);
      turn_taken_ = false;
    }
    turn_cv_.notify_all();
    const std::string bytes = share::EncodeAnswer(a);
    std::lock_guard lock(mutex_);
    --c->in_flight;
    c->heard = std::chrono::steady_clock::now();
    server_.Queue(c->id, bytes);
  }
  c->done.store(true);
}

share::Answer ShareServer::Execute(const share::Request& q) {
  share::Answer a;
  a.kind = q.kind;
  a.id = q.id;
  if (q.kind == share::Kind::kState) {
    a.message = unit_.StateMessage();
  } else if (q.kind != share::Kind::kSubscribe) {
    a.result = unit_.Execute(q.op);
  }
  a.owner = Owner();
  return a;
}

}  // namespace norvo
