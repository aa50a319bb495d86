#pragma once
// What can be asked of a unit, as values: one struct per operation, its
// fields and what it answers. A Request holds one operation, an Answer the
// reply to it (the alternative at the same index). The session that owns the
// device runs them (UnitSession::Execute); the sharing code carries them to
// the owner and back without knowing any one of them.
//
// Each operation names its message kind and describes its fields once, in
// Fields(io, ...), for both directions: io writes them when Io::kWriting,
// else reads them and Require()s what a reader must check. Every field has a
// bound, so that no message outgrows the socket's limit. No I/O, no threads.
//
// Adding an operation: a struct here, its place in Request, and its case in
// UnitSession::Execute.

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "device/CardReader.h"
#include "device/DeviceLink.h"
#include "device/Encodings.h"
#include "device/Exchange.h"
#include "device/LiveReadings.h"
#include "device/Payload.h"

namespace norvo {

// What one poll cycle read, by value. A block counts as the unit's only when
// its sequence was answered in full during the connection it names; anything
// else is what the store held before (zeros, or an earlier connection's).
struct PollSnapshot {
  LiveReadings live;
  Payload settings{};
  Payload calibration{};
  Payload alarm_a{}, alarm_b{}, alarm_c{}, alarm_d{};
  int interval = 0;
  std::string identification;
  std::uint64_t connection = 0;  // DeviceLink::Connection() when the cycle ran
  bool settings_read = false;    // settings, identification and interval
  bool alarms_read = false;
  bool calibration_read = false;
  bool live_read = false;
  std::chrono::system_clock::time_point time;  // when the cycle ended
};

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

// The answer of an operation that answers nothing.
struct Done {};

// A write's outcome; block names the block a verified write found different
// or could not read back.
struct WriteResult {
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  std::string block;
};

// Bytes of one card read command; ok only when exactly the range arrived
// with the unit's end marker.
struct CardRange {
  bool ok = false;
  std::string data;
};

// The bounds every operation keeps, whoever runs it.
constexpr std::size_t kMaxWriteFrames = 256;   // payloads in one write
constexpr std::size_t kMaxCardNameBytes = 64;  // a list report holds the name
constexpr std::size_t kMaxListedFiles = kMaxCardFiles;  // the card reader's table holds no more
constexpr std::size_t kMaxBlockName = 255;     // a written block's name, the identification
// Card bytes in one range; a longer range is read in pieces (ReadCardRange below).
constexpr std::int64_t kMaxCardRange = 48 * 1024;
// A write timing's waits: no longer than the console's own longest write
// sequence waits (a dialog's write before, a clock's after), so that nobody
// holds the unit longer than the console itself would.
constexpr int kMaxFirstWaitMs = std::max({kDialogWrite.first_wait_ms, kClockWrite.first_wait_ms, kIntervalWrite.first_wait_ms});
constexpr int kMaxClosingWaitMs =
    std::max({kDialogWrite.closing_wait_ms, kClockWrite.closing_wait_ms, kIntervalWrite.closing_wait_ms});

inline bool WithinWriteBounds(const WriteTiming& timing) {
  return timing.first_wait_ms >= 0 && timing.first_wait_ms <= kMaxFirstWaitMs && timing.closing_wait_ms >= 0 &&
         timing.closing_wait_ms <= kMaxClosingWaitMs;
}

// ---- the fields of the answers --------------------------------------------------

template <class Io>
void Fields(Io&, Done&) {}

template <class Io>
void Fields(Io& io, bool& ok) {
  io.Flag(ok);
}

template <class Io>
void Fields(Io& io, WriteOutcome& outcome) {
  io.Enum(outcome, WriteOutcome::kUnverified);
}

template <class Io>
void Fields(Io& io, WriteResult& r) {
  io.Enum(r.outcome, WriteOutcome::kUnverified);
  io.Text(r.block, kMaxBlockName);
}

// Live values as DecodeLiveReadings leaves them: in range or the marker.
template <class Io>
void Fields(Io& io, PollSnapshot& s) {
  for (float& t : s.live.temperature) {
    io.F32(t);
    io.Require(t == kInvalidTemperature || (t >= -40.0f && t <= 60.0f));
  }
  for (std::int32_t& h : s.live.humidity) {
    io.I32(h);
    io.Require(h == kInvalidHumidity || (h >= 1 && h <= 99));
  }
  for (Payload* p : {&s.settings, &s.calibration, &s.alarm_a, &s.alarm_b, &s.alarm_c, &s.alarm_d}) io.Block(*p);
  std::int32_t interval = s.interval;
  io.I32(interval);
  io.Require(interval >= 0 && interval <= 0xFF);
  io.Text(s.identification, kMaxBlockName);
  io.U64(s.connection);
  std::uint8_t flags =
      static_cast<std::uint8_t>(s.settings_read | s.alarms_read << 1 | s.calibration_read << 2 | s.live_read << 3);
  io.U8(flags);
  io.Require(flags <= 0x0F);
  std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(s.time.time_since_epoch()).count();
  io.I64(ns);
  // Written snapshots may be shared between threads: only a read assigns.
  if constexpr (!Io::kWriting) {
    s.interval = interval;
    s.settings_read = flags & 1;
    s.alarms_read = flags & 2;
    s.calibration_read = flags & 4;
    s.live_read = flags & 8;
    s.time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(ns)));
  }
}

// An entry whose name is over its bound, or one past the bound of entries, is
// left out, and the list then counts as incomplete.
template <class Io>
void Fields(Io& io, CardList& list) {
  if constexpr (Io::kWriting) {
    std::vector<const CardFile*> fit;
    bool complete = list.complete;
    for (const CardFile& f : list.files) {
      if (f.name.size() > kMaxCardNameBytes || fit.size() == kMaxListedFiles) {
        complete = false;
      } else {
        fit.push_back(&f);
      }
    }
    io.Flag(complete);
    std::uint16_t n = static_cast<std::uint16_t>(fit.size());
    io.U16(n);
    for (const CardFile* f : fit) {
      CardFile copy = *f;
      io.Text(copy.name, kMaxCardNameBytes);
      io.I64(copy.size);
    }
  } else {
    io.Flag(list.complete);
    std::uint16_t n = 0;
    io.U16(n);
    io.Require(n <= kMaxListedFiles);
    for (std::size_t k = 0; k < n && io.Ok(); ++k) {
      CardFile f;
      io.Text(f.name, kMaxCardNameBytes);
      io.I64(f.size);
      io.Require(f.size >= 0 && f.size <= INT32_MAX);
      list.files.push_back(std::move(f));
    }
  }
}

template <class Io>
void Fields(Io& io, CardRange& r) {
  // A range over the bound is never asked for; its bytes would not fit.
  const bool fits = r.data.size() <= static_cast<std::size_t>(kMaxCardRange);
  bool ok = r.ok && fits;
  io.Flag(ok);
  if constexpr (!Io::kWriting) r.ok = ok;
  std::uint32_t n = fits ? static_cast<std::uint32_t>(r.data.size()) : 0;
  io.U32(n);
  io.Require(n <= kMaxCardRange);
  if constexpr (Io::kWriting) {
    if (fits) io.Bytes(r.data, n);
  } else {
    io.Bytes(r.data, n);
  }
}

// ---- the operations --------------------------------------------------------------

namespace op {

// An operation that carries no fields.
template <std::uint8_t kind, class R>
struct Bare {
  static constexpr std::uint8_t kKind = kind;
  using Result = R;
  template <class Io>
  void Fields(Io&) {}
};

// The four read sequences and a snapshot of what they read.
using PollOnce = Bare<0x11, PollSnapshot>;

// Every unit-owned block as the last reads left it (no exchange).
struct Blocks : Bare<0x12, PollSnapshot> {
  static constexpr bool kNoExchange = true;  // answered at once, never behind a sequence
};

// One read sequence: true when the unit answered it in full and is still there.
using ReadSettings = Bare<0x13, bool>;
using ReadAlarms = Bare<0x14, bool>;
using ReadCalibration = Bare<0x15, bool>;
using ReadLive = Bare<0x16, bool>;

// Permission query, data frames, end frame as timing says; verified: then
// every block the frames wrote is read back and compared with what was sent.
template <std::uint8_t kind, class R>
struct WriteFrames {
  static constexpr std::uint8_t kKind = kind;
  using Result = R;
  WriteTiming timing{0, 0, false};
  std::vector<Payload> frames;
  template <class Io>
  void Fields(Io& io) {
    io.I32(timing.first_wait_ms);
    io.I32(timing.closing_wait_ms);
    io.Flag(timing.end_frame);
    io.Require(WithinWriteBounds(timing));
    std::uint16_t n = static_cast<std::uint16_t>(std::min(frames.size(), kMaxWriteFrames));
    io.U16(n);
    io.Require(n <= kMaxWriteFrames);
    if constexpr (!Io::kWriting) frames.resize(io.Ok() ? n : 0);
    for (std::size_t k = 0; k < n && k < frames.size(); ++k) io.Block(frames[k]);
  }
  bool Valid() const { return frames.size() <= kMaxWriteFrames && WithinWriteBounds(timing); }
  // The owner took the frames and went before it answered: they may have
  // reached the unit, nobody checked.
  static Result Unanswered(bool sent) {
    Result r{};
    SetOutcome(r, sent ? WriteOutcome::kUnverified : WriteOutcome::kNotConnected);
    return r;
  }

 private:
  static void SetOutcome(WriteOutcome& r, WriteOutcome o) { r = o; }
  static void SetOutcome(WriteResult& r, WriteOutcome o) { r.outcome = o; }
};
using Write = WriteFrames<0x17, WriteOutcome>;
using WriteVerified = WriteFrames<0x18, WriteResult>;

using ListCardFiles = Bare<0x19, CardList>;

// One read command: bytes [start, end) of a card file.
struct ReadCardRange {
  static constexpr std::uint8_t kKind = 0x1A;
  using Result = CardRange;
  std::string name;
  std::int64_t start = 0, end = 0;
  template <class Io>
  void Fields(Io& io) {
    io.Text(name, kMaxCardNameBytes);
    io.I64(start);
    io.I64(end);
    io.Require(Valid());
  }
  bool Valid() const { return name.size() <= kMaxCardNameBytes && start >= 0 && end >= start && end - start <= kMaxCardRange; }
};

// The unit never answers a delete; only a new list tells whether it took it.
struct DeleteCardFile {
  static constexpr std::uint8_t kKind = 0x1B;
  using Result = Done;
  std::string name;
  template <class Io>
  void Fields(Io& io) {
    io.Text(name, kMaxCardNameBytes);
  }
  bool Valid() const { return name.size() <= kMaxCardNameBytes; }
};

}  // namespace op

using Request = std::variant<op::PollOnce, op::Blocks, op::ReadSettings, op::ReadAlarms, op::ReadCalibration,
                             op::ReadLive, op::Write, op::WriteVerified, op::ListCardFiles, op::ReadCardRange,
                             op::DeleteCardFile>;

// The reply to one operation: a type of its own even where two operations
// answer alike, so that an Answer names the operation it answers.
template <class Op>
struct Reply {
  typename Op::Result value{};
};

template <class V>
struct AnswerFor;
template <class... Ops>
struct AnswerFor<std::variant<Ops...>> {
  using type = std::variant<Reply<Ops>...>;
};
using Answer = AnswerFor<Request>::type;

// What an operation answers when nobody ran it (no unit, the owner gone);
// sent: the request left this process.
template <class Op>
typename Op::Result Unanswered(bool sent) {
  if constexpr (requires { Op::Unanswered(sent); }) {
    return Op::Unanswered(sent);
  } else {
    return typename Op::Result{};
  }
}

// The operation's own bounds (names, ranges, waits); true for one without.
template <class Op>
bool Valid(const Op& o) {
  if constexpr (requires { o.Valid(); }) {
    return o.Valid();
  } else {
    return true;
  }
}

// False for an operation answered from what the last reads left, which
// neither waits for nor sends anything to the unit.
inline bool RunsAnExchange(const Request& request) {
  return std::visit([](const auto& o) {
    using Op = std::decay_t<decltype(o)>;
    if constexpr (requires { Op::kNoExchange; }) {
      return !Op::kNoExchange;
    } else {
      return true;
    }
  }, request);
}

// The answer an unanswered request gets: the failure of its own operation.
inline Answer UnansweredAnswer(const Request& request, bool sent) {
  return std::visit([sent](const auto& o) -> Answer {
    using Op = std::decay_t<decltype(o)>;
    return Reply<Op>{Unanswered<Op>(sent)};
  }, request);
}

}  // namespace norvo
