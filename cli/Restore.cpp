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
    text += i == 0 ? "" : i + 1 == names.size() ? UIString(ui::kListAnd) : ", ";
    text += names[i];
  }
  return text;
}

std::string WrittenBefore(const std::vector<std::string>& written) {
  return written.empty() ? UIString(ui::kNothingWritten)
                         : Joined(written) + UIString(ui::kWrittenBefore);
}

// Why a restore ends early: the exit status and what to say.
struct Stop {
  int status;
  std::string message;
};

// The unit must be of the backup's model, and the backup keep to the
// dialogs' checks, field by field: the ranges, then the calibration against
// the unit's readings of the moment, as the Calibration dialog does.
std::optional<Stop> CheckBeforeWriting(Unit& unit, const UnitConfiguration& backup) {
  if (!unit.ReadSettings()) return Stop{kNoUnit, UIString(ui::kNoAnswerNothingWritten)};
  const bool eight = IsEightAreaModel(unit.Blocks().identification);
  if (eight != backup.EightArea()) {
    const std::string_view other =
        backup.EightArea() ? UIString(ui::kBackupOfOtherModelAn) : UIString(ui::kBackupOfOtherModelA);
    return Stop{kBadInput, FillText(other, {ModelName(backup.EightArea()), ModelName(eight)}) + "; " +
                               WrittenBefore({})};
  }
  if (const auto bad = CheckConfiguration(backup)) {
    return Stop{kBadInput, bad->field + ": " + bad->reason + "; " + WrittenBefore({})};
  }
  if (!unit.ReadCalibration() || !unit.ReadLive()) {
    return Stop{kNoUnit, UIString(ui::kNoAnswerNothingWritten)};
  }
  const PollSnapshot now = unit.Blocks();
  if (const auto bad = ranges::CheckCorrectedCalibration(now.calibration, backup.calibration, now.live)) {
    return Stop{kBadInput, bad->field + ":" + bad->reason + UIString(ui::kNothingWrittenSentence)};
  }
  return std::nullopt;
}

// Each write sequence in turn, named in report->written once it went out;
// `stop` is asked before each.
std::optional<Stop> WriteSequences(Unit& unit, const UnitConfiguration& backup,
                                   const std::function<bool()>& stop, RestoreReport* report) {
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    if (stop && stop()) {
      report->interrupted = true;
      return Stop{kOk,
                  UIString(ui::kInterruptedBefore) + sequence.block + "; " + WrittenBefore(report->written)};
    }
    const WriteOutcome outcome = unit.Write(sequence.frames, sequence.timing);
    if (outcome != WriteOutcome::kWritten) {
      const std::string what = sequence.block + ": ";
      const std::string before = " (" + WrittenBefore(report->written) + ")";
      if (outcome == WriteOutcome::kRefused) {
        return Stop{kRefused, what + UIString(ui::kSwitchToMainScreen) + before};
      }
      if (outcome == WriteOutcome::kNoAnswer) {
        return Stop{kNoUnit, what + UIString(ui::kNoAnswerNothingMoreWritten) + before};
      }
      return Stop{kNoUnit, what + UIString(ui::kNoUnitFound) + before};
    }
    report->written.push_back(sequence.block);
  }
  return std::nullopt;
}

// The unit never confirms a write: what it reads back is the proof.
std::optional<Stop> CheckReadBack(Unit& unit, const UnitConfiguration& backup,
                                  const std::vector<std::string>& written) {
  UnitConfiguration read;
  if (!ReadConfiguration(unit, &read)) {
    return Stop{kNoUnit, UIString(ui::kNoAnswerReadBack) + Joined(written) + UIString(ui::kWereWritten)};
  }
  const std::vector<std::string> differ = DifferingBlocks(backup, read);
  if (!differ.empty()) {
    return Stop{kRefused,
                UIString(ui::kRestoreReadsBackOther) + Joined(differ) + UIString(ui::kThanBackupHolds)};
  }
  return std::nullopt;
}

}  // namespace

UnitConfiguration StoredConfiguration(Unit& unit) {
  const PollSnapshot b = unit.Blocks();
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

bool ReadConfiguration(Unit& unit, UnitConfiguration* config) {
  if (!unit.ReadSettings() || !unit.ReadAlarms() || !unit.ReadCalibration()) return false;
  *config = StoredConfiguration(unit);
  return true;
}

RestoreReport RestoreConfiguration(Unit& unit, const UnitConfiguration& backup,
                                   const std::function<bool()>& stop) {
  RestoreReport report;
  std::optional<Stop> stopped = CheckBeforeWriting(unit, backup);
  if (!stopped) stopped = WriteSequences(unit, backup, stop, &report);
  if (!stopped) stopped = CheckReadBack(unit, backup, report.written);
  if (stopped) {
    report.status = stopped->status;
    report.message = std::move(stopped->message);
  }
  return report;
}

}  // namespace norvo::cli
