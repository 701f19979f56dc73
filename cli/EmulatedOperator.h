#pragma once
// The operator of an emulated station during a PD update: when a port asks for
// its device's power cycle, a bridge with the pd.replug_ms key is pulled out at
// once and plugged in again that long afterwards (station time), unless it is
// set never to come back. Bridges without the key wait for "emu replug".
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/emu/EmuStation.h"

namespace cli {

class EmulatedOperator {
public:
    // The operator of the chosen station; null when it is not an emulated one.
    static std::unique_ptr<EmulatedOperator> ForChosenStation();
    explicit EmulatedOperator(const std::string& folder) : m_Station(folder) {}

    // Power-cycles the bridge now on `disk` when it asks for that; false when it does not.
    bool PowerCycle(int disk);

private:
    platform::EmuStation m_Station;
    std::mutex m_Lock;
    // Declared last so that its threads are joined while the station still exists.
    std::vector<std::jthread> m_Replugs;  // guarded by m_Lock
};

}  // namespace cli
