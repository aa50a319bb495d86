// The unit (real or simulated) that every unit command works with.

#include <optional>

#include "Interrupt.h"
#include "Internal.h"
#include <stdexcept>

#include "res/Strings.h"
#include "session/SharedUnit.h"

namespace norvo::cli {

CommandUnit::CommandUnit(const Options& o, const fs::path& data_folder) {
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) throw Failure(kBadInput, scale_error);
  try {
    sim::RigOptions rig_options;
    rig_options.simulate = o.simulate ? 1 : 0;
    rig_options.fault = o.fault;
    rig_options.time_scale = *scale;
    rig_ = sim::MakeRig(rig_options);
  } catch (const std::invalid_argument& e) {
    throw Failure(kBadInput, e.what());
  }
  // A unit another process holds is reached through that process.
  auto shared = std::make_unique<SharedUnit>(*rig_.transport, data_folder, UnitSession::SessionOptions(*scale));
  const OpenState state = shared->Open();
  const bool lock_unusable = shared->LockUnusable();
  unit_ = std::move(shared);
  if (state == OpenState::kInUse) {
    // A lock that cannot be used (no folder, no descriptors left, a symlink)
    // is this machine's fault: nobody holds the unit.
    throw Failure(lock_unusable ? kStoreError : kInUse, unit_->StateMessage());
  }
  if (state != OpenState::kOpened) throw Failure(kNoUnit, unit_->StateMessage());
}

CommandUnit::~CommandUnit() { unit_->Stop(); }

void CommandUnit::ReadSettings() {
  interrupt::StopUnit stop(*unit_);
  RequireAnswer(unit_->ReadSettings());
}

void CommandUnit::ReadAlarms() {
  interrupt::StopUnit stop(*unit_);
  RequireAnswer(unit_->ReadAlarms());
}

void CommandUnit::ReadCalibration() {
  interrupt::StopUnit stop(*unit_);
  RequireAnswer(unit_->ReadCalibration());
}

void CommandUnit::ReadLive() {
  interrupt::StopUnit stop(*unit_);
  RequireAnswer(unit_->ReadLive());
}

void RequireAnswer(bool answered) {
  if (answered) return;
  if (interrupt::Requested()) throw Interrupted{};
  throw Failure(kNoUnit, UIString(ui::kUnitDoesNotAnswer));
}

void RequireWritten(WriteOutcome outcome, const std::string& before) {
  if (outcome == WriteOutcome::kRefused) throw Failure(kRefused, before + UIString(ui::kSwitchToMainScreen));
  if (outcome == WriteOutcome::kNoAnswer) throw Failure(kNoUnit, before + UIString(ui::kNoAnswerNothingWritten));
  if (outcome == WriteOutcome::kNotConnected) throw Failure(kNoUnit, before + UIString(ui::kNoUnitFound));
}

void WriteChecked(CommandUnit& s, std::span<const Payload> frames, const WriteTiming& timing) {
  // Ctrl-C while the unit was opened or read: the write has not begun and never does.
  if (interrupt::Requested()) throw Interrupted{UIString(ui::kInterruptedNothingWritten)};
  std::string block;
  const WriteOutcome outcome = s.TheUnit().WriteVerified(frames, timing, &block);
  RequireWritten(outcome);
  if (outcome == WriteOutcome::kDifferent) {
    throw Failure(kRefused, UIString(ui::kUnitDidNotTake) + block +
                                UIString(ui::kReadsBackOtherwise));
  }
  if (outcome == WriteOutcome::kUnverified) {
    throw Failure(kNoUnit, UIString(ui::kWrittenButUnchecked) +
                               block + ".");
  }
}

}  // namespace norvo::cli
