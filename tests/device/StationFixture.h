#pragma once
// An emulated station in a temporary folder, with a fake clock so that sleeps
// cost nothing.
#include <atomic>
#include <memory>

#include "../common/TestSupport.h"
#include "device/BrvtUSBDev.h"
#include "platform/emu/EmuStation.h"

namespace testsupport {

class EmulatedStationTest : public ::testing::Test {
protected:
    EmulatedStationTest() : m_Emu(m_Folder.Path() / "station"), m_Station(m_Emu), m_Dev(m_Station) {}
    int IoControls() const { return m_Emu.IoControlCalls(); }

    platform::HANDLE OpenDisk(int disk)
    {
        return m_Station.CreateFile("\\\\.\\PHYSICALDRIVE" + std::to_string(disk),
                                    platform::GENERIC_READ | platform::GENERIC_WRITE,
                                    platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    }
    emu::Bridge Bridge(int id) { return emu::Bridge(m_Emu.World().BridgeFolder(id)); }
    void Fault(int id, uint8_t opcode, emu::FaultMode mode, int count)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& b) { b.SetFault(opcode, mode, count); });
    }
    platform::EmuRequest LastRequest() const
    {
        const auto journal = m_Emu.Journal();
        return journal.empty() ? platform::EmuRequest{} : journal.back();
    }

    FakeClockScope m_Clock;
    TempFolder m_Folder;
    platform::EmuStation m_Emu;
    platform::IStation& m_Station;
    CBrvtUSBDev m_Dev;
};

}  // namespace testsupport
