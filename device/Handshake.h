#pragma once
// The command/response handshake's state, and the only code that changes it:
// one exchange token (a manual-reset event) and the response type that the
// next input report answers.
//
// A sender waits for the token, calls Expect with the type it asks for and
// writes its command; the reader thread routes the answer by Pending and
// calls Answered, which gives the token back. A sender ends its sequence with
// Release. Losing the unit, stopping the link or cancelling a wait calls
// Wake, so that no sender waits for an answer that cannot come.

#include <atomic>
#include <chrono>

#include "Frames.h"
#include "ManualResetEvent.h"

namespace norvo {

class Handshake {
 public:
  // Sender: takes the token; the next report answers `type`.
  void Expect(int type) {
    event_.Reset();
    pending_.store(type);
  }
  // Sender: reports still on their way are routed as `type` from now on, the
  // token staying as it is (response::kNone or response::kWrite drops them).
  void Redirect(int type) { pending_.store(type); }
  // Reader: the answer is in; nothing more is expected and the sender goes on.
  void Answered() {
    pending_.store(response::kNone);
    event_.Set();
  }
  // Sender, at the end of a sequence: the token is left set for the next one.
  void Release() { event_.Set(); }
  // Any thread: a sender waiting for an answer goes on without it.
  void Wake() { event_.Set(); }

  int Pending() const { return pending_.load(); }
  bool IsSet() const { return event_.IsSet(); }
  // True when the token was given back within the time-out.
  template <class Rep, class Period>
  bool Wait(std::chrono::duration<Rep, Period> timeout) {
    return event_.Wait(timeout);
  }

 private:
  ManualResetEvent event_{true};
  std::atomic<int> pending_{response::kNone};
};

}  // namespace norvo
