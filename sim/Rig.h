#pragma once
// The one place that decides what the program talks to: the USB units
// through hidapi, or simulated units on a transport of their own. The
// console, norvoctl and the logger all build their transport here.

#include <memory>
#include <string>
#include <vector>

#include "SimTransport.h"
#include "SimUnit.h"
#include "device/Transport.h"

namespace norvo::sim {

struct RigOptions {
  int simulate = 0;          // how many simulated units; 0: the USB devices
  SimUnit::Options unit{};   // the first unit's options (later ones differ by seed)
  std::string fault;         // a fault by name for every simulated unit ("" none)
  double time_scale = 1.0;   // the units' delays follow the protocol's waits
  bool numbered_paths = false;  // "sim:unit1".. even for one unit (the logger's names)
};

struct Rig {
  std::vector<std::unique_ptr<SimUnit>> units;  // empty for the USB devices
  SimTransport* sim = nullptr;                  // the transport when simulated
  std::unique_ptr<Transport> transport;
  // "sim:unit" for a single simulated unit, "sim:unit1".. for several.
  static std::string PathOf(int index, int count, bool numbered = false);
};

// Throws std::invalid_argument for an unknown fault name, or a fault without
// simulated units.
Rig MakeRig(const RigOptions& options);

}  // namespace norvo::sim
