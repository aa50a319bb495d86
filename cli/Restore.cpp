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
  const auto fail = [&](int status, std::string message) {
    report.status = status;
    report.message = std::move(message);
    return report;
  };
  if (!unit.ReadSettings()) return fail(kNoUnit, UIString(ui::kNoAnswerNothingWritten));
  const bool eight = IsEightAreaModel(unit.Blocks().identification);
  if (eight != backup.EightArea()) {
    const std::string_view other = backup.EightArea() ? UIString(ui::kBackupOfOtherModelAn)
                                                      : UIString(ui::kBackupOfOtherModelA);
    return fail(kBadInput, FillText(other, {ModelName(backup.EightArea()), ModelName(eight)}) + "; " + WrittenBefore({}));
  }
  // The dialogs' checks, field by field: the ranges, then the calibration
  // against the unit's readings of the moment, as the Calibration dialog does.
  if (const auto bad = CheckConfiguration(backup)) {
    return fail(kBadInput, bad->field + ": " + bad->reason + "; " + WrittenBefore({}));
  }
  if (!unit.ReadCalibration() || !unit.ReadLive()) return fail(kNoUnit, UIString(ui::kNoAnswerNothingWritten));
  const PollSnapshot now = unit.Blocks();
  if (const auto bad = ranges::CheckCorrectedCalibration(now.calibration, backup.calibration, now.live)) {
    return fail(kBadInput, bad->field + ":" + bad->reason +
                               UIString(ui::kNothingWrittenSentence));
  }
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    if (stop && stop()) {
      report.interrupted = true;
      return fail(kOk, UIString(ui::kInterruptedBefore) + sequence.block + "; " +
                           WrittenBefore(report.written));
    }
    const WriteOutcome outcome = unit.Write(sequence.frames, sequence.timing);
    if (outcome != WriteOutcome::kWritten) {
      const std::string what = sequence.block + ": ";
      const std::string before = " (" + WrittenBefore(report.written) + ")";
      if (outcome == WriteOutcome::kRefused) return fail(kRefused, what + UIString(ui::kSwitchToMainScreen) + before);
      if (outcome == WriteOutcome::kNoAnswer) {
        return fail(kNoUnit, what +
                                 UIString(ui::kNoAnswerNothingMoreWritten) +
                                 before);
      }
      return fail(kNoUnit, what + UIString(ui::kNoUnitFound) + before);
    }
    report.written.push_back(sequence.block);
  }
  // The unit never confirms a write: what it reads back is the proof.
  UnitConfiguration read;
  if (!ReadConfiguration(unit, &read)) {
    return fail(kNoUnit, UIString(ui::kNoAnswerReadBack) +
                             Joined(report.written) + UIString(ui::kWereWritten));
  }
  const std::vector<std::string> differ = DifferingBlocks(backup, read);
  if (!differ.empty()) {
    return fail(kRefused, UIString(ui::kRestoreReadsBackOther) +
                              Joined(differ) +
                              UIString(ui::kThanBackupHolds));
  }
  return report;
}

}  // namespace norvo::cli
