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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Operations.h"
#include "device/DeviceLink.h"

namespace norvo::share {

constexpr std::uint16_t kVersion = 1;

constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kMaxMessage = 64 * 1024;  // body bytes, after the length
constexpr std::size_t kMaxShortText = 255;       // program name
constexpr std::size_t kMaxText = 1024;           // state message

// The largest bodies stay inside kMaxMessage whatever their content.
constexpr std::size_t kHeaderBytes = 1 + 4 + 6;  // kind, id, owner state
static_assert(kHeaderBytes + 1 + 2 + kMaxListedFiles * (2 + kMaxCardNameBytes + 8) <= kMaxMessage);
static_assert(kHeaderBytes + 1 + 4 + kMaxCardRange <= kMaxMessage);
static_assert(1 + 4 + 9 + 2 + kMaxWriteFrames * kPayloadSize <= kMaxMessage);

// The kinds of the messages that carry no operation of the unit; an
// operation's message has the operation's own kind (op::X::kKind).
enum class Kind : std::uint8_t {
  // Owner to client, unasked.
  kHello = 0x01,   // on connect: version, pid, program, time scale
  kPolled = 0x02,  // one of the owner's poll snapshots (subscribed clients)
  // Requests; the answer carries the same kind and id.
  kState = 0x10,
  kSubscribe = 0x1C,
};

// The owner's view of its unit, sent with every answer, hello and poll.
struct OwnerState {
  OpenState state = OpenState::kNoUnit;
  bool connected = false;
  std::int32_t unit_flag = 0;
};

struct Request {
  Kind kind = Kind::kState;  // kState, kSubscribe, or op's kind
  std::uint32_t id = 0;
  norvo::Request op;  // when kind is an operation's
};

// A request that carries an operation of the unit.
Request Operation(norvo::Request op);
// The message kind of an operation.
Kind KindOf(const norvo::Request& op);

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
  // kPolled
  PollSnapshot snapshot;
  // an operation's kind: its reply
  norvo::Answer result;
};

bool IsRequestKind(std::uint8_t kind);

// The whole message (length and body): the header, then the fields the
// operation describes (Operations.h). Strings longer than their bound are cut.
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
