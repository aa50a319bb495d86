#include "Restore.h"

#include "Commands.h"
#include "config/ParameterBlocks.h"
#include "device/Frames.h"
#include "device/Responses.h"
#include "res/Strings.h"
#include "session/Unit.h"

namespace norvo::cli {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

std::string WrittenBefore(const std::vector<std::string>& written) {
  return written.empty() ? "nothing was written" : Joined(written) + " were written before";
}

}  // namespace

UnitConfiguration StoredConfiguration(Unit& session) {
  const PollSnapshot b = session.Blocks();
  UnitConfiguration c;
  c.identification = b.identification;
  c.interval = b.interval;
  c.settings = b.settings;
  c.alarm_a = b.alarm_a;
  c.alarm_c = b.alarm_c;
  c.alarm_d = b.alarm_d;
  c.calibration = b.calibration;
  return c;
}

bool ReadConfiguration(Unit& session, UnitConfiguration* config) {
  if (!session.ReadSettings() || !session.ReadAlarms() || !session.ReadCalibration()) return false;
  *config = StoredConfiguration(session);
  return true;
}

RestoreReport RestoreConfiguration(Unit& session, const UnitConfiguration& backup,
                                   const std::function<bool()>& stop) {
  RestoreReport report;
  const auto fail = [&](int status, std::string message) {
    report.status = status;
    report.message = std::move(message);
    return report;
  };
  if (!session.ReadSettings()) return fail(kNoUnit, "The unit does not answer; nothing was written.");
  const bool eight = IsEightAreaModel(session.Blocks().identification);
  if (eight != backup.EightArea()) {
    return fail(kBadInput, std::string("the backup is of ") + (backup.EightArea() ? "an " : "a ") +
                               ModelName(backup.EightArea()) + " unit, this unit is " + ModelName(eight) +
                               "; nothing was written");
  }
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    if (stop && stop()) {
      report.interrupted = true;
      return fail(kOk, "interrupted before the " + sequence.block + "; " + WrittenBefore(report.written));
    }
    const WriteOutcome outcome = session.Write(sequence.frames, sequence.timing);
    if (outcome != WriteOutcome::kWritten) {
      const std::string what = sequence.block + ": ";
      const std::string before = " (" + WrittenBefore(report.written) + ")";
      if (outcome == WriteOutcome::kRefused) return fail(kRefused, what + UIString(ui::kSwitchToMainScreen) + before);
      if (outcome == WriteOutcome::kNoAnswer) return fail(kNoUnit, what + "The unit does not answer; nothing more was written." + before);
      return fail(kNoUnit, what + "No unit found." + before);
    }
    report.written.push_back(sequence.block);
  }
  // The unit never confirms a write: what it reads back is the proof.
  UnitConfiguration read;
  if (!ReadConfiguration(session, &read)) {
    return fail(kNoUnit, "The unit does not answer the read-back; " + Joined(report.written) + " were written.");
  }
  const std::vector<std::string> differ = DifferingBlocks(backup, read);
  if (!differ.empty()) {
    return fail(kRefused, "after the restore the unit reads back other " + Joined(differ) + " than the backup holds");
  }
  return report;
}

}  // namespace norvo::cli
