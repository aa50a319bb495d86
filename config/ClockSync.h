#pragma once
// Sync Time: sets the unit's clock to the computer's local date and time.

#include <atomic>
#include <functional>

#include "config/ParameterBlocks.h"
#include "session/Unit.h"

class QWidget;

namespace norvo {

// The computer's local time now, as the clock frame carries it.
ClockFields LocalClock();

// Confirmation first; then, on the background thread, up to 3 s for a
// running poll to end, the permission check and the clock frame; then the
// result message. clock supplies the time sent, read right before the
// permission query. Returns at once after the confirmation; done (if set)
// runs on the user-interface thread after the message.
void SyncClock(QWidget* parent, Unit& unit, std::function<ClockFields()> clock = LocalClock,
               std::function<void()> done = {});

}  // namespace norvo
