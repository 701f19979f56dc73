#pragma once
// The PD ports of a station: the bridges discovery finds, each with the USB
// serial number by which it is found again after its power cycle.
#include <vector>

#include "pd/PDUpdate.h"

namespace pd {

// Every bridge on a disk (not in CD-ROM mode), numbered from 0 in discovery order.
std::vector<PDPort> FindPDPorts(platform::IStation& station);
// A relink finder that searches the bridges for the port's serial number.
PDRelinkFinder RelinkBySerial(platform::IStation& station);

}  // namespace pd
