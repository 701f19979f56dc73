// Discovery on shaped emulated stations: a full station with decoys, serial
// numbers that overlap, a rewritten table.
#include <gtest/gtest.h>

#include <set>

#include "StationFixture.h"
#include "device/DiskInfoArea.h"

namespace {

class Discovery : public testsupport::EmulatedStationTest {
protected:
    void SetSerial(int id, const std::string& serial)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& bridge) {
            auto identity = bridge.TableIdentity();
            identity.serial = serial;
            const auto table = emu::MakeConfigTable(identity);
            emu::WriteBlobRange(bridge.Folder() / "config.bin", 0, table.data(), table.size());
            bridge.Boot();
        });
    }
    int AddBridge(const emu::UsbLocation& location, bool cdrom = false)
    {
        int id = 0;
        m_Emu.ModifyWorld([&](emu::World& world) {
            emu::BridgeSetup setup;
            setup.diskNumber = world.TakeDiskNumber();
            setup.location = location;
            id = world.AddBridge(setup);
            return id != 0;
        });
        if (cdrom) m_Emu.ModifyBridge(id, [](emu::Bridge& b) { b.SetCdrom(1); });
        return id;
    }
    void Move(int id, const emu::UsbLocation& location)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& b) { b.SetLocation(location); });
    }
    DeviceList m_List;
};

TEST_F(Discovery, DefaultStationGivesFourRecordsMatchingTheBridges)
{
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 4u);
    for (int i = 0; i < 4; ++i) {
        const DeviceInfo& r = m_List.Devs[i];
        const emu::Bridge bridge = Bridge(i + 1);
        EXPECT_EQ(r.m_ucDevIdx, i);
        EXPECT_EQ(r.m_ucPhysicalAddress, bridge.DiskNumber());
        EXPECT_EQ(r.m_strSerialNumber, bridge.Identity().serial);
        EXPECT_EQ(r.m_strVID, "2B9D");
        EXPECT_EQ(r.m_strPID, "7951");
        EXPECT_EQ(r.m_strDeviceRev, "0100");
        EXPECT_EQ(r.m_strFWVersion, bridge.ImageVersion(0));
        EXPECT_EQ(r.m_iPortLocation, i + 1);  // port on the root hub of controller 0
        EXPECT_EQ(r.m_ulPortIndex, i + 1);
        EXPECT_EQ(r.m_ulPortCount, 10);
        EXPECT_EQ(r.m_ucDevType, 8);
        EXPECT_EQ(r.m_strDevTypeName, "795D");
        EXPECT_EQ(r.m_ucU4Mode, 0);
        EXPECT_EQ(r.m_strUsbConnectionStatus, "PLUSx2");
        EXPECT_EQ(r.m_ucLinkSpeed, 5);
        EXPECT_EQ(r.m_ucUSBMode, 1);
    }
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);  // the walk leaves nothing open
    EXPECT_EQ(device::host::UsbTree::OpenHandleCount(), 0u);
}

TEST_F(Discovery, FullStationWithDecoysAndASeventeenthBridge)
{
    ASSERT_TRUE(m_Emu.World().Init(16));  // controller 0 ports 1..10, controller 1 ports 1..6
    int hub = 0;
    m_Emu.ModifyWorld([&](emu::World& w) { return (hub = w.AddHub({0, {1, 0, 8}, 4})) != 0; });
    Move(16, {1, hub, 2});                                      // behind the external hub
    const int noSerial = AddBridge({1, 0, 7});                  // no serial-number string
    m_Emu.ModifyBridge(noSerial, [](emu::Bridge& b) { b.SetSerialStringOff(true); });
    const int cdrom = AddBridge({1, 0, 9}, true);               // seen as a CD-ROM
    const int seventeenth = AddBridge({1, 0, 10});              // one bridge too many
    m_Emu.ModifyWorld([&](emu::World& w) {
        return w.AddDecoy({0, "stick", 40, {1, hub, 1}, "STICK0001"}) && w.AddDecoy({0, "sata", 41, {}, "SATA0001"});
    });

    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 16u);
    std::set<int> disks;
    for (int i = 0; i < 16; ++i) {
        const DeviceInfo& r = m_List.Devs[i];
        EXPECT_EQ(r.m_ucDevIdx, i);
        EXPECT_EQ(r.m_strSerialNumber, Bridge(i + 1).Identity().serial) << i;
        EXPECT_EQ(r.m_ucPhysicalAddress, Bridge(i + 1).DiskNumber()) << i;
        disks.insert(r.m_ucPhysicalAddress);
    }
    EXPECT_EQ(disks.size(), 16u);
    EXPECT_EQ(m_List.Devs[10].m_iPortLocation, 1001);  // controller 1, port 1
    // Port 2 of the hub on port 8 of controller 1's root hub, depth 1.
    EXPECT_EQ(m_List.Devs[15].m_iPortLocation, 2 + 10 * 8 + 100 + 1000);
    EXPECT_EQ(m_List.Devs[15].m_ulPortCount, 4);
    EXPECT_NE(m_List.Devs[15].m_strHubName.find("VID_2109"), std::string::npos);
    for (int i = 0; i < 16; ++i) {
        EXPECT_NE(m_List.Devs[i].m_ucPhysicalAddress, Bridge(seventeenth).DiskNumber());
        EXPECT_NE(m_List.Devs[i].m_ucPhysicalAddress, 40);
        EXPECT_NE(m_List.Devs[i].m_strSerialNumber, Bridge(cdrom).Identity().serial);
    }
    EXPECT_EQ(m_List.Devs[15].m_ucDevIdx, 15);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
    EXPECT_EQ(device::host::UsbTree::OpenHandleCount(), 0u);
}

TEST_F(Discovery, SeventeenthBridgeFillsNothingBeyondTheList)
{
    ASSERT_TRUE(m_Emu.World().Init(17));
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    EXPECT_EQ(m_List.DevNums, 16u);
    EXPECT_EQ(m_List.Devs[15].m_strSerialNumber, Bridge(16).Identity().serial);
}

TEST_F(Discovery, IdenticalSerialsEachGetTheirOwnDisk)
{
    SetSerial(1, "SAME0000000000000001");
    SetSerial(2, "SAME0000000000000001");
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 4u);
    EXPECT_EQ(m_List.Devs[0].m_ucPhysicalAddress, 1);
    EXPECT_EQ(m_List.Devs[1].m_ucPhysicalAddress, 2);  // disk 1 skipped as bSameDevFound
}

TEST_F(Discovery, SerialInsideAnotherBridgesSerialNeverTakesItsDisk)
{
    // Bridge 2 is walked first and its serial is part of bridge 1's serial.
    SetSerial(1, "AB12");
    SetSerial(2, "AB1");
    Move(1, {0, 0, 2});
    Move(2, {0, 0, 1});
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 4u);
    EXPECT_EQ(m_List.Devs[0].m_strSerialNumber, "AB1");
    EXPECT_EQ(m_List.Devs[0].m_ucPhysicalAddress, 2);
    EXPECT_EQ(m_List.Devs[1].m_strSerialNumber, "AB12");
    EXPECT_EQ(m_List.Devs[1].m_ucPhysicalAddress, 1);
}

TEST_F(Discovery, RewrittenTableShowsAfterTheNextBoot)
{
    const HANDLE h = OpenDisk(3);
    emu::UsbIdentity identity;
    identity.idVendor = 0x1234;
    identity.idProduct = 0xABCD;
    identity.bcdDevice = 0x0205;
    identity.serial = "NEWSERIAL42";
    identity.manufacturer = "Line 7";
    identity.product = "Fast Drive";
    auto table = emu::MakeConfigTable(identity);
    ASSERT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kWriteToDevice, table.data(), 128, 0, 0), 0);
    m_Station.CloseHandle(h);
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    EXPECT_EQ(m_List.Devs[2].m_strSerialNumber, "DV240600000000000003");  // still the old identity
    m_Emu.ModifyBridge(3, [](emu::Bridge& b) { b.Boot(); });
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 4u);
    const DeviceInfo& r = m_List.Devs[2];
    EXPECT_EQ(r.m_strSerialNumber, "NEWSERIAL42");
    EXPECT_EQ(r.m_strVID, "1234");
    EXPECT_EQ(r.m_strPID, "ABCD");
    EXPECT_EQ(r.m_strDeviceRev, "0205");
    EXPECT_EQ(r.m_strManufacturer, "Line 7");
    EXPECT_EQ(r.m_strProduct, "Fast Drive");
    EXPECT_EQ(r.m_ucPhysicalAddress, 3);
}

TEST_F(Discovery, NoBridgeGivesMinusFourAndTunnelChipsAreListed)
{
    ASSERT_TRUE(m_Emu.World().Init(0));
    EXPECT_EQ(m_Dev.Open(m_List, "0", 2), -4);
    EXPECT_EQ(m_List.DevNums, 0u);
    ASSERT_TRUE(m_Emu.World().Init(1));
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::Usb3Tunnel); });
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    EXPECT_EQ(m_List.Devs[0].m_ucU4Mode, 3);
    EXPECT_EQ(m_List.Devs[0].m_ucLinkSpeed, 7);  // USB4 speed, not the USB3 link text
    EXPECT_EQ(m_List.Devs[0].m_strDevTypeName, "Not Defined");
    // A chip-type filter other than "0" turns every 795x bridge away.
    EXPECT_EQ(m_Dev.Open(m_List, "011", 2), -4);
}

TEST_F(Discovery, DiskInformationOfADiscoveredBridge)
{
    m_Emu.ModifyBridge(2, [](emu::Bridge& b) { b.Set("disk_size_mib", "2048"); });
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    DeviceInfo& r = m_List.Devs[1];
    ASSERT_EQ(m_Dev.nObtainDiSKInfo(RecordDevicePath(r), r), 0);
    EXPECT_EQ(RecordDiskSize(r), 2048LL * 1048576);
    EXPECT_EQ(r.m_strDiskSerialNumber, "NVME0002");
}

}  // namespace
