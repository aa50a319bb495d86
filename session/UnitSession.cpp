#include "UnitSession.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "device/Blocks.h"
#include "device/Frames.h"
#include "device/LiveReadings.h"
#include "device/WriteMap.h"
#include "res/Strings.h"

namespace norvo {

std::optional<double> TimeScaleFromEnvironment(std::string* error) {
  const char* text = std::getenv("NORVO_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  // from_chars: a point in every locale (strtod follows the desktop's).
  const char* end = text + std::strlen(text);
  double scale = 0;
  const auto [stop, ec] = std::from_chars(text, end, scale);
  if (ec != std::errc() || stop != end || !std::isfinite(scale) || scale < 0.0001 || scale > 100) {
    if (error) *error = std::string("NORVO_TIME_SCALE takes a number from 0.0001 to 100, not \"") + text + "\"";
    return std::nullopt;
  }
  return scale;
}

UnitSession::UnitSession(Transport& transport, std::filesystem::path data_folder)
    : UnitSession(transport, std::move(data_folder), Options{}) {}

UnitSession::UnitSession(Transport& transport, std::filesystem::path data_folder, Options options)
    : data_folder_(std::move(data_folder)),
      options_(std::move(options)),
      link_(transport) {
  link_.SetTimeScale(options_.time_scale);
  dispatcher_.SetCardSink(&card_);
  link_.SetReportHandler([this](const Payload& payload, int count) { dispatcher_.Dispatch(payload, count); });
  link_.SetLostHandler([this] {
    // No reading of a unit that went stays as if current.
    store_.FillBlock(response::kLive, 0xFF);
    std::function<void()> lost;
    {
      std::lock_guard lock(lost_mutex_);
      lost = lost_;
    }
    if (lost) lost();
  });
  if (options_.lock_unit) link_.SetClaim([this](const std::string& path) { return Claim(path); });
}

UnitSession::~UnitSession() { Stop(); }

void UnitSession::SetLostHandler(std::function<void()> handler) {
  std::lock_guard lock(lost_mutex_);
  lost_ = std::move(handler);
}

bool UnitSession::Claim(const std::string& path) {
  std::lock_guard lock(lock_mutex_);
  const std::filesystem::path folder = options_.lock_folder.empty() ? UnitLockFolder() : options_.lock_folder;
  const std::filesystem::path lock_path = UnitLockPath(folder, path);
  // A unit with a node is locked on the node; a lock file is taken only in
  // a folder no stranger can write (else anyone could hold the unit).
  std::string problem;
  FileLock::Result result = FileLock::Result::kUnavailable;
  if (lock_path == path) {
    result = unit_lock_.TakeNode(lock_path);
    problem = unit_lock_.Problem();
  } else if (problem = FolderProblem(folder); problem.empty()) {
    result = unit_lock_.Take(lock_path);
    problem = unit_lock_.Problem();
  } else {
    unit_lock_.Release();
  }
  const pid_t holder = result == FileLock::Result::kBusy ? unit_lock_.Holder() : 0;
  holder_.store(holder);
  lock_unusable_.store(result == FileLock::Result::kUnavailable);
  std::lock_guard message_lock(claim_mutex_);
  claim_message_ = result == FileLock::Result::kHeld ? "" : UnitLockMessage(result, holder, problem);
  return result == FileLock::Result::kHeld;
}

OpenState UnitSession::Open() {
  const std::uint64_t before = link_.Connection();
  link_.OpenDevice();
  if (link_.Connected() != 1) {
    // Lost: no reading of the unit that went stays as if current, and any
    // sender waiting for an answer goes on.
    store_.FillBlock(response::kLive, 0xFF);
    link_.TheHandshake().Wake();
  } else if (link_.Connection() != before) {
    // A new connection has no reading yet: "--" until its first live read
    // (an unanswered read later keeps the last values).
    store_.FillBlock(response::kLive, 0xFF);
  }
  return link_.LastOpenState();
}

std::string UnitSession::StateMessage() const {
  switch (State()) {
    case OpenState::kOpened:
      return link_.Connected() == 1 ? "" : UIString(ui::kNoUnitFound);
    case OpenState::kNoUnit:
      return UIString(ui::kNoUnitFound);
    case OpenState::kInUse: {
      // A lock that could not even be opened says so; no holder is invented.
      std::lock_guard message_lock(claim_mutex_);
      return claim_message_.empty()
                 ? UIString(ui::kUnitInUseByPid) + std::to_string(Holder())
                 : claim_message_;
    }
    case OpenState::kOpenFailed:
      return UIString(ui::kNoPermission) +
             "sudo cp res/60-tarvik.rules /etc/udev/rules.d/ && sudo udevadm control --reload";
  }
  return "";
}

void UnitSession::Stop() {
  // The link first, so that a cycle in progress ends without waiting out its
  // time-outs; then the worker; then the unit is free for other processes.
  link_.Stop();
  if (poller_) poller_->Stop();
  std::lock_guard lock(lock_mutex_);
  unit_lock_.Release();
}

Answer UnitSession::Execute(const Request& request) {
  std::unique_lock lock(sequence_mutex_, std::defer_lock);
  if (RunsAnExchange(request)) lock.lock();
  struct Cases {
    UnitSession& s;
    Answer operator()(const op::PollOnce&) { return Reply<op::PollOnce>{s.RunPoll()}; }
    Answer operator()(const op::Blocks&) { return Reply<op::Blocks>{s.Snapshot()}; }
    Answer operator()(const op::ReadSettings&) { return Reply<op::ReadSettings>{s.RunRead(ReadSettingsSequence)}; }
    Answer operator()(const op::ReadAlarms&) { return Reply<op::ReadAlarms>{s.RunRead(ReadAlarmSequence)}; }
    Answer operator()(const op::ReadCalibration&) {
      return Reply<op::ReadCalibration>{s.RunRead(ReadCalibrationSequence)};
    }
    Answer operator()(const op::ReadLive&) { return Reply<op::ReadLive>{s.RunRead(ReadLiveSequence)}; }
    Answer operator()(const op::Write& w) { return Reply<op::Write>{s.RunWrite(w)}; }
    Answer operator()(const op::WriteVerified& w) { return Reply<op::WriteVerified>{s.RunWriteVerified(w)}; }
    Answer operator()(const op::ListCardFiles&) { return Reply<op::ListCardFiles>{s.RunList()}; }
    Answer operator()(const op::ReadCardRange& r) { return Reply<op::ReadCardRange>{s.RunReadRange(r)}; }
    Answer operator()(const op::DeleteCardFile& d) {
      s.card_.DeleteCardFile(d.name);
      return Reply<op::DeleteCardFile>{};
    }
  };
  return std::visit(Cases{*this}, request);
}

PollSnapshot UnitSession::RunPoll() {
  PollSnapshot s;
  s.connection = link_.Connection();
  // An answer names no command: one that comes after its wait is over is
  // taken for the next command's (a calibration block read as the live
  // readings is 0.0 °C on every channel, and would be recorded so). A poll
  // therefore ends at its first unanswered sequence; the late answer then
  // lands in its own block, and the next poll asks again.
  s.settings_read = ReadSettingsSequence(link_);
  s.alarms_read = s.settings_read && ReadAlarmSequence(link_);
  s.calibration_read = s.alarms_read && ReadCalibrationSequence(link_);
  s.live_read = s.calibration_read && ReadLiveSequence(link_);
  // An unplug in the middle also releases the waits: only blocks read while
  // the same connection stood count as the unit's.
  if (link_.Connected() != 1 || link_.Connection() != s.connection) {
    s.settings_read = s.alarms_read = s.calibration_read = s.live_read = false;
  }
  PollSnapshot blocks = Snapshot();
  blocks.connection = s.connection;
  blocks.settings_read = s.settings_read;
  blocks.alarms_read = s.alarms_read;
  blocks.calibration_read = s.calibration_read;
  blocks.live_read = s.live_read;
  // A live read the unit left unanswered keeps the values of the last one
  // (the status bar shows their age); only a unit that is gone shows "--".
  if (!blocks.live_read && link_.Connected() != 1) blocks.live = LiveReadings{};
  return blocks;
}

bool UnitSession::RunRead(bool (*sequence)(DeviceLink&)) { return sequence(link_) && link_.Connected() == 1; }

WriteOutcome UnitSession::RunWrite(const op::Write& write) {
  return RunWriteSequence(link_, store_, write.timing, write.frames);
}

// Frames the unit offers no read of (language, clock) count as written.
WriteResult UnitSession::RunWriteVerified(const op::WriteVerified& write) {
  WriteResult r;
  r.outcome = RunWriteSequence(link_, store_, write.timing, write.frames);
  if (r.outcome != WriteOutcome::kWritten) return r;
  const bool eight_area = IsEightAreaModel(store_.Identification());
  bool settings_read = false, alarms_read = false, calibration_read = false;
  for (const Payload& frame : write.frames) {
    const WrittenBlock* written = FindWrittenBlock(frame[kCommandAt]);
    if (written == nullptr) continue;
    bool answered = true;
    switch (written->response_type) {
      case response::kSettings:
      case response::kInterval:
        if (!settings_read) answered = settings_read = ReadSettingsSequence(link_);
        break;
      case response::kCalibration:
        if (!calibration_read) answered = calibration_read = ReadCalibrationSequence(link_);
        break;
      default:
        if (!alarms_read) answered = alarms_read = ReadAlarmSequence(link_);
        break;
    }
    if (!answered || link_.Connected() != 1) return {WriteOutcome::kUnverified, written->name};
    const bool same = written->response_type == response::kInterval
                          ? store_.Interval() == frame[kDataAt]
                          : HoldsWritten(*written, frame, store_.Block(written->response_type), eight_area);
    if (!same) return {WriteOutcome::kDifferent, written->name};
  }
  return r;
}

CardList UnitSession::RunList() {
  dispatcher_.SetListReceiver(true);
  card_.ClearList();
  card_.RequestFileList();
  dispatcher_.SetListReceiver(false);
  CardList list;
  // The dispatcher clears the pending type at the end marker only.
  list.complete = link_.TheHandshake().Pending() != response::kFileList && link_.Connected() == 1;
  link_.TheHandshake().Redirect(response::kNone);
  for (int i = 0; i < card_.Count(); ++i) {
    std::string name = card_.Name(i);
    const std::int64_t size = card_.SizeOf(name);
    list.files.push_back({std::move(name), size});
  }
  return list;
}

CardRange UnitSession::RunReadRange(const op::ReadCardRange& range) {
  CardRange r;
  r.ok = card_.ReadRange(range.name, range.start, range.end, &r.data) && link_.Connected() == 1;
  return r;
}

PollSnapshot UnitSession::Snapshot() const {
  PollSnapshot s;
  s.connection = link_.Connection();
  s.live = DecodeLiveReadings(store_.Block(response::kLive));
  s.settings = store_.Block(response::kSettings);
  s.calibration = store_.Block(response::kCalibration);
  s.alarm_a = store_.Block(response::kAlarmA);
  s.alarm_b = store_.Block(response::kAlarmB);
  s.alarm_c = store_.Block(response::kAlarmC);
  s.alarm_d = store_.Block(response::kAlarmD);
  s.interval = store_.Interval();
  s.identification = store_.Identification();
  s.time = std::chrono::system_clock::now();
  return s;
}

void UnitSession::SetBusy(bool busy) {
  if (poller_) poller_->SetBusy(busy);
}

void UnitSession::WaitPollIdle(std::chrono::microseconds timeout) {
  if (!poller_) return;
  poller_->PollLock().Wait(timeout);
}

int UnitSession::PollCount() const { return poller_ ? poller_->PollCount() : 0; }

void UnitSession::StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                               std::chrono::microseconds second) {
  if (poller_) return;
  poller_ = std::make_unique<PollingWorker>(
      link_, [this] { return Unit::PollOnce(); }, std::move(on_polled), std::move(on_second));
  if (second.count() > 0) poller_->SetSecond(second);
  poller_->Start();
}

}  // namespace norvo
