#pragma once
// Sync Time: sets the unit's clock to the computer's local date and time.

#include <atomic>
#include <functional>

#include "config/ParameterBlocks.h"
#include "device/DeviceLink.h"

class QWidget;

namespace norvo {

// The computer's local time now, as the clock frame carries it.
ClockFields LocalClock();

// Confirmation, permission check, clock frame, result message. permission is
// the main window's copy of the permission byte; clock supplies the time sent.
void SyncClock(QWidget* parent, DeviceLink& link, const std::atomic<int>& permission,
               const std::function<ClockFields()>& clock = LocalClock);

}  // namespace norvo
