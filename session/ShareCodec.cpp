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

void PutSnapshot(Writer& w, const PollSnapshot& s) {
  for (float t : s.live.temperature) w.F32(t);
  for (std::int32_t h : s.live.humidity) w.I32(h);
  for (const Payload* p : {&s.settings, &s.calibration, &s.alarm_a, &s.alarm_b, &s.alarm_c, &s.alarm_d}) w.Block(*p);
  w.I32(s.interval);
  w.Text(s.identification, kMaxShortText);
  w.U64(s.connection);
  w.U8(static_cast<std::uint8_t>(s.settings_read | s.alarms_read << 1 | s.calibration_read << 2 | s.live_read << 3));
  w.I64(std::chrono::duration_cast<std::chrono::nanoseconds>(s.time.time_since_epoch()).count());
}

// Live values as DecodeLiveReadings leaves them: in range or the marker.
void GetSnapshot(Reader& r, PollSnapshot* s) {
  for (float& t : s->live.temperature) {
    t = r.F32();
    if (t != kInvalidTemperature && !(t >= -40.0f && t <= 60.0f)) r.Fail();
  }
  for (std::int32_t& h : s->live.humidity) {
    h = r.I32();
    if (h != kInvalidHumidity && (h < 1 || h > 99)) r.Fail();
  }
  for (Payload* p : {&s->settings, &s->calibration, &s->alarm_a, &s->alarm_b, &s->alarm_c, &s->alarm_d}) r.Block(p);
  s->interval = r.I32();
  if (s->interval < 0 || s->interval > 0xFF) r.Fail();
  s->identification = r.Text(kMaxShortText);
  s->connection = r.U64();
  const std::uint8_t flags = r.U8();
  if (flags > 0x0F) r.Fail();
  s->settings_read = flags & 1;
  s->alarms_read = flags & 2;
  s->calibration_read = flags & 4;
  s->live_read = flags & 8;
  s->time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(r.I64())));
}

bool HasSnapshot(Kind k) { return k == Kind::kPolled || k == Kind::kPollOnce || k == Kind::kBlocks; }
bool IsRead(Kind k) {
  return k == Kind::kReadSettings || k == Kind::kReadAlarms || k == Kind::kReadCalibration || k == Kind::kReadLive;
}
bool IsWrite(Kind k) { return k == Kind::kWrite || k == Kind::kWriteVerified; }

}  // namespace

bool IsRequestKind(std::uint8_t kind) {
  return kind >= static_cast<std::uint8_t>(Kind::kState) && kind <= static_cast<std::uint8_t>(Kind::kSubscribe);
}

std::string EncodeRequest(const Request& q) {
  Writer w;
  w.U8(static_cast<std::uint8_t>(q.kind));
  w.U32(q.id);
  if (IsWrite(q.kind)) {
    w.I32(q.timing.first_wait_ms);
    w.I32(q.timing.closing_wait_ms);
    w.U8(q.timing.end_frame ? 1 : 0);
    const std::size_t n = std::min(q.frames.size(), kMaxFrames);
    w.U16(static_cast<std::uint16_t>(n));
    for (std::size_t k = 0; k < n; ++k) w.Block(q.frames[k]);
  } else if (q.kind == Kind::kReadCardRange) {
    w.Text(q.name, kMaxCardName);
    w.I64(q.start);
    w.I64(q.end);
  } else if (q.kind == Kind::kDeleteCardFile) {
    w.Text(q.name, kMaxCardName);
  }
  return w.Framed();
}

bool WithinWriteBounds(const WriteTiming& timing) {
  return timing.first_wait_ms >= 0 && timing.first_wait_ms <= kMaxFirstWaitMs && timing.closing_wait_ms >= 0 &&
         timing.closing_wait_ms <= kMaxClosingWaitMs;
}

bool DecodeRequest(std::string_view body, Request* q) {
  Reader r(body);
  const std::uint8_t kind = r.U8();
  if (!IsRequestKind(kind)) return false;
  *q = Request{};
  q->kind = static_cast<Kind>(kind);
  q->id = r.U32();
  if (IsWrite(q->kind)) {
    q->timing.first_wait_ms = r.I32();
    q->timing.closing_wait_ms = r.I32();
    q->timing.end_frame = r.Flag();
    if (!WithinWriteBounds(q->timing)) return false;
    const std::size_t n = r.U16();
    if (n > kMaxFrames) return false;
    q->frames.resize(r.Ok() ? n : 0);
    for (Payload& p : q->frames) r.Block(&p);
  } else if (q->kind == Kind::kReadCardRange) {
    q->name = r.Text(kMaxCardName);
    q->start = r.I64();
    q->end = r.I64();
    if (q->start < 0 || q->end < q->start || q->end - q->start > kMaxRange) return false;
  } else if (q->kind == Kind::kDeleteCardFile) {
    q->name = r.Text(kMaxCardName);
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
    case Kind::kWrite:
      w.U8(static_cast<std::uint8_t>(a.outcome));
      break;
    case Kind::kWriteVerified:
      w.U8(static_cast<std::uint8_t>(a.outcome));
      w.Text(a.block, kMaxShortText);
      break;
    case Kind::kListCardFiles: {
      std::vector<const CardFile*> fit;
      bool complete = a.list.complete;
      for (const CardFile& f : a.list.files) {
        if (f.name.size() > kMaxCardName || fit.size() == kMaxListed) {
          complete = false;
        } else {
          fit.push_back(&f);
        }
      }
      w.U8(complete ? 1 : 0);
      w.U16(static_cast<std::uint16_t>(fit.size()));
      for (const CardFile* f : fit) {
        w.Text(f->name, kMaxCardName);
        w.I64(f->size);
      }
      break;
    }
    case Kind::kReadCardRange: {
      // A range over the bound is never asked for; its bytes would not fit.
      const bool fits = a.data.size() <= static_cast<std::size_t>(kMaxRange);
      w.U8(a.ok && fits ? 1 : 0);
      w.U32(fits ? static_cast<std::uint32_t>(a.data.size()) : 0);
      if (fits) w.Raw(a.data);
      break;
    }
    default:
      if (HasSnapshot(a.kind)) PutSnapshot(w, a.snapshot);
      if (IsRead(a.kind)) w.U8(a.ok ? 1 : 0);
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
    case Kind::kWrite:
    case Kind::kWriteVerified:
      a->outcome = r.Enum(WriteOutcome::kUnverified);
      if (a->kind == Kind::kWriteVerified) a->block = r.Text(kMaxShortText);
      break;
    case Kind::kListCardFiles: {
      a->list.complete = r.Flag();
      const std::size_t n = r.U16();
      if (n > kMaxListed) return false;
      for (std::size_t k = 0; k < n && r.Ok(); ++k) {
        CardFile f;
        f.name = r.Text(kMaxCardName);
        f.size = r.I64();
        if (f.size < 0 || f.size > INT32_MAX) return false;
        a->list.files.push_back(std::move(f));
      }
      break;
    }
    case Kind::kReadCardRange: {
      a->ok = r.Flag();
      const std::uint32_t n = r.U32();
      if (n > kMaxRange) return false;
      a->data = r.Take(n);
      break;
    }
    default:
      if (HasSnapshot(a->kind)) GetSnapshot(r, &a->snapshot);
      if (IsRead(a->kind)) a->ok = r.Flag();
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
