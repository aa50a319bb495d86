// The session with the unit (real or simulated) that every unit command uses.

#include <optional>

#include "Interrupt.h"
#include "Internal.h"
#include "device/HidapiTransport.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo::cli {

Session::Session(const Options& o, const fs::path& data_folder) {
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) throw Failure(kBadInput, scale_error);
  if (o.simulate) {
    unit_ = std::make_unique<sim::SimUnit>(
        sim::SimUnit::Options{.eight_area = true, .pacing = true, .seed = 1, .default_card = true});
    // The unit's own delays shrink and stretch with the protocol's waits.
    unit_->SetTimeScale(*scale);
    auto sim = std::make_unique<sim::SimTransport>();
    sim->AddUnit(unit_.get(), "sim:unit");
    unit_->ApplyFault(o.fault);
    transport_ = std::move(sim);
  } else {
    if (!o.fault.empty()) throw Failure(kBadInput, "--sim-fault goes with --simulate");
    transport_ = std::make_unique<HidapiTransport>();
  }
  session_ = std::make_unique<UnitSession>(*transport_, data_folder, UnitSession::SessionOptions(*scale));
  session_->ResponseDispatcher().SetListReceiver(true);
  const OpenState state = session_->Open();
  if (state == OpenState::kInUse) throw Failure(kInUse, session_->StateMessage());
  if (state != OpenState::kOpened) throw Failure(kNoUnit, session_->StateMessage());
}

Session::~Session() { session_->Stop(); }

DeviceLink& Session::Link() { return session_->Link(); }
ResponseStore& Session::Store() { return session_->Responses(); }
CardTransfer& Session::Transfer() { return session_->Transfer(); }

void Session::ReadSettings() {
  interrupt::StopLink stop(Link());
  RequireAnswer(session_->ReadSettings());
}

void Session::ReadAlarms() {
  interrupt::StopLink stop(Link());
  RequireAnswer(session_->ReadAlarms());
}

void Session::ReadCalibration() {
  interrupt::StopLink stop(Link());
  RequireAnswer(session_->ReadCalibration());
}

void Session::ReadLive() {
  interrupt::StopLink stop(Link());
  RequireAnswer(session_->ReadLive());
}

void RequireAnswer(bool answered) {
  if (answered) return;
  if (interrupt::Requested()) throw Interrupted{};
  throw Failure(kNoUnit, "The unit does not answer.");
}

void RequireWritten(WriteOutcome outcome, const std::string& before) {
  if (outcome == WriteOutcome::kRefused) throw Failure(kRefused, before + UIString(ui::kSwitchToMainScreen));
  if (outcome == WriteOutcome::kNoAnswer) throw Failure(kNoUnit, before + "The unit does not answer; nothing was written.");
  if (outcome == WriteOutcome::kNotConnected) throw Failure(kNoUnit, before + "No unit found.");
}

void WriteChecked(Session& s, std::span<const Payload> frames, const WriteTiming& timing) {
  // Ctrl-C while the unit was opened or read: the write has not begun and never does.
  if (interrupt::Requested()) throw Interrupted{"interrupted; nothing was written to the unit"};
  std::string block;
  const WriteOutcome outcome = s.Unit().WriteVerified(frames, timing, &block);
  RequireWritten(outcome);
  if (outcome == WriteOutcome::kDifferent) {
    throw Failure(kRefused, "The unit did not take the " + block + ": it reads back otherwise.");
  }
  if (outcome == WriteOutcome::kUnverified) {
    throw Failure(kNoUnit, "Written, but the unit did not answer the check of the " + block + ".");
  }
}

}  // namespace norvo::cli
