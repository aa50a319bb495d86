#include "Restore.h"

#include "Commands.h"
#include "config/ParameterBlocks.h"
#include "device/Frames.h"
#include "device/Responses.h"
#include "res/Strings.h"
#include "session/UnitSession.h"

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

UnitConfiguration StoredConfiguration(UnitSession& session) {
  const ResponseStore& store = session.Responses();
  UnitConfiguration c;
  c.identification = store.Identification();
  c.interval = store.Interval();
  c.settings = store.Block(response::kSettings);
  c.alarm_a = store.Block(response::kAlarmA);
  c.alarm_c = store.Block(response::kAlarmC);
  c.alarm_d = store.Block(response::kAlarmD);
  c.calibration = store.Block(response::kCalibration);
  return c;
}

bool ReadConfiguration(UnitSession& session, UnitConfiguration* config) {
  if (!session.ReadSettings() || !session.ReadAlarms() || !session.ReadCalibration()) return false;
  *config = StoredConfiguration(session);
  return true;
}

RestoreReport RestoreConfiguration(UnitSession& session, const UnitConfiguration& backup,
                                   const std::function<bool()>& stop) {
  RestoreReport report;
  const auto fail = [&](int status, std::string message) {
    report.status = status;
    report.message = std::move(message);
    return report;
  };
  if (!session.ReadSettings()) return fail(kNoUnit, "The unit does not answer; nothing was written.");
  const bool eight = IsEightAreaModel(session.Responses().Identification());
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
