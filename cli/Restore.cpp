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
    text += i == 0 ? "" : i + 1 == names.size() ? std::string(Localized(" and ", " und ")) : ", ";
    text += names[i];
  }
  return text;
}

std::string WrittenBefore(const std::vector<std::string>& written) {
  return written.empty() ? std::string(Localized("nothing was written", "es wurde nichts geschrieben"))
                         : Joined(written) + std::string(Localized(" were written before", " wurden vorher geschrieben"));
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
  if (!session.ReadSettings()) return fail(kNoUnit, std::string(Localized("The unit does not answer; nothing was written.",
                                                                        "Das Gerät antwortet nicht; es wurde nichts geschrieben.")));
  const bool eight = IsEightAreaModel(session.Blocks().identification);
  if (eight != backup.EightArea()) {
    return fail(kBadInput, std::string(Localized("the backup is of ", "die Sicherung stammt von einem Gerät (")) +
                               std::string(Localized(backup.EightArea() ? "an " : "a ", "")) + ModelName(backup.EightArea()) +
                               std::string(Localized(" unit, this unit is ", "), dieses Gerät ist ")) + ModelName(eight) +
                               "; " + WrittenBefore({}));
  }
  // The dialogs' checks, field by field: the ranges, then the calibration
  // against the unit's readings of the moment, as the Calibration dialog does.
  if (const auto bad = CheckConfiguration(backup)) {
    return fail(kBadInput, bad->field + ": " + bad->reason + "; " + WrittenBefore({}));
  }
  if (!session.ReadCalibration() || !session.ReadLive()) return fail(kNoUnit, std::string(Localized("The unit does not answer; nothing was written.",
                                                                        "Das Gerät antwortet nicht; es wurde nichts geschrieben.")));
  const PollSnapshot now = session.Blocks();
  if (const auto bad = ranges::CheckCorrectedCalibration(now.calibration, backup.calibration, now.live)) {
    return fail(kBadInput, bad->field + ":" + bad->reason +
                               std::string(Localized(" Nothing was written.", " Es wurde nichts geschrieben.")));
  }
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    if (stop && stop()) {
      report.interrupted = true;
      return fail(kOk, std::string(Localized("interrupted before the ", "unterbrochen vor: ")) + sequence.block + "; " +
                           WrittenBefore(report.written));
    }
    const WriteOutcome outcome = session.Write(sequence.frames, sequence.timing);
    if (outcome != WriteOutcome::kWritten) {
      const std::string what = sequence.block + ": ";
      const std::string before = " (" + WrittenBefore(report.written) + ")";
      if (outcome == WriteOutcome::kRefused) return fail(kRefused, what + UIString(ui::kSwitchToMainScreen) + before);
      if (outcome == WriteOutcome::kNoAnswer) {
        return fail(kNoUnit, what +
                                 std::string(Localized("The unit does not answer; nothing more was written.",
                                                       "Das Gerät antwortet nicht; es wurde nichts mehr geschrieben.")) +
                                 before);
      }
      return fail(kNoUnit, what + std::string(NoUnitText()) + before);
    }
    report.written.push_back(sequence.block);
  }
  // The unit never confirms a write: what it reads back is the proof.
  UnitConfiguration read;
  if (!ReadConfiguration(session, &read)) {
    return fail(kNoUnit, std::string(Localized("The unit does not answer the read-back; ",
                                               "Das Gerät antwortet nicht auf das Zurücklesen; ")) +
                             Joined(report.written) + std::string(Localized(" were written.", " wurden geschrieben.")));
  }
  const std::vector<std::string> differ = DifferingBlocks(backup, read);
  if (!differ.empty()) {
    return fail(kRefused, std::string(Localized("after the restore the unit reads back other ",
                                                "nach der Wiederherstellung liest das Gerät andere Werte zurück (")) +
                              Joined(differ) +
                              std::string(Localized(" than the backup holds", ") als die Sicherung enthält")));
  }
  return report;
}

}  // namespace norvo::cli
