#pragma once
// Hot-plug of the simulated transport, handed to the user-interface thread.

#include "monitor/DeviceWatcher.h"

class QMenuBar;

namespace norvo {

namespace sim {
class SimTransport;
class SimUnit;
}  // namespace sim

class SimWatcher : public DeviceWatcher {
  Q_OBJECT
 public:
  explicit SimWatcher(sim::SimTransport& transport, QObject* parent = nullptr);
  ~SimWatcher() override;

 private:
  sim::SimTransport& transport_;
};

// The "Simulation" menu: unplug and plug the unit, put it on another screen.
// The same commands show on a tool window "sim-panel" beside each modal
// dialog while it is up, which the dialog does not block.
void AddSimulationMenu(QMenuBar* bar, sim::SimUnit& unit);

}  // namespace norvo
