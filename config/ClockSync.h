#pragma once
// Sync Time: sets the unit's clock to the computer's local date and time.

#include <atomic>
#include <functional>

#include "config/ParameterBlocks.h"
#include "session/UnitSession.h"

class QWidget;

namespace norvo {

// The computer's local time now, as the clock frame carries it.
ClockFields LocalClock();

// Confirmation, permission check, clock frame, result message; clock
// supplies the time sent.
void SyncClock(QWidget* parent, UnitSession& session, const std::function<ClockFields()>& clock = LocalClock);

}  // namespace norvo
