// The unit session as both front ends use it: the per-unit lock, the states
// of opening a unit, verified writes against the strict simulated unit, and
// the time scale read from the environment.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "device/Card.h"
#include "device/CardReader.h"
#include "device/Frames.h"
#include "history/Transfer.h"
#include "session/UnitLock.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using testing::TempFolder;
using testing::WriteFile;

// A lock file left by a crashed holder, an empty one or one with foreign
// text never keeps the unit; a live holder does, and is named; a symlink
// planted under the lock's name is not followed.
TEST(UnitLockTest, OnlyALiveHolderKeepsTheUnit) {
  TempFolder folder;
  const fs::path file = folder.path / UnitLockName("/dev/hidraw3");
  EXPECT_EQ(UnitLockName("/dev/hidraw3"), "norvo-unit-_dev_hidraw3.lock");
  for (const char* left : {"", "12345\n", "not a pid at all", "\xff\xfe garbage"}) {
    WriteFile(file, left);
    UnitLock lock;
    EXPECT_TRUE(lock.TryLock(file)) << '"' << left << '"';
  }

  // A holder in another process.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    UnitLock held;
    const char ok = held.TryLock(file) ? '1' : '0';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  UnitLock second;
  EXPECT_FALSE(second.TryLock(file));
  EXPECT_EQ(second.Holder(), child);
  ::kill(child, SIGKILL);  // a crash: the kernel drops the lock
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(second.TryLock(file));

  const fs::path planted = folder.path / UnitLockName("/dev/hidraw9");
  const fs::path target = folder.path / "victim";
  WriteFile(target, "keep me");
  fs::create_symlink(target, planted);
  UnitLock through;
  EXPECT_FALSE(through.TryLock(planted));
  std::ifstream in(target);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "keep me");
}

// The unit locks are shared by every user of the machine: a lock file made by
// one user locks the unit against another, who can only read the file; a
// note naming a process that is gone names nobody.
TEST(UnitLockTest, AnotherUsersLockFileLocksTheUnitToo) {
  TempFolder folder;
  const fs::path file = folder.path / UnitLockName("/dev/hidraw4");
  {
    UnitLock mine;
    ASSERT_TRUE(mine.TryLock(file));  // made by this user, 0644
  }
  WriteFile(file, "999999\n");  // the note of a holder that crashed
  UnitLock probe;
  ASSERT_TRUE(probe.TryLock(file));
  probe.Release();
  if (::geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
  ASSERT_EQ(::chmod(folder.path.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Another user (nobody): the file is read-only to it.
    char ok = '0';
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
      UnitLock held;
      ok = held.Take(file) == FileLock::Result::kHeld ? '1' : '0';
      (void)!::write(ready[1], &ok, 1);
      ::pause();
    }
    (void)!::write(ready[1], &ok, 1);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1') << "the other user could not take the lock";
  UnitLock second;
  EXPECT_EQ(second.Take(file), FileLock::Result::kBusy);
  EXPECT_EQ(second.Holder(), 0) << "the stale note named a process";
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(second.TryLock(file));
}

struct SessionFixture : ::testing::Test, testing::SimRig {
  SessionFixture() : SimRig({.eight_area = true, .pacing = true, .seed = 5, .default_card = false}, 0.2) {}
  TempFolder folder;
  std::unique_ptr<UnitSession> session;

  void SetUp() override { session = Make(); }
  std::unique_ptr<UnitSession> Make() {
    UnitSession::Options options = UnitSession::SessionOptions(0.2);
    options.lock_folder = folder.path;
    return std::make_unique<UnitSession>(transport, folder.path, options);
  }
};

// Polls run beside card lists and downloads as fast as the worker can start
// them: every list is whole and every downloaded byte is the card's, and an
// unplug makes the list incomplete instead of short.
TEST_F(SessionFixture, PollsBesideCardListsAndDownloadsNeverMixOnTheWire) {
  const std::string log = sim::MakeLogFile(false, 300);  // several 4096-byte blocks
  std::vector<sim::CardFile> files;
  for (int i = 1; i <= 23; ++i) files.push_back({"LOG" + std::to_string(1000 + i) + ".CSV", i == 7 ? log : "x\n"});
  unit.SetFiles(files);
  ASSERT_EQ(session->Open(), OpenState::kOpened);
  std::atomic<int> polled{0}, live_read{0};
  session->StartPolling(
      [&](const PollSnapshot& s) {
        ++polled;
        if (s.live_read && s.settings_read && s.identification.find("{") == 0) ++live_read;
      },
      [] {}, std::chrono::microseconds(100));  // a poll cycle whenever the last one ended
  for (int round = 0; round < 6; ++round) {
    const CardList list = session->ListCardFiles();
    ASSERT_TRUE(list.complete) << round;
    ASSERT_EQ(list.files.size(), 23u) << round;
    EXPECT_EQ(list.SizeOf("LOG1007.CSV"), static_cast<std::int64_t>(log.size()));
    std::string copy;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(log.size()); at += card::kBlockSize) {
      const std::int64_t end = std::min<std::int64_t>(at + card::kBlockSize, static_cast<std::int64_t>(log.size()));
      std::string block;
      ASSERT_TRUE(session->ReadCardRange("LOG1007.CSV", at, end, &block)) << round << " at " << at;
      copy += block;
    }
    ASSERT_EQ(copy, log) << round;
  }
  EXPECT_GT(polled.load(), 0);
  EXPECT_EQ(live_read.load(), polled.load()) << "a poll read something that was not its answer";

  unit.Unplug();
  const CardList gone = session->ListCardFiles();
  EXPECT_FALSE(gone.complete);
  session->Stop();
}

// A download at the block boundary: the read commands on the wire and every
// byte of the copy, for a file one byte short of a block, a block, and one
// byte more.
TEST_F(SessionFixture, DownloadsAtTheBlockBoundaryReadEachByteOnce) {
  using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  const struct {
    std::size_t size;
    Ranges reads;
    Ranges resume;  // the last block again, compared, then the rest (none)
  } rows[] = {
      {4095, {{0, 4095}}, {{0, 4095}, {4095, 4095}}},
      {4096, {{0, 4096}}, {{0, 4096}, {4096, 4096}}},
      {4097, {{0, 4096}, {4096, 4097}}, {{4096, 4097}, {4097, 4097}}},
  };
  ASSERT_EQ(session->Open(), OpenState::kOpened);
  // The console's and norvoctl's download: the card read through the unit.
  const auto job_for = [&](const std::string& name, std::size_t size) {
    return UnitDownloadJob(*session, folder.path, CardList{{{name, static_cast<std::int64_t>(size)}}, true}, name, -1);
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    std::string text(row.size, '\0');
    for (std::size_t i = 0; i < row.size; ++i) text[i] = static_cast<char>('a' + i % 26);
    unit.SetFiles({{"LOG0001.CSV", text}});
    std::filesystem::remove(folder.path / "LOG0001.CSV");
    unit.ClearReceived();
    const DownloadJob job = job_for("LOG0001.CSV", row.size);
    EXPECT_EQ(DownloadToLocalCopy(job).status, DownloadStatus::kDone);
    EXPECT_EQ(testing::ReadFile(folder.path / "LOG0001.CSV"), text);
    Ranges reads;
    for (const Payload& frame : unit.Received()) {
      if (const auto read = card::DecodeReadCommand(frame)) reads.emplace_back(read->start, read->end);
    }
    EXPECT_EQ(reads, row.reads);
    // Each read command waits the unit's pause after the marker that ended
    // the block before it.
    const std::vector<std::chrono::steady_clock::time_point> markers = unit.MarkerTimes();
    const std::vector<Payload> frames = unit.Received();
    const std::vector<std::chrono::steady_clock::time_point> times = unit.ReceivedTimes();
    for (std::size_t k = 0; k < frames.size(); ++k) {
      if (!card::DecodeReadCommand(frames[k])) continue;
      const auto before = std::upper_bound(markers.begin(), markers.end(), times[k]);
      if (before == markers.begin()) continue;  // the first block of this download
      EXPECT_GE(times[k] - *std::prev(before), session->TimeScale() * std::chrono::milliseconds(kCardBlockPauseMs));
    }
    // Again, with the copy whole: resumed where it ends, nothing changes.
    unit.ClearReceived();
    EXPECT_EQ(DownloadToLocalCopy(job).status, DownloadStatus::kDone);
    EXPECT_EQ(testing::ReadFile(folder.path / "LOG0001.CSV"), text);
    reads.clear();
    for (const Payload& frame : unit.Received()) {
      if (const auto read = card::DecodeReadCommand(frame)) reads.emplace_back(read->start, read->end);
    }
    EXPECT_EQ(reads, row.resume);
  }

  // A cancel asked while a block is on its way, which the unit then leaves
  // unfinished, ends the download as cancelled, not as a failed file; the
  // copy keeps the whole blocks and resumes.
  const std::string text(9000, 'c');
  unit.SetFiles({{"LOG0002.CSV", text}});
  std::atomic<bool> cancel{false};
  DownloadJob job = job_for("LOG0002.CSV", text.size());
  job.cancel = &cancel;
  job.read = [&, read = job.read](std::int64_t start, std::int64_t end, std::string* into) {
    if (start > 0 && !cancel.exchange(true)) unit.SetSilent(true);
    return read(start, end, into);
  };
  EXPECT_EQ(DownloadToLocalCopy(job).status, DownloadStatus::kCancelled);
  EXPECT_EQ(testing::ReadFile(folder.path / "LOG0002.CSV"), text.substr(0, 4096));
  unit.SetSilent(false);
  job.cancel = nullptr;
  EXPECT_EQ(DownloadToLocalCopy(job).status, DownloadStatus::kDone);
  EXPECT_EQ(testing::ReadFile(folder.path / "LOG0002.CSV"), text);
}

// The four ways of opening, each with what a user is told.
TEST_F(SessionFixture, OpenStatesAndTheirMessages) {
  EXPECT_EQ(session->Open(), OpenState::kOpened);
  EXPECT_TRUE(session->Connected());
  EXPECT_EQ(session->StateMessage(), "");

  // A second session (as a second process would) finds the unit held.
  std::unique_ptr<UnitSession> other = Make();
  EXPECT_EQ(other->Open(), OpenState::kInUse);
  EXPECT_FALSE(other->Connected());
  EXPECT_EQ(other->StateMessage(), "unit in use by pid " + std::to_string(::getpid()));
  session->Stop();
  EXPECT_EQ(other->Open(), OpenState::kOpened);
  other->Stop();

  std::unique_ptr<UnitSession> third = Make();
  unit.SetOpenFailure(true);
  EXPECT_EQ(third->Open(), OpenState::kOpenFailed);
  EXPECT_FALSE(third->Connected());
  EXPECT_NE(third->StateMessage().find("udev rule"), std::string::npos);
  const Payload frames[] = {BuildCommandFrame(code::kSetInterval, std::array<std::uint8_t, 1>{30})};
  EXPECT_EQ(third->Write(frames, kIntervalWrite), WriteOutcome::kNotConnected);
  unit.SetOpenFailure(false);
  unit.Unplug();
  EXPECT_EQ(third->Open(), OpenState::kNoUnit);
  EXPECT_EQ(third->StateMessage(), "No unit found.");
}

// An answer names no command: the calibration block coming after its wait is
// over must not be taken for the live readings (it would read 0.0 °C on every
// channel). The poll ends there, sends no live command, keeps the last live
// readings, and the next poll reads every block again.
TEST_F(SessionFixture, ALateAnswerIsNeverTakenForTheNextCommands) {
  ASSERT_EQ(session->Open(), OpenState::kOpened);
  const PollSnapshot first = session->PollOnce();
  ASSERT_TRUE(first.live_read);
  const float ch1 = first.live.temperature[0];
  ASSERT_NE(ch1, 0.0f);

  unit.SetCalibrationDelay(3000);  // beyond the 2 s wait
  unit.ClearReceived();
  const PollSnapshot late = session->PollOnce();
  EXPECT_TRUE(late.settings_read && late.alarms_read);
  EXPECT_FALSE(late.calibration_read);
  EXPECT_FALSE(late.live_read);
  EXPECT_EQ(late.live.temperature[0], ch1);
  for (const Payload& frame : unit.Received()) EXPECT_NE(frame[kCommandAt], code::kLive);

  unit.SetCalibrationDelay(-1);
  ASSERT_TRUE(testing::WaitUntil([&] { return session->PollOnce().live_read; }));
  const PollSnapshot next = session->PollOnce();
  EXPECT_TRUE(next.settings_read && next.alarms_read && next.calibration_read && next.live_read);
  for (int k = 0; k < 7; ++k) EXPECT_NE(next.live.temperature[static_cast<std::size_t>(k)], 0.0f) << "CH" << k + 1;
}

// Verified writes against the strict unit: taken, refused, unanswered, lost
// on the way, each reported as what the unit did.
TEST_F(SessionFixture, VerifiedWritesSayWhatTheUnitDid) {
  ASSERT_EQ(session->Open(), OpenState::kOpened);
  ASSERT_TRUE(session->ReadSettings());
  const auto interval = [](int minutes) {
    return std::array<Payload, 1>{BuildCommandFrame(code::kSetInterval, std::array<std::uint8_t, 1>{
                                                         static_cast<std::uint8_t>(minutes)})};
  };
  std::string block;
  EXPECT_EQ(session->WriteVerified(interval(30), kIntervalWrite, &block), WriteOutcome::kWritten);
  EXPECT_EQ(unit.Interval(), 30);

  // A unit away from its main screen still takes the interval: it is sent
  // without the permission query, and only the read-back judges it.
  unit.ClearReceived();
  unit.SetRefuseWrites(true);
  EXPECT_EQ(session->WriteVerified(interval(40), kIntervalWrite, &block), WriteOutcome::kWritten);
  EXPECT_EQ(unit.Interval(), 40);
  for (const Payload& frame : unit.Received()) EXPECT_NE(frame[kCommandAt], code::kPermission);
  unit.SetRefuseWrites(false);
  unit.SetIgnoreWrites(true);
  EXPECT_EQ(session->WriteVerified(interval(30), kIntervalWrite, &block), WriteOutcome::kDifferent);
  unit.SetIgnoreWrites(false);
  unit.SetDropWrites(1);
  EXPECT_EQ(session->WriteVerified(interval(30), kIntervalWrite, &block), WriteOutcome::kDifferent);
  EXPECT_EQ(block, "interval");
  EXPECT_EQ(unit.Interval(), 40);

  // A parameter block: written inside the permission query and end frame,
  // then read back byte for byte.
  ASSERT_TRUE(session->ReadCalibration());
  Payload calibration = BuildCommandFrame(code::kWriteCalibration, std::array<std::uint8_t, 24>{0, 5});
  EXPECT_EQ(session->WriteVerified(std::array<Payload, 1>{calibration}, kDialogWrite, &block), WriteOutcome::kWritten);
  EXPECT_EQ(unit.CalibrationBlock()[2], 5);
  unit.SetRefuseWrites(true);
  EXPECT_EQ(session->WriteVerified(std::array<Payload, 1>{calibration}, kDialogWrite, &block), WriteOutcome::kRefused);
  unit.SetRefuseWrites(false);
  unit.SetIgnoreWrites(true);
  EXPECT_EQ(session->WriteVerified(std::array<Payload, 1>{calibration}, kDialogWrite, &block), WriteOutcome::kNoAnswer);
  unit.SetIgnoreWrites(false);
  // The unit goes silent while its "yes" is on the way: the frames and the
  // check that follow get no answer.
  calibration[3] = 7;
  unit.SetPermissionDelay(300);  // 60 ms here
  unit.ClearReceived();
  std::thread silence([&] {
    // Silent once the query is in: its "yes" is queued already.
    testing::WaitUntil([&] { return !unit.Received().empty(); });
    unit.SetSilent(true);
  });
  const WriteOutcome late = session->WriteVerified(std::array<Payload, 1>{calibration}, kDialogWrite, &block);
  silence.join();
  EXPECT_EQ(late, WriteOutcome::kUnverified);
  EXPECT_EQ(block, "calibration");
}

// NORVO_TIME_SCALE: finite numbers in a sane range, or a clear refusal.
TEST(TimeScaleTest, OnlySaneFactorsAreTaken) {
  const struct {
    const char* text;
    bool taken;
    double scale;
  } rows[] = {{nullptr, true, 1.0}, {"0.01", true, 0.01}, {"2", true, 2.0},   {"nan", false, 0},
              {"inf", false, 0},    {"1e308", false, 0},  {"0", false, 0},    {"-1", false, 0},
              {"0.5x", false, 0},   {"", true, 1.0},      {"0.0001", true, 0.0001}};
  testing::ScopedEnv env("NORVO_TIME_SCALE", nullptr);
  for (const auto& row : rows) {
    env.Set(row.text);
    std::string error;
    const std::optional<double> scale = TimeScaleFromEnvironment(&error);
    EXPECT_EQ(scale.has_value(), row.taken) << (row.text ? row.text : "(unset)");
    if (scale) {
      EXPECT_DOUBLE_EQ(*scale, row.scale);
    } else {
      EXPECT_NE(error.find("NORVO_TIME_SCALE takes a number"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace norvo
