#pragma once
// The polling worker's counter rule, one call per second of its loop.
//
// While connected and idle the counter grows by 2 per second and a poll runs
// when it is 0 or has reached 40: the first poll comes as soon as the unit is
// connected and idle, the next ones every 20 seconds. While disconnected or
// busy it grows by 1 per second, so after 40 seconds away the first idle,
// connected second polls at once.

namespace norvo {

class PollScheduler {
 public:
  // True when this second starts a poll cycle.
  bool Tick(bool connected, bool busy) {
    bool poll = false;
    if (connected && !busy) {
      if (c_ == 0 || c_ >= kThreshold) {
        poll = true;
        c_ = 1;
      }
      ++c_;
    }
    ++c_;
    return poll;
  }

  int Counter() const { return c_; }

  static constexpr int kThreshold = 40;

 private:
  int c_ = 0;
};

}  // namespace norvo
