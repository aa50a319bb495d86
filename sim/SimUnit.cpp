#include "SimUnit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "device/Blocks.h"
#include "device/Card.h"
#include "device/Encodings.h"
#include "device/Frames.h"
#include "device/Wire.h"
#include "device/WriteMap.h"

namespace norvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

std::string SerialOf(std::uint32_t seed) {
  char text[16];
  std::snprintf(text, sizeof text, "SIM%05u", static_cast<unsigned>(seed % 100000));
  return text;
}

void PutWord(Payload& block, std::size_t at, int tenths) {
  const TemperatureWord w = EncodeTemperatureWord(tenths);
  block[at] = w.high;
  block[at + 1] = w.low;
}

}  // namespace

std::string MakeLogFile(bool three_fields, int lines, int first_hour) {
  using namespace std::chrono;
  std::string text = three_fields ? "Time,Temperature(C),Humidity(%)\n"
                                  : "Time,Temperature(C),Humidity(%),DewPoint(C),HeatIndex(C)\n";
  const sys_days first_day = year_month_day{year{2026}, month{12}, day{7}};
  char line[128];
  for (int i = 0; i < lines; ++i) {
    const long minutes = first_hour * 60L + i;
    const year_month_day ymd{first_day + days{minutes / 1440}};
    const int hh = static_cast<int>(minutes % 1440 / 60);
    const int mm = static_cast<int>(minutes % 60);
    // A slow daily swing with a little ripple, as a room logs it.
    const double t = 21.0 + 2.5 * std::sin(i * 2 * M_PI / 1440.0) + 0.3 * std::sin(i / 7.0);
    const int h = static_cast<int>(std::lround(50 + 10 * std::sin(i * 2 * M_PI / 900.0 + 1)));
    const double g = std::log(h / 100.0) + 17.62 * t / (243.12 + t);
    const double dew = 243.12 * g / (17.62 - g);
    // Numbers with a point whatever the process's locale, as the unit writes them.
    const int n = std::snprintf(line, sizeof line, "%d-%02u-%02u %d:%02d:%02d,", int(ymd.year()),
                                unsigned(ymd.month()), unsigned(ymd.day()), hh, mm, 0);
    text.append(line, static_cast<std::size_t>(n));
    // (append by parts: GCC 12 misreads "," + std::string at -O3 as an overlap)
    text.append(FixedText(t, 1)).append(1, ',').append(std::to_string(h));
    if (!three_fields) {
      text.append(1, ',').append(FixedText(dew, 1)).append(1, ',');
      text.append(i % 10 == 9 ? std::string("--") : FixedText(t - 0.4 + h * 0.01, 1));
    }
    text += '\n';
  }
  return text;
}

SimUnit::SimUnit() : SimUnit(Options{}) {}

SimUnit::SimUnit(Options options)
    : serial_(SerialOf(options.seed)),
      eight_area_(options.eight_area),
      rng_(options.seed),
      strict_(options.strict),
      pacing_(options.pacing) {
  identification_ = eight_area_ ? "{QT7100K@}" : "{QT5100@}";
  settings_[0] = kFrameOpen;
  settings_[settings::kGraphType] = 0;   // temperature
  settings_[settings::kGraphSpan] = 24;  // hours
  settings_[settings::kTimeFormat] = 0;  // h:mm:ss
  settings_[settings::kDateFormat] = 0;  // YYYY-MM-DD
  settings_[settings::kDst] = 0;         // off
  settings_[settings::kTimeZone] = 1;    // +1
  settings_[settings::kUnit] = 0;        // Celsius
  // Area 1: CH1 temperature, dew point, heat index; 2: every temperature;
  // 3: every dew point; 5: CH1..CH4 temperature; 7: CH5..CH8 temperature.
  const std::uint32_t masks[settings::kEightAreas] = {0x000007, 0x249249, 0x492492, 0, 0x000249, 0, 0x249000, 0};
  const int areas = eight_area_ ? settings::kEightAreas : settings::kFiveAreas;
  for (int a = 0; a < areas; ++a) {
    wire::PutBe32(settings_, settings::kFirstMask + settings::kMaskSize * static_cast<std::size_t>(a), masks[a]);
  }
  calibration_[0] = kFrameOpen;
  alarm_a_[0] = kFrameOpen;
  alarm_a_[alarm_a::kHumiditySwitch] = 0;  // on
  alarm_a_[alarm_a::kTemperatureSwitch] = 0;
  alarm_a_[alarm_a::kHumidityHigh] = 0x7F;  // enables of CH1..CH7
  alarm_a_[alarm_a::kHumidityLow] = 0x0F;
  alarm_a_[alarm_a::kTemperatureHigh] = 0x7F;
  alarm_a_[alarm_a::kTemperatureLow] = 0x03;
  alarm_c_[0] = kFrameOpen;
  alarm_d_[0] = kFrameOpen;
  for (int c = 1; c <= 8; ++c) {
    const bool sensor = c != 8;
    PutWord(alarm_c_, alarm_limits::TemperatureHighAt(c), sensor ? 350 + c : kInvalidMarker);
    PutWord(alarm_c_, alarm_limits::TemperatureLowAt(c), sensor ? -50 - c : kInvalidMarker);
    alarm_d_[alarm_limits::HumidityHighAt(c)] = sensor ? static_cast<std::uint8_t>(80 + c) : 0xFF;
    alarm_d_[alarm_limits::HumidityLowAt(c)] = sensor ? static_cast<std::uint8_t>(20 - c) : 0xFF;
  }
  const int tenths[8] = {235, 218, 192, 250, -52, 42, 301, kInvalidMarker};
  const int humidity[8] = {45, 50, 55, 40, 70, 85, 35, kInvalidMarker};
  std::copy(std::begin(tenths), std::end(tenths), sensor_tenths_);
  std::copy(std::begin(humidity), std::end(humidity), sensor_humidity_);
  if (options.default_card) {
    files_.push_back({"LOG0001.CSV", MakeLogFile(false, 180)});
    files_.push_back({"IN0002.CSV", MakeLogFile(true, 120, 11)});
    files_.push_back({"LOG0003.CSV", MakeLogFile(false, 1440, 0)});
  }
}

std::uint64_t SimUnit::Session() const {
  std::lock_guard lock(mutex_);
  return session_;
}

bool SimUnit::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

void SimUnit::SetHotplugListener(std::function<void(bool)> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void SimUnit::Notify(bool arrived) {
  std::function<void(bool)> listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener(arrived);
}

void SimUnit::Plug() {
  {
    std::lock_guard lock(mutex_);
    if (plugged_) return;
    plugged_ = true;
    ++session_;
    answers_.clear();
  }
  cv_.notify_all();
  Notify(true);
}

void SimUnit::Unplug() {
  {
    std::lock_guard lock(mutex_);
    if (!plugged_) return;
    plugged_ = false;
    ++session_;
    answers_.clear();
  }
  cv_.notify_all();
  Notify(false);
}

// Caller holds mutex_.
std::chrono::microseconds SimUnit::Delay(int fixed_ms, int low, int high) {
  int ms = fixed_ms;
  if (ms < 0) {
    if (!strict_) return std::chrono::microseconds(0);
    rng_ = rng_ * 1664525u + 1013904223u;
    ms = low + static_cast<int>((rng_ >> 16) % static_cast<std::uint32_t>(high - low + 1));
  }
  return std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000.0 * time_scale_.load()));
}

// Caller holds mutex_.
void SimUnit::Queue(const Payload& payload, std::chrono::microseconds delay) {
  Clock::time_point ready = Clock::now() + delay;
  if (pacing_.load()) {
    ready = std::max(ready, last_ready_) + std::chrono::milliseconds(1);
    last_ready_ = ready;
  }
  answers_.push_back({ready, payload, false});
}

void SimUnit::QueueUnplug() {
  Queue(Payload{});
  answers_.back().unplug = true;
}

bool SimUnit::HandleReport(std::uint64_t session, const std::uint8_t* report, std::size_t size) {
  Payload frame{};
  {
    std::lock_guard lock(mutex_);
    if (session != session_ || !plugged_) return false;
    // Report id first, then the payload.
    std::copy_n(report + 1, std::min(size - 1, kPayloadSize), frame.begin());
    received_.push_back(frame);
    received_at_.push_back(Clock::now());
    if (received_.size() > kReceivedKept) {
      received_.pop_front();
      received_at_.pop_front();
    }
    if (frame[0] == kFrameOpen && !silent_.load()) Answer(frame);
  }
  cv_.notify_all();
  return true;
}

int SimUnit::ReadAnswer(std::uint64_t session, Payload& payload, int timeout_ms,
                        const std::atomic<bool>& cancelled) {
  // Counted down after the lock is let go: once a test sees no read in
  // progress, no read touches the unit any more.
  struct InProgress {
    std::atomic<int>& count;
    explicit InProgress(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
    ~InProgress() { count.fetch_sub(1); }
    InProgress(const InProgress&) = delete;
    InProgress& operator=(const InProgress&) = delete;
  } in_progress(reads_in_progress_);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (session != session_ || !plugged_) return -1;
    if (cancelled.load() && !uncancellable_reads_.load()) return 0;
    if (hold_reads_) {
      cv_.wait(lock);
      continue;
    }
    if (!answers_.empty()) {
      const Clock::time_point ready = answers_.front().ready;
      if (ready <= Clock::now()) {
        Pending next = answers_.front();
        answers_.pop_front();
        if (next.unplug) {
          lock.unlock();
          Unplug();
          return -1;
        }
        payload = next.payload;
        if (payload[0] == '{' && payload[1] == '@' && payload[2] == '}') {
          marker_at_.push_back(Clock::now());
          if (marker_at_.size() > kReceivedKept) marker_at_.pop_front();
        }
        return static_cast<int>(kPayloadSize);
      }
      if (ready > deadline) {
        cv_.wait_until(lock, deadline);
        if (Clock::now() >= deadline) return 0;
        continue;
      }
      cv_.wait_until(lock, ready);
      continue;
    }
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && answers_.empty()) {
      return (session != session_ || !plugged_) ? -1 : 0;
    }
  }
}

// Caller holds mutex_.
void SimUnit::Answer(const Payload& frame) {
  Payload answer{};
  answer[0] = kFrameOpen;
  // A real unit takes a few to tens of milliseconds for its first answer.
  const std::chrono::microseconds latency = Delay(-1, 2, 20);
  switch (frame[kCommandAt]) {
    case code::kListFiles:
      AnswerList(latency);
      return;
    case code::kReadFile:
      AnswerRead(frame, latency);
      return;
    case code::kLive:
      Queue(LivePayload(), latency);
      return;
    case code::kSettings:
      Queue(settings_, latency);
      return;
    case code::kCalibration:
      Queue(calibration_, calibration_delay_ms_.load() < 0 ? latency : Delay(calibration_delay_ms_.load(), 0, 0));
      return;
    case code::kAlarmA:
      Queue(alarm_a_, latency);
      return;
    case code::kAlarmC:
      Queue(alarm_c_, latency);
      return;
    case code::kAlarmD:
      Queue(alarm_d_, latency);
      return;
    case code::kInterval:
      answer[kAnswerValueAt] = static_cast<std::uint8_t>(interval_);
      Queue(answer, latency);
      return;
    case code::kPermission:
      staged_.clear();
      write_open_ = false;
      if (ignore_writes_.load()) return;
      answer[kAnswerValueAt] = refuse_writes_.load() ? 1 : 0;
      write_open_ = answer[kAnswerValueAt] == 0;
      Queue(answer, Delay(permission_delay_ms_.load(), 0, 200));
      return;
    case code::kIdentification: {
      Payload text{};
      std::copy_n(identification_.begin(), std::min(identification_.size(), kPayloadSize - 1),
                  text.begin());
      Queue(text, Delay(identification_delay_ms_.load(), 50, 400));
      return;
    }
    default:
      // Writes are never answered.
      ApplyWrite(frame);
      return;
  }
}

Payload SimUnit::LivePayload() {
  Payload block{};
  block[0] = kFrameOpen;
  for (int k = 0; k < 8; ++k) {
    if (drift_ && sensor_tenths_[k] != kInvalidMarker) {
      rng_ = rng_ * 1664525u + 1013904223u;
      sensor_tenths_[k] += static_cast<int>(rng_ >> 30) % 3 - 1;
      if ((rng_ >> 8) % 4 == 0) {
        sensor_humidity_[k] = std::clamp(sensor_humidity_[k] + static_cast<int>(rng_ >> 20) % 3 - 1, 5, 95);
      }
    }
    const std::size_t at = 1 + 3 * static_cast<std::size_t>(k);
    int tenths = sensor_tenths_[k];
    int humidity = sensor_humidity_[k];
    // FF FF (or 7F FF) is "no value": the unit applies no offset then.
    const std::size_t word_at = calibration::TemperatureAt(k + 1);
    const std::uint16_t word = wire::Be16(calibration_, word_at);
    if (tenths != kInvalidMarker && !wire::IsNoValueWord(word)) tenths += static_cast<std::int16_t>(word);
    if (humidity != kInvalidMarker) {
      humidity += static_cast<std::int8_t>(calibration_[calibration::HumidityAt(k + 1)]);
    }
    PutWord(block, at, tenths);
    block[at + 2] = EncodeHumidityByte(humidity == kInvalidMarker ? kInvalidMarker
                                                                   : std::clamp(humidity, 0, 254));
  }
  return block;
}

void SimUnit::AnswerList(std::chrono::microseconds latency) {
  for (const CardFile& file : files_) {
    // The name gets what room the report leaves after the comma and the size.
    Queue(card::EncodeListEntry(file.name, static_cast<std::uint32_t>(file.content.size())), latency);
    latency = std::chrono::microseconds(0);
  }
  Queue(card::EncodeEndMarker(), latency);
}

void SimUnit::AnswerRead(const Payload& frame, std::chrono::microseconds latency) {
  const std::optional<card::ReadCommand> read = card::DecodeReadCommand(frame);
  if (!read) return;  // not a read command the unit can make sense of
  const std::string& name = read->name;
  const std::uint32_t start = read->start;
  const std::uint32_t end = read->end;
  const auto file = std::find_if(files_.begin(), files_.end(),
                                 [&](const CardFile& f) { return f.name == name; });
  std::vector<Payload> chunks;
  if (file != files_.end() && start < end) {
    const std::size_t from = std::min<std::size_t>(start, file->content.size());
    const std::size_t to = std::min<std::size_t>(end, file->content.size());
    const std::string_view content = file->content;
    for (std::size_t at = from; at < to; at += card::chunk::kMaxText) {
      chunks.push_back(card::EncodeChunk(content.substr(at, std::min(card::chunk::kMaxText, to - at))));
    }
  }
  if (short_blocks_.load() > 0 && !chunks.empty()) {
    --short_blocks_;
    chunks.pop_back();
  }
  // The unplug countdown runs across blocks until it strikes.
  int unplug_after = unplug_after_reports_.load();
  for (const Payload& chunk : chunks) {
    if (unplug_after == 0) {
      unplug_after_reports_.store(-1);
      QueueUnplug();
      return;
    }
    if (unplug_after > 0) --unplug_after;
    Queue(chunk, latency);
    latency = std::chrono::microseconds(0);
  }
  unplug_after_reports_.store(unplug_after);
  Queue(card::EncodeEndMarker(), latency);
}

// Caller holds mutex_.
void SimUnit::ApplyWrite(const Payload& frame) {
  if (ignore_writes_.load()) return;
  if (drop_writes_.load() > 0) {
    --drop_writes_;
    return;
  }
  const std::uint8_t command = frame[kCommandAt];
  if (command == code::kDeleteFile) {
    if (const std::optional<std::string> name = card::DecodeDeleteCommand(frame)) {
      std::erase_if(files_, [&](const CardFile& f) { return f.name == *name; });
    }
    return;
  }
  if (command == code::kSetInterval) {
    // The interval frame stands alone: it needs no permission query and is
    // taken on any screen.
    interval_ = frame[kDataAt];
    return;
  }
  if (refuse_writes_.load()) return;
  switch (command) {
    case code::kSetClock:
      // The clock frame follows an accepted "{Q@}" and has no end frame.
      if (write_open_ || !strict_) clock_.assign(frame.begin() + kDataAt, frame.begin() + kDataAt + kClockBytes);
      return;
    case code::kEndOfWrite:
      if (write_open_ || !strict_) {
        for (const Payload& staged : staged_) ApplyParameterFrame(staged);
      }
      staged_.clear();
      write_open_ = false;
      return;
    default:
      // Parameter frames count only inside "{Q@}" ... "{/@}".
      if (!strict_) {
        ApplyParameterFrame(frame);
      } else if (write_open_) {
        staged_.push_back(frame);
      }
      return;
  }
}

// Caller holds mutex_. Write frames carry the answer block's fields one byte
// further on.
void SimUnit::ApplyParameterFrame(const Payload& frame) {
  const std::uint8_t command = frame[kCommandAt];
  if (command == code::kSetLanguage) {
    language_ = frame[kDataAt];
    ++applied_writes_;
    return;
  }
  const WrittenBlock* written = FindWrittenBlock(command);
  Payload* block = nullptr;
  if (written != nullptr) {
    switch (written->response_type) {
      case response::kSettings:
        block = &settings_;
        break;
      case response::kCalibration:
        block = &calibration_;
        break;
      case response::kAlarmA:
        block = &alarm_a_;
        break;
      case response::kAlarmC:
        block = &alarm_c_;
        break;
      case response::kAlarmD:
        block = &alarm_d_;
        break;
      default:
        break;  // the interval stands alone (ApplyWrite)
    }
  }
  if (block == nullptr) return;  // anything unknown
  ApplyWritten(*written, frame, *block, eight_area_);
  ++applied_writes_;
}

bool SimUnit::ApplyFault(const std::string& name) {
  if (name == "unplugged") {
    Unplug();
  } else if (name == "silent") {
    SetSilent(true);
  } else if (name == "refuse") {
    SetRefuseWrites(true);
  } else if (name == "short-block") {
    SetShortBlocks(1);
  } else if (name == "ignore-writes") {
    SetIgnoreWrites(true);
  } else if (name == "open-failure") {
    SetOpenFailure(true);
  } else if (name == "odd-names") {
    // Names a card may carry that a terminal must never act on: a colour
    // sequence, a line feed that would make up an entry of its own, the
    // eight-bit CSI and DEL.
    AddFile("RED\x1b[31m.CSV", MakeLogFile(true, 3));
    AddFile("A.CSV\nFAKE.CSV", MakeLogFile(true, 3));
    AddFile("CSI\x9b" "2J\x7f.CSV", MakeLogFile(true, 3));
  } else {
    return name.empty();
  }
  return true;
}

Payload SimUnit::SettingsBlock() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void SimUnit::SetSettingsBlock(const Payload& block) {
  std::lock_guard lock(mutex_);
  settings_ = block;
}

Payload SimUnit::CalibrationBlock() const {
  std::lock_guard lock(mutex_);
  return calibration_;
}

Payload SimUnit::AlarmBlock(char which) const {
  std::lock_guard lock(mutex_);
  return which == 'A' ? alarm_a_ : which == 'C' ? alarm_c_ : alarm_d_;
}

int SimUnit::Interval() const {
  std::lock_guard lock(mutex_);
  return interval_;
}

int SimUnit::Language() const {
  std::lock_guard lock(mutex_);
  return language_;
}

std::vector<std::uint8_t> SimUnit::Clock() const {
  std::lock_guard lock(mutex_);
  return clock_;
}

std::string SimUnit::Identification() const {
  std::lock_guard lock(mutex_);
  return identification_;
}

bool SimUnit::EightArea() const {
  std::lock_guard lock(mutex_);
  return eight_area_;
}

void SimUnit::SetIdentification(const std::string& text) {
  std::lock_guard lock(mutex_);
  identification_ = text;
}

void SimUnit::SetSensor(int channel, int tenths, int humidity) {
  std::lock_guard lock(mutex_);
  sensor_tenths_[channel - 1] = tenths;
  sensor_humidity_[channel - 1] = humidity;
}

void SimUnit::SetDrift(bool drift) {
  std::lock_guard lock(mutex_);
  drift_ = drift;
}

std::vector<CardFile> SimUnit::Files() const {
  std::lock_guard lock(mutex_);
  return files_;
}

void SimUnit::SetFiles(std::vector<CardFile> files) {
  std::lock_guard lock(mutex_);
  files_ = std::move(files);
}

void SimUnit::AddFile(std::string name, std::string content) {
  std::lock_guard lock(mutex_);
  files_.push_back({std::move(name), std::move(content)});
}

bool SimUnit::HasFile(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return std::any_of(files_.begin(), files_.end(), [&](const CardFile& f) { return f.name == name; });
}

bool SimUnit::WakeReads() {
  if (uncancellable_reads_.load()) return false;
  // Under the lock: a read between its look at the flag and its wait would
  // miss a bare notify.
  { std::lock_guard lock(mutex_); }
  cv_.notify_all();
  return true;
}

void SimUnit::SetHoldReads(bool hold) {
  {
    std::lock_guard lock(mutex_);
    hold_reads_ = hold;
  }
  cv_.notify_all();
}

std::vector<std::chrono::steady_clock::time_point> SimUnit::ReceivedTimes() const {
  std::lock_guard lock(mutex_);
  return {received_at_.begin(), received_at_.end()};
}

std::vector<std::chrono::steady_clock::time_point> SimUnit::MarkerTimes() const {
  std::lock_guard lock(mutex_);
  return {marker_at_.begin(), marker_at_.end()};
}

std::vector<Payload> SimUnit::Received() const {
  std::lock_guard lock(mutex_);
  return {received_.begin(), received_.end()};
}

void SimUnit::ClearReceived() {
  std::lock_guard lock(mutex_);
  received_.clear();
  received_at_.clear();
  marker_at_.clear();
}

}  // namespace norvo::sim
