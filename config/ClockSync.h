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

// Confirmation first, then wait_for_poll (a running poll may take up to 3 s
// to end), then the permission check, the clock frame and the result
// message; clock supplies the time sent.
void SyncClock(QWidget* parent, UnitSession& session, const std::function<void()>& wait_for_poll,
               const std::function<ClockFields()>& clock = LocalClock);

}  // namespace norvo
