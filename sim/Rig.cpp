#include "Rig.h"

#include <stdexcept>

#include "device/HidapiTransport.h"

namespace norvo::sim {

std::string Rig::PathOf(int index, int count, bool numbered) {
  return count == 1 && !numbered ? std::string("sim:unit") : "sim:unit" + std::to_string(index);
}

Rig MakeRig(const RigOptions& options) {
  Rig rig;
  if (options.simulate <= 0) {
    if (!options.fault.empty()) throw std::invalid_argument("--sim-fault goes with --simulate");
    rig.transport = std::make_unique<HidapiTransport>();
    return rig;
  }
  auto transport = std::make_unique<SimTransport>();
  for (int i = 1; i <= options.simulate; ++i) {
    SimUnit::Options unit_options = options.unit;
    unit_options.seed = options.unit.seed + static_cast<std::uint32_t>(i - 1);
    auto unit = std::make_unique<SimUnit>(unit_options);
    unit->SetTimeScale(options.time_scale);
    if (!unit->ApplyFault(options.fault)) throw std::invalid_argument("unknown --sim-fault \"" + options.fault + "\"");
    transport->AddUnit(unit.get(), Rig::PathOf(i, options.simulate, options.numbered_paths));
    rig.units.push_back(std::move(unit));
  }
  rig.sim = transport.get();
  rig.transport = std::move(transport);
  return rig;
}

}  // namespace norvo::sim
