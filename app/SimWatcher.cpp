#include "SimWatcher.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo {

SimWatcher::SimWatcher(sim::SimTransport& transport, QObject* parent) : DeviceWatcher(parent), transport_(transport) {
  transport_.SetHotplugListener([this](bool arrived) {
    QMetaObject::invokeMethod(this, [this, arrived] { emit DeviceChanged(arrived); }, Qt::QueuedConnection);
  });
}

SimWatcher::~SimWatcher() { transport_.SetHotplugListener(nullptr); }

void AddSimulationMenu(QMenuBar* bar, sim::SimUnit& unit) {
  QMenu* simulation = bar->addMenu("Simulation");
  QAction* unplug = simulation->addAction("Unplug unit");
  unplug->setObjectName("sim-unplug");
  QObject::connect(unplug, &QAction::triggered, bar, [&unit] { unit.Unplug(); });
  QAction* plug = simulation->addAction("Plug unit in");
  plug->setObjectName("sim-plug");
  QObject::connect(plug, &QAction::triggered, bar, [&unit] { unit.Plug(); });
  QAction* refuse = simulation->addAction("Unit on another screen");
  refuse->setObjectName("sim-refuse");
  refuse->setCheckable(true);
  QObject::connect(refuse, &QAction::toggled, bar, [&unit](bool on) { unit.SetRefuseWrites(on); });
}

}  // namespace norvo
