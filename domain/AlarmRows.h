#pragma once
// Alarms and a unit's limits as the store's alarm log keeps them
// (store/AlarmLog.h). No I/O here: the holder of the unit writes the rows.

#include <optional>
#include <string>

#include "Alarms.h"
#include "Report.h"
#include "session/PollingWorker.h"
#include "store/AlarmLog.h"

namespace norvo {

AlarmLogRow ToLogRow(const AlarmRecord& record);
std::optional<AlarmRecord> FromLogRow(const AlarmLogRow& row);

// "temperature_high_3=35.3,humidity_low_4=16": every limit that counts, in
// °C or %; "" when none does.
std::string EncodeLimits(const AlarmLimits& limits);
// False for a text EncodeLimits does not make.
bool DecodeLimits(const std::string& text, AlarmLimits* limits);

UnitFacts FactsFromRow(const UnitFactsRow& row);

// One unit's alarms across its answered polls, for the process that holds
// it: the evaluation, and the log's rows to write. One thread at a time.
class AlarmTracker {
 public:
  explicit AlarmTracker(std::string unit) : unit_(unit), evaluator_(std::move(unit)) {}

  struct Outcome {
    std::vector<AlarmEvent> events;
    std::vector<AlarmLogRow> rows;       // the alarms that started or ended
    std::optional<UnitFactsRow> facts;   // the unit's facts, when new or changed
  };
  // A poll whose live block or alarm blocks were not answered changes nothing.
  Outcome Poll(const PollSnapshot& snapshot);
  std::vector<AlarmRecord> Active() const { return evaluator_.Active(); }
  const AlarmLimits& Limits() const { return evaluator_.Limits(); }
  bool HasLimits() const { return evaluated_; }

 private:
  std::string unit_;
  AlarmEvaluator evaluator_;
  std::optional<UnitFactsRow> facts_;
  bool evaluated_ = false;
};

}  // namespace norvo
