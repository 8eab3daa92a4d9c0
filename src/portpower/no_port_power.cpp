// Windows: the hub driver offers applications no switch of a port's power, so the operator
// re-plugs the chip.
#include "portpower/port_power.h"

namespace qz::station {

std::unique_ptr<PortPower> MakePlatformPortPower() { return nullptr; }

}  // namespace qz::station
