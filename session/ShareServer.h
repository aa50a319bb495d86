#pragma once
// The process that owns a unit offers its session to the others on a Unix
// stream socket beside the per-unit lock (ShareSocketPath). Each request of a
// client runs the owner's Unit call on that client's server thread; the
// owner hands its poll snapshots to Publish, which never waits for a client.
//
// Only root, the owner's user and members of the device's group may connect
// (the peer's credentials; the socket file is 0660 when it has that group,
// else 0600); anyone else is closed at once. Client requests run one at a
// time, each bounded (ShareCodec), and not at all once their client has
// gone; requests still running count against max_clients. A client that sends a malformed or oversized
// message, lets its queue of unsent bytes overflow or stalls a send for a
// second is closed; the others go on.

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ShareCodec.h"
#include "Unit.h"
#include "net/SocketServer.h"

namespace norvo {

// The socket of a unit: the unit lock's folder, the lock's name + ".sock".
std::filesystem::path ShareSocketPath(const std::filesystem::path& lock_folder, const std::string& device_path);

// No group may reach the socket: only root and the owner's user.
inline constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

// The group whose members may reach the unit through its owner: the device
// node's group when device_path names a character device, else kNoGroup
// (never the owner's own group, which unrelated users may share).
gid_t ShareGroup(const std::string& device_path);

class ShareServer : private net::SocketServer::Handler {
 public:
  struct Options {
    std::string program;                // sent to clients; empty: this program's name
    std::size_t max_clients = 16;
    std::size_t max_queued = 256 * 1024;  // unsent bytes per client
    std::chrono::milliseconds stall{1000};  // a send that makes no progress this long
    // A client that has asked nothing this long, is not subscribed and waits
    // for no answer, or a message begun this long ago and not finished, is
    // closed (RemoteUnit asks every kKeepAlive while it has nothing to ask).
    std::chrono::milliseconds idle{3000};
  };

  // unit: the owner's session; it outlives the server.
  ShareServer(Unit& unit, Options options);
  explicit ShareServer(Unit& unit) : ShareServer(unit, Options{}) {}
  ~ShareServer() override;
  ShareServer(const ShareServer&) = delete;
  ShareServer& operator=(const ShareServer&) = delete;

  // Binds the socket (a stale socket file there is removed first; anything
  // else there is left alone and Start fails) and starts the server thread.
  // False with the reason in *error.
  bool Start(const std::filesystem::path& socket_path, gid_t group, std::string* error);
  // Closes every client and removes the socket file (if it is still this
  // server's); requests in progress finish on their threads. Any thread.
  void Shutdown();
  // Shutdown, then waits for the client threads. Idempotent.
  void Stop();

  // Queues the snapshot for every subscribed client and returns: never waits
  // for a client. Call from the owner's poll callback.
  void Publish(const PollSnapshot& snapshot);

  const std::filesystem::path& SocketPath() const { return path_; }
  std::size_t Clients() const;

 private:
  using Id = net::SocketServer::Id;
  struct Client;
  bool Admit(int fd) override;
  void Accepted(Id id) override;
  bool Received(Id id, const char* data, std::size_t size) override;
  bool Keep(Id id, std::chrono::steady_clock::time_point now) override;
  void Gone(Id id) override;
  bool Allowed(int fd) const;
  // Binds fd to the address, gives the socket file its mode (st: the file as
  // bound), listens and hands fd to the server; "" or why not, the file
  // removed again.
  std::string Listen(int fd, const sockaddr_un& address, gid_t group, struct stat& st);
  std::shared_ptr<Client> Find(Id id) const;
  void Serve(std::shared_ptr<Client> c);
  share::OwnerState Owner() const;
  share::Answer Execute(const share::Request& q);
  void Reap(bool all);

  Unit& unit_;
  Options options_;
  net::SocketServer server_;  // accepts, reads, sends, never waits on a socket
  std::filesystem::path path_;
  dev_t socket_dev_ = 0;  // the socket file as bound, so that only ours is removed
  ino_t socket_ino_ = 0;
  gid_t group_ = 0;
  bool serving_ = false;  // guarded by stop_mutex_

  mutable std::mutex mutex_;  // guards clients_, closed_ and every client's subscribed, in_flight, heard, partial
  std::map<Id, std::shared_ptr<Client>> clients_;
  std::vector<std::shared_ptr<Client>> closed_;  // gone, their thread not joined yet
  std::mutex stop_mutex_;                        // serialises Start, Shutdown and Stop
  std::mutex turn_mutex_;                        // guards turn_taken_
  std::condition_variable turn_cv_;              // the turn is free, or a waiting client has gone
  bool turn_taken_ = false;                      // a client request runs
};

}  // namespace norvo
