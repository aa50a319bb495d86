#pragma once
// The messages between the process that owns a unit (ShareServer) and the
// processes that reach the unit through it (RemoteUnit). Pure encoding and
// decoding: no I/O, no threads.
//
// On the socket every message is a 4-byte little-endian body length, then
// the body: one kind byte, a 4-byte little-endian request id, then the
// kind's fields. Integers are little-endian, a string is a 2-byte length and
// its bytes, a payload is 64 bytes as they travel to the unit. Every count
// and length has a bound below; a body that breaks one, has bytes left over
// or ends early does not decode, and the peer that sent it is closed.

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "PollingWorker.h"
#include "Unit.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Payload.h"
#include "history/Transfer.h"

namespace norvo::share {

constexpr std::uint16_t kVersion = 1;

constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kMaxMessage = 64 * 1024;  // body bytes, after the length
constexpr std::size_t kMaxFrames = 256;          // payloads in one write
constexpr std::size_t kMaxCardName = 64;         // a list report holds the name
constexpr std::size_t kMaxListed = kMaxCardFiles;
constexpr std::size_t kMaxShortText = 255;  // program name, identification, block name
constexpr std::size_t kMaxText = 1024;      // state message
// Card bytes in one range reply; RemoteUnit splits a longer range.
constexpr std::int64_t kMaxRange = 48 * 1024;
// A write timing's waits: no longer than the console's own longest write
// sequence waits (a dialog's write before, a clock's after), so that no
// client holds the unit longer than the owner itself would.
constexpr int kMaxFirstWaitMs = std::max({kDialogWrite.first_wait_ms, kClockWrite.first_wait_ms, kIntervalWrite.first_wait_ms});
constexpr int kMaxClosingWaitMs =
    std::max({kDialogWrite.closing_wait_ms, kClockWrite.closing_wait_ms, kIntervalWrite.closing_wait_ms});

// The largest bodies stay inside kMaxMessage whatever their content.
constexpr std::size_t kHeaderBytes = 1 + 4 + 6;  // kind, id, owner state
static_assert(kHeaderBytes + 1 + 2 + kMaxListed * (2 + kMaxCardName + 8) <= kMaxMessage);
static_assert(kHeaderBytes + 1 + 4 + kMaxRange <= kMaxMessage);
static_assert(1 + 4 + 9 + 2 + kMaxFrames * kPayloadSize <= kMaxMessage);

enum class Kind : std::uint8_t {
  // Owner to client, unasked.
  kHello = 0x01,   // on connect: version, pid, program, time scale
  kPolled = 0x02,  // one of the owner's poll snapshots (subscribed clients)
  // Requests; the answer carries the same kind and id.
  kState = 0x10,
  kPollOnce = 0x11,
  kBlocks = 0x12,
  kReadSettings = 0x13,
  kReadAlarms = 0x14,
  kReadCalibration = 0x15,
  kReadLive = 0x16,
  kWrite = 0x17,
  kWriteVerified = 0x18,
  kListCardFiles = 0x19,
  kReadCardRange = 0x1A,
  kDeleteCardFile = 0x1B,
  kSubscribe = 0x1C,
};

// The owner's view of its unit, sent with every answer, hello and poll.
struct OwnerState {
  OpenState state = OpenState::kNoUnit;
  bool connected = false;
  std::int32_t unit_flag = 0;
};

struct Request {
  Kind kind = Kind::kState;
  std::uint32_t id = 0;
  // kWrite, kWriteVerified
  WriteTiming timing{0, 0, false};
  std::vector<Payload> frames;
  // kReadCardRange, kDeleteCardFile
  std::string name;
  std::int64_t start = 0, end = 0;
};

// What the owner sends: a hello, a poll, or the answer to a request.
struct Answer {
  Kind kind = Kind::kHello;
  std::uint32_t id = 0;
  OwnerState owner;
  // kHello
  std::uint16_t version = kVersion;
  std::int32_t pid = 0;
  std::string program;
  double time_scale = 1.0;
  // kState
  std::string message;
  // kRead*, kReadCardRange
  bool ok = false;
  // kWrite, kWriteVerified (block: only the verified one)
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  std::string block;
  // kPolled, kPollOnce, kBlocks
  PollSnapshot snapshot;
  // kListCardFiles
  CardList list;
  // kReadCardRange
  std::string data;
};

bool IsRequestKind(std::uint8_t kind);
// Both waits from 0 to their bound above.
bool WithinWriteBounds(const WriteTiming& timing);

// The whole message (length and body). Strings longer than their bound are
// cut; a card list entry whose name is over its bound is left out and the
// list is then incomplete; more than kMaxListed entries, likewise.
std::string EncodeRequest(const Request& request);
std::string EncodeAnswer(const Answer& answer);

// A body (without its length). False for anything malformed.
bool DecodeRequest(std::string_view body, Request* request);
bool DecodeAnswer(std::string_view body, Answer* answer);

// Cuts a byte stream into bodies. A length of 0 or above kMaxMessage makes
// the stream bad for good.
class Framer {
 public:
  void Feed(const char* data, std::size_t size);
  // The next complete body, false when none is there yet.
  bool Next(std::string* body);
  bool Bad() const { return bad_; }
  // Bytes held that belong to no complete body yet.
  std::size_t Pending() const { return buffer_.size() - at_; }

 private:
  std::string buffer_;
  std::size_t at_ = 0;
  bool bad_ = false;
};

}  // namespace norvo::share
