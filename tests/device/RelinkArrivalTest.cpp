// The relink search on a station that reports disk arrivals: the disks that
// arrived since the reset are probed first, every probe keeps its checks, and
// the link state is read once the bridge is known. Fake clock.
#include <gtest/gtest.h>

#include "StationFixture.h"

namespace {

class RelinkArrival : public testsupport::EmulatedStationTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
        m_Dev.SetDeviceList(&m_List);
    }
    // Stamps the USB4 block of image 0 as the worker does before a reset.
    void Stamp(uint8_t target, uint8_t signature)
    {
        uint8_t u4[128];
        ASSERT_EQ(m_Dev.b7951WrRdConfiguration(target, kReadFromDevice, u4, 0, 1), 1);
        u4[124] = signature;
        u4[125] = target;
        ASSERT_EQ(m_Dev.b7951WrRdConfiguration(target, kWriteToDevice, u4, 0, 1), 1);
    }
    // Resets the bridge of a record without searching for it.
    void ResetOnly(uint8_t target)
    {
        const platform::HANDLE h = OpenDisk(m_List.Devs[target].m_ucPhysicalAddress);
        ASSERT_NE(h, platform::INVALID_HANDLE_VALUE);
        m_Dev.SCSI7951_CPURST(h, 0x50);
        m_Station.CloseHandle(h);
    }
    int ProbeCount() { return static_cast<int>(m_Dev.Usb().GetDiskCount()) - 1; }
    DeviceList m_List;
};

TEST_F(RelinkArrival, StationReportsTheDisksThatArrived)
{
    const uint64_t mark = m_Emu.DiskArrivalMark();
    EXPECT_TRUE(m_Emu.DisksArrivedSince(mark).empty());
    ASSERT_TRUE(m_Emu.SetBridgePlugged(2, false));
    ASSERT_TRUE(m_Emu.SetBridgePlugged(2, true));  // back on the lowest free number other than its own
    EXPECT_EQ(m_Emu.DisksArrivedSince(mark), std::vector<uint32_t>{5});
    EXPECT_TRUE(m_Emu.DisksArrivedSince(m_Emu.DiskArrivalMark()).empty());
}

TEST_F(RelinkArrival, BridgeBackOnAnotherBridgesOldNumberIsFoundInOneProbe)
{
    // Bridge 4 (disk 4) is reset first and comes back on disk 5; bridge 3 then
    // comes back on disk 4, the number bridge 4 left, after disks 1 and 2 that
    // the search in plain order would probe first.
    Stamp(3, 4);
    ASSERT_EQ(m_Dev.v7951CPURST(3, 4, ProbeCount(), 0x50, 2), 1);
    ASSERT_EQ(m_List.Devs[3].m_ucPhysicalAddress, 5);
    Stamp(2, 4);
    const int probes = m_Dev.m_iRelinkProbes.load();
    ASSERT_EQ(m_Dev.v7951CPURST(2, 4, ProbeCount(), 0x50, 2), 1);
    EXPECT_EQ(m_Dev.m_iRelinkProbes.load() - probes, 1);
    EXPECT_EQ(m_List.Devs[2].m_ucPhysicalAddress, 4);
    EXPECT_EQ(Bridge(3).DiskNumber(), 4);
    // The link state was read after the search: the default link is PLUSx2.
    EXPECT_EQ(m_List.Devs[2].m_strUsbConnectionStatus, "PLUSx2");
    EXPECT_EQ(m_List.Devs[2].m_ucLinkSpeed, 5);
}

TEST_F(RelinkArrival, ArrivalWithAnotherStampIsRefusedAndTheSearchGoesOn)
{
    // The bridge that comes back carries signature 4; the search wants 5. It is
    // probed first, refused, and the search gives up at its time-out with the
    // record's old address kept.
    Stamp(1, 4);
    const int64_t start = m_Clock.Now();
    EXPECT_EQ(m_Dev.v7951CPURST(1, 5, ProbeCount(), 0x50, 2), 0);
    EXPECT_GE(m_Clock.Now() - start, 480000);
    EXPECT_EQ(m_List.Devs[1].m_ucPhysicalAddress, 2);
    EXPECT_EQ(Bridge(2).DiskNumber(), 5);  // it is on the bus, just not taken
}

TEST_F(RelinkArrival, TwoBridgesReturningInAnotherOrderThanTheirResets)
{
    // Bridge 2 is reset first and stays away 2.5 s; bridge 3, reset next, is
    // back after 0.8 s, so the first disk to arrive during bridge 2's search is
    // bridge 3's, whose stamp belongs to another target.
    m_Emu.ModifyBridge(2, [](emu::Bridge& b) { b.Set("return_delay_ms", "2500"); });
    m_Emu.ModifyBridge(3, [](emu::Bridge& b) { b.Set("return_delay_ms", "800"); });
    Stamp(1, 4);
    Stamp(2, 4);
    const int probeCount = ProbeCount();
    const uint8_t bridgeTwoDisk = m_List.Devs[1].m_ucPhysicalAddress;
    const uint8_t bridgeThreeDisk = m_List.Devs[2].m_ucPhysicalAddress;
    ResetOnly(1);
    ResetOnly(2);
    ASSERT_EQ(m_Dev.bDetectTargetUSBDevice(1, 4, probeCount, 2), 1);
    const int bridgeTwoBack = Bridge(2).DiskNumber();
    const int bridgeThreeBack = Bridge(3).DiskNumber();
    EXPECT_NE(bridgeTwoBack, bridgeTwoDisk);
    EXPECT_EQ(m_List.Devs[1].m_ucPhysicalAddress, bridgeTwoBack);
    ASSERT_EQ(m_Dev.bDetectTargetUSBDevice(2, 4, probeCount, 2), 1);
    EXPECT_EQ(m_List.Devs[2].m_ucPhysicalAddress, bridgeThreeBack);
    EXPECT_NE(m_List.Devs[2].m_ucPhysicalAddress, bridgeThreeDisk);
    EXPECT_NE(m_List.Devs[1].m_ucPhysicalAddress, m_List.Devs[2].m_ucPhysicalAddress);
}

}  // namespace
