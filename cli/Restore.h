#pragma once
// Reading the unit's configuration for a backup and writing a backup back,
// over one unit unit. The write sequences are those of the dialogs; after
// them the blocks are read back and compared with the backup.

#include <functional>
#include <string>
#include <vector>

#include "config/Backup.h"

namespace norvo {
class Unit;
}

namespace norvo::cli {

// What the last read sequences stored in the unit's response store.
UnitConfiguration StoredConfiguration(Unit& unit);

// Runs the settings, alarm and calibration read sequences; false when one of
// them went unanswered.
bool ReadConfiguration(Unit& unit, UnitConfiguration* config);

struct RestoreReport {
  int status = 0;  // an exit status of norvoctl
  bool interrupted = false;
  std::string message;
  std::vector<std::string> written;  // the blocks whose write sequence went out
};

// Checks that the unit is of the backup's model and that the backup keeps to
// the dialogs' ranges (status 3 naming the field; the calibration also
// against the unit's live readings), writes each sequence of
// RestoreSequences, then reads back and compares. `stop` is asked before each
// sequence; a sequence once started always runs to its end.
RestoreReport RestoreConfiguration(Unit& unit, const UnitConfiguration& backup,
                                   const std::function<bool()>& stop = {});

}  // namespace norvo::cli
