#pragma once
// The one door to a unit. Every front end (console, dialogs, History,
// norvoctl, serve) talks to the unit through this interface and nothing else:
// the link, the response store, the dispatcher and the card transfer stay
// inside the implementation. UnitSession owns the device in this process;
// a RemoteUnit reaches the unit through the process that owns it.
//
// Every call but the accessors runs whole exchange sequences and may block
// for seconds: call them off the user-interface thread. All are safe to call
// from any thread; the implementation serialises the sequences.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "PollingWorker.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Payload.h"

namespace norvo {

struct CardFile {
  std::string name;   // as the unit sends it (Latin-1)
  std::int64_t size;  // bytes
};

// A card list. complete is true only when the unit's end marker arrived: an
// incomplete list (silent unit, unplug) is a failure for every front end,
// whatever entries arrived before.
struct CardList {
  std::vector<CardFile> files;
  bool complete = false;
  // The size of a listed name, or -1.
  std::int64_t SizeOf(const std::string& name) const {
    for (const CardFile& f : files) {
      if (f.name == name) return f.size;
    }
    return -1;
  }
};

class Unit {
 public:
  virtual ~Unit() = default;

  // ---- state (cheap, any thread) ----
  // Finds and opens the unit again (plug events, retries): kOpened when it is
  // reachable now, directly or through the process that owns it.
  virtual OpenState Open() = 0;
  virtual OpenState State() const = 0;
  virtual bool Connected() const = 0;
  // Why the unit is not connected, in words a user can act on; "" when it is.
  virtual std::string StateMessage() const = 0;
  // Through which process the unit is reached: "" when this process owns it.
  virtual std::string Via() const = 0;
  // 0 = Celsius, non-zero = Fahrenheit, as the last settings read said.
  virtual int UnitFlag() const = 0;
  // The waits of the protocol are multiplied by this (tests shrink them).
  virtual double TimeScale() const = 0;
  // Every unit-owned block as the last reads left it (no exchange).
  virtual PollSnapshot Blocks() const = 0;

  // Stops polling and every wait, and lets the unit go. Idempotent.
  virtual void Stop() = 0;

  // ---- exchange sequences ----
  virtual PollSnapshot PollOnce() = 0;
  virtual bool ReadSettings() = 0;
  virtual bool ReadAlarms() = 0;
  virtual bool ReadCalibration() = 0;
  virtual bool ReadLive() = 0;
  // Permission query, data frames, end frame as timing says.
  virtual WriteOutcome Write(std::span<const Payload> frames, const WriteTiming& timing) = 0;
  // The same, then every block the frames wrote is read back and compared
  // with what was sent: kDifferent or kUnverified name the block in *block.
  virtual WriteOutcome WriteVerified(std::span<const Payload> frames, const WriteTiming& timing,
                                     std::string* block) = 0;

  // ---- the SD card ----
  virtual CardList ListCardFiles() = 0;
  // One read command: bytes [start, end) of a card file into *into. True when
  // the unit answered with exactly end - start bytes and its end marker.
  virtual bool ReadCardRange(const std::string& name, std::int64_t start, std::int64_t end, std::string* into) = 0;
  // The unit never answers a delete; only a new list tells whether it took it.
  virtual void DeleteCardFile(const std::string& name) = 0;

  // ---- polling ----
  // Starts polling once. on_polled gets every poll cycle's snapshot (for a
  // remote unit: the owner's polls); on_second is called once a second. Both
  // run on a worker thread and must hand over to the UI thread themselves.
  virtual void StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                            std::chrono::microseconds second = std::chrono::microseconds(0)) = 0;
  // While busy no poll cycle of this process starts.
  virtual void SetBusy(bool busy) = 0;
  // Waits up to timeout for a running poll cycle of this process to end.
  virtual void WaitPollIdle(std::chrono::microseconds timeout) = 0;
  virtual int PollCount() const = 0;
};

}  // namespace norvo
