#include "ShareCodec.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "device/Encodings.h"

namespace norvo::share {

namespace {

class Writer {
 public:
  void U8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(std::uint16_t v) { Bytes(v, 2); }
  void U32(std::uint32_t v) { Bytes(v, 4); }
  void U64(std::uint64_t v) { Bytes(v, 8); }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void I64(std::int64_t v) { U64(static_cast<std::uint64_t>(v)); }
  void F32(float v) { U32(std::bit_cast<std::uint32_t>(v)); }
  void F64(double v) { U64(std::bit_cast<std::uint64_t>(v)); }
  void Text(std::string_view s, std::size_t bound) {
    if (s.size() > bound) s = s.substr(0, bound);
    U16(static_cast<std::uint16_t>(s.size()));
    out_.append(s);
  }
  void Block(const Payload& p) { out_.append(reinterpret_cast<const char*>(p.data()), p.size()); }
  void Raw(std::string_view s) { out_.append(s); }
  // The length in front of the body.
  std::string Framed() const {
    std::string framed(kLengthBytes, '\0');
    const std::uint32_t n = static_cast<std::uint32_t>(out_.size());
    for (std::size_t k = 0; k < kLengthBytes; ++k) framed[k] = static_cast<char>(n >> (8 * k));
    return framed + out_;
  }

 private:
  void Bytes(std::uint64_t v, int n) {
    for (int k = 0; k < n; ++k) out_.push_back(static_cast<char>(v >> (8 * k)));
  }
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool Ok() const { return ok_; }
  // Every byte used, nothing missing.
  bool Done() const { return ok_ && at_ == in_.size(); }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Bytes(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Bytes(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Bytes(4)); }
  std::uint64_t U64() { return Bytes(8); }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  float F32() { return std::bit_cast<float>(U32()); }
  double F64() { return std::bit_cast<double>(U64()); }
  bool Flag() {
    const std::uint8_t v = U8();
    if (v > 1) ok_ = false;
    return v == 1;
  }
  std::string Text(std::size_t bound) {
    const std::size_t n = U16();
    if (n > bound) ok_ = false;
    return Take(n);
  }
  std::string Take(std::size_t n) {
    if (!ok_ || in_.size() - at_ < n) {
      ok_ = false;
      return {};
    }
    std::string s(in_.substr(at_, n));
    at_ += n;
    return s;
  }
  void Block(Payload* p) {
    const std::string s = Take(kPayloadSize);
    if (ok_) std::memcpy(p->data(), s.data(), kPayloadSize);
  }
  // An enumerator from 0 to last.
  template <class E>
  E Enum(E last) {
    const std::uint8_t v = U8();
    if (v > static_cast<std::uint8_t>(last)) ok_ = false;
    return static_cast<E>(v);
  }
  void Fail() { ok_ = false; }

 private:
  std::uint64_t Bytes(int n) {
    if (!ok_ || in_.size() - at_ < static_cast<std::size_t>(n)) {
      ok_ = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int k = 0; k < n; ++k) v |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in_[at_ + k])) << (8 * k);
    at_ += n;
    return v;
  }
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The two directions of Fields (Operations.h): Out writes, In reads and
// checks. Out never changes what it is given.
struct Out {
  static constexpr bool kWriting = true;
  Writer& w;
  void U8(const std::uint8_t& v) { w.U8(v); }
  void U16(const std::uint16_t& v) { w.U16(v); }
  void U32(const std::uint32_t& v) { w.U32(v); }
  void U64(const std::uint64_t& v) { w.U64(v); }
  void I32(const std::int32_t& v) { w.I32(v); }
  void I64(const std::int64_t& v) { w.I64(v); }
  void F32(const float& v) { w.F32(v); }
  void Flag(const bool& v) { w.U8(v ? 1 : 0); }
  template <class E>
  void Enum(const E& v, E) {
    w.U8(static_cast<std::uint8_t>(v));
  }
  void Text(const std::string& v, std::size_t bound) { w.Text(v, bound); }
  void Block(const Payload& p) { w.Block(p); }
  void Bytes(const std::string& v, std::size_t) { w.Raw(v); }
  void Require(bool) {}
  bool Ok() const { return true; }
};

struct In {
  static constexpr bool kWriting = false;
  Reader& r;
  void U8(std::uint8_t& v) { v = r.U8(); }
  void U16(std::uint16_t& v) { v = r.U16(); }
  void U32(std::uint32_t& v) { v = r.U32(); }
  void U64(std::uint64_t& v) { v = r.U64(); }
  void I32(std::int32_t& v) { v = r.I32(); }
  void I64(std::int64_t& v) { v = r.I64(); }
  void F32(float& v) { v = r.F32(); }
  void Flag(bool& v) { v = r.Flag(); }
  template <class E>
  void Enum(E& v, E last) {
    v = r.Enum(last);
  }
  void Text(std::string& v, std::size_t bound) { v = r.Text(bound); }
  void Block(Payload& p) { r.Block(&p); }
  void Bytes(std::string& v, std::size_t n) { v = r.Take(n); }
  void Require(bool ok) {
    if (!ok) r.Fail();
  }
  bool Ok() const { return r.Ok(); }
};

// Writing reads the value only; Fields takes one reference for both ways.
template <class T>
void Put(Writer& w, const T& value) {
  Out out{w};
  Fields(out, const_cast<T&>(value));
}
template <class Op>
void PutOp(Writer& w, const Op& op) {
  Out out{w};
  const_cast<Op&>(op).Fields(out);
}

// Every operation has a kind of its own, and none is one of the messages
// that carry no operation.
template <class... Ops>
constexpr bool DistinctKinds(const std::variant<Ops...>*) {
  const std::uint8_t kinds[] = {Ops::kKind...};
  const std::uint8_t own[] = {static_cast<std::uint8_t>(Kind::kHello), static_cast<std::uint8_t>(Kind::kPolled),
                              static_cast<std::uint8_t>(Kind::kState), static_cast<std::uint8_t>(Kind::kSubscribe)};
  for (std::size_t i = 0; i < sizeof...(Ops); ++i) {
    for (std::uint8_t k : own) {
      if (kinds[i] == k) return false;
    }
    for (std::size_t j = i + 1; j < sizeof...(Ops); ++j) {
      if (kinds[i] == kinds[j]) return false;
    }
  }
  return true;
}
static_assert(DistinctKinds(static_cast<const norvo::Request*>(nullptr)));

// The operation with this kind, default-made, or false.
template <std::size_t I = 0>
bool MakeOp(std::uint8_t kind, norvo::Request* op) {
  if constexpr (I == std::variant_size_v<norvo::Request>) {
    return false;
  } else {
    using Op = std::variant_alternative_t<I, norvo::Request>;
    if (Op::kKind == kind) {
      op->emplace<I>();
      return true;
    }
    return MakeOp<I + 1>(kind, op);
  }
}

// The reply to the operation with this kind, default-made, or false.
bool MakeReply(std::uint8_t kind, norvo::Answer* reply) {
  norvo::Request op;
  if (!MakeOp(kind, &op)) return false;
  *reply = UnansweredAnswer(op, false);
  return true;
}

bool IsOperationKind(std::uint8_t kind) {
  norvo::Request op;
  return MakeOp(kind, &op);
}

}  // namespace

Kind KindOf(const norvo::Request& op) {
  return std::visit([](const auto& o) { return static_cast<Kind>(std::decay_t<decltype(o)>::kKind); }, op);
}

Request Operation(norvo::Request op) {
  Request q;
  q.kind = KindOf(op);
  q.op = std::move(op);
  return q;
}

bool IsRequestKind(std::uint8_t kind) {
  return kind == static_cast<std::uint8_t>(Kind::kState) || kind == static_cast<std::uint8_t>(Kind::kSubscribe) ||
         IsOperationKind(kind);
}

std::string EncodeRequest(const Request& q) {
  Writer w;
  w.U8(static_cast<std::uint8_t>(q.kind));
  w.U32(q.id);
  if (q.kind != Kind::kState && q.kind != Kind::kSubscribe) {
    std::visit([&w](const auto& o) { PutOp(w, o); }, q.op);
  }
  return w.Framed();
}

bool DecodeRequest(std::string_view body, Request* q) {
  Reader r(body);
  const std::uint8_t kind = r.U8();
  if (!IsRequestKind(kind)) return false;
  *q = Request{};
  q->kind = static_cast<Kind>(kind);
  q->id = r.U32();
  if (MakeOp(kind, &q->op)) {
    In in{r};
    std::visit([&in](auto& o) { o.Fields(in); }, q->op);
  }
  return r.Done();
}

std::string EncodeAnswer(const Answer& a) {
  Writer w;
  w.U8(static_cast<std::uint8_t>(a.kind));
  w.U32(a.id);
  w.U8(static_cast<std::uint8_t>(a.owner.state));
  w.U8(a.owner.connected ? 1 : 0);
  w.I32(a.owner.unit_flag);
  switch (a.kind) {
    case Kind::kHello:
      w.U16(a.version);
      w.I32(a.pid);
      w.Text(a.program, kMaxShortText);
      w.F64(a.time_scale);
      break;
    case Kind::kState:
      w.Text(a.message, kMaxText);
      break;
    case Kind::kPolled:
      Put(w, a.snapshot);
      break;
    case Kind::kSubscribe:
      break;
    default:
      std::visit([&w](const auto& reply) { Put(w, reply.value); }, a.result);
      break;
  }
  return w.Framed();
}

bool DecodeAnswer(std::string_view body, Answer* a) {
  Reader r(body);
  const std::uint8_t kind = r.U8();
  if (kind != static_cast<std::uint8_t>(Kind::kHello) && kind != static_cast<std::uint8_t>(Kind::kPolled) &&
      !IsRequestKind(kind)) {
    return false;
  }
  *a = Answer{};
  a->kind = static_cast<Kind>(kind);
  a->id = r.U32();
  a->owner.state = r.Enum(OpenState::kInUse);
  a->owner.connected = r.Flag();
  a->owner.unit_flag = r.I32();
  In in{r};
  switch (a->kind) {
    case Kind::kHello:
      a->version = r.U16();
      a->pid = r.I32();
      a->program = r.Text(kMaxShortText);
      a->time_scale = r.F64();
      if (a->pid < 0 || !std::isfinite(a->time_scale) || a->time_scale <= 0 || a->time_scale > 100) return false;
      break;
    case Kind::kState:
      a->message = r.Text(kMaxText);
      break;
    case Kind::kPolled:
      Fields(in, a->snapshot);
      break;
    case Kind::kSubscribe:
      break;
    default:
      if (!MakeReply(kind, &a->result)) return false;
      std::visit([&in](auto& reply) { Fields(in, reply.value); }, a->result);
      break;
  }
  return r.Done();
}

void Framer::Feed(const char* data, std::size_t size) {
  if (bad_) return;
  if (at_ > 0 && at_ == buffer_.size()) {
    buffer_.clear();
    at_ = 0;
  }
  buffer_.append(data, size);
}

bool Framer::Next(std::string* body) {
  if (bad_ || Pending() < kLengthBytes) return false;
  std::uint32_t n = 0;
  for (std::size_t k = 0; k < kLengthBytes; ++k) n |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(buffer_[at_ + k])) << (8 * k);
  if (n == 0 || n > kMaxMessage) {
    bad_ = true;
    return false;
  }
  if (Pending() - kLengthBytes < n) return false;
  body->assign(buffer_, at_ + kLengthBytes, n);
  at_ += kLengthBytes + n;
  // Drop what was used once it is most of the buffer.
  if (at_ > kMaxMessage) {
    buffer_.erase(0, at_);
    at_ = 0;
  }
  return true;
}

}  // namespace norvo::share
