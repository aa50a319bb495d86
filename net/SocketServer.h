#pragma once
// The core of the program's two socket servers (serve's /metrics and the
// unit's share socket): one thread that owns a listening socket, accepts,
// reads, sends what is queued for each client and closes clients by the
// server's bounds. What the bytes mean is its handler's: it is told of a
// new client, of the bytes that arrived, and of a client gone.
//
// Bounds: at most max_clients (a newcomer is refused, or the oldest client
// not yet answered makes room for it); at most max_queued unsent bytes per
// client; a send that makes no progress for stall; a client's deadline; and
// whatever the handler's Keep says once a round.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace norvo::net {

class SocketServer {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;

  struct Options {
    std::size_t max_clients = 16;
    // Full: the oldest client not answered yet (else the oldest) is closed for
    // the newcomer; otherwise the newcomer is refused.
    bool evict_when_full = false;
    std::size_t max_queued = std::numeric_limits<std::size_t>::max();
    Clock::duration stall = Clock::duration::zero();  // zero: a stalled send is not timed
    // After the last answer (Queue's last), what the client still sends is read
    // and thrown away this long, so that closing with unread bytes does not
    // reset the connection before the client has the answer.
    Clock::duration linger = std::chrono::seconds(1);
    // The longest wait for an event: Keep is asked at least this often.
    Clock::duration round = std::chrono::hours(1);
  };

  // Called on the server thread, never under the server's lock: a handler may
  // Queue, SetDeadline and Close from inside.
  class Handler {
   public:
    virtual ~Handler() = default;
    // A connection waits to be accepted: false refuses it (it is closed).
    virtual bool Admit(int fd) = 0;
    // The connection is now client id.
    virtual void Accepted(Id id) = 0;
    // Bytes from the client; false closes it.
    virtual bool Received(Id id, const char* data, std::size_t size) = 0;
    // Asked once a round for every client; false closes it.
    virtual bool Keep(Id /*id*/, Clock::time_point /*now*/) { return true; }
    // The client is closed (by either side, a bound, or the server's stop).
    virtual void Gone(Id id) = 0;
  };

  SocketServer(Handler& handler, Options options) : handler_(handler), options_(options) {}
  ~SocketServer() { Stop(); }
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Serves listen_fd (bound, listening, non-blocking) from a thread of its
  // own; the server closes it at Stop. False with errno set when no thread
  // could be started (listen_fd is then the caller's).
  bool Start(int listen_fd);
  // Ends the thread and closes every client (each one Gone) and the
  // listening socket. Any thread but the server's; idempotent.
  void Stop();

  // Queues bytes for the client and wakes the server. False when the client
  // is gone or its queue overflows (it is then closed). last: once these
  // bytes are sent the client is half-closed, lingers and is closed; nothing
  // more is read from it meanwhile. Any thread.
  bool Queue(Id id, std::string bytes, bool last = false);
  // The client is closed when this passes (server thread).
  void SetDeadline(Id id, Clock::time_point deadline);
  std::size_t Clients() const;

 private:
  struct Client {
    int fd = -1;
    Clock::time_point accepted;
    Clock::time_point deadline = Clock::time_point::max();
    // Guarded by mutex_:
    std::deque<std::string> out;
    std::size_t out_at = 0;     // bytes of out.front() already sent
    std::size_t out_bytes = 0;  // unsent bytes in out
    Clock::time_point progress;  // last send progress while out was not empty
    bool answered = false;  // something was queued for it
    bool last = false;      // close once out is sent
    bool draining = false;  // the last answer is out: reading to throw away
    bool gone = false;      // to be closed by the server thread
  };

  void Run();
  void Accept(Clock::time_point now);
  // The client's turn in a round; false when it is to be closed.
  bool Turn(Id id, Client& c, short events, Clock::time_point now);
  bool Send(Client& c, Clock::time_point now);
  bool Read(Id id, Client& c);
  void Close(Id id);
  void Wake();

  Handler& handler_;
  Options options_;
  int listen_fd_ = -1;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::mutex wake_mutex_;  // guards wake_fd_ against its close while another thread queues
  int wake_fd_ = -1;       // eventfd: queued output, the stop
  mutable std::mutex mutex_;  // guards clients_ (the map itself and each client's output)
  std::map<Id, Client> clients_;  // erased and inserted only by the server thread
  Id next_id_ = 1;                // server thread only
};

}  // namespace norvo::net
