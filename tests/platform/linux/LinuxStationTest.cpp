// The Linux station on a fake root laid out as Linux lays it out: two host
// controllers, an external hub, bridges in UAS and BOT mode, a decoy stick and a
// SATA system disk; the SG_IO ioctl is a fake that answers the INQUIRY.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../../common/TestSupport.h"
#include "platform/PassThroughBlock.h"
#include "platform/linux/LinuxStation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using linuxst::LinuxStation;

const fs::path kTree = fs::path(PLATFORM_FIXTURES) / "station-tree";

// The fixture tree copied into a test folder, so a test may change it.
class LinuxStationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(kTree, Root(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    fs::path Root() const { return m_Folder.Path() / "root"; }
    linuxst::IoctlFunction Ioctl()
    {
        return [this](int fd, unsigned long request, void* argument) {
            char target[512] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0) m_Nodes.push_back(target);
            if (request != SG_IO) {
                m_Requests.push_back(request);
                return 0;
            }
            auto& header = *static_cast<sg_io_hdr_t*>(argument);
            if (header.cmdp[0] == 0x12 && header.dxfer_len >= 38) {
                auto* data = static_cast<uint8_t*>(header.dxferp);
                data[36] = 0x51;
                data[37] = 0x79;  // chip 7951
            }
            header.resid = 0;
            return 0;
        };
    }
    static HANDLE Open(LinuxStation& station, uint32_t disk, DiskAccess access = DiskAccess::kData)
    {
        return station.OpenDisk({DiskKind::kDisk, disk, 0}, access);
    }
    testsupport::TempFolder m_Folder;
    std::vector<std::string> m_Nodes;      // the nodes the ioctl was called on
    std::vector<unsigned long> m_Requests;  // other ioctl requests than SG_IO
};

TEST_F(LinuxStationTest, DiskZeroHoldsTheRootAndEveryOtherDiskIsNumberedInNameOrder)
{
    LinuxStation station(Root().string(), Ioctl());
    const auto disks = station.Disks();
    ASSERT_EQ(disks.size(), 5u);
    EXPECT_EQ(disks[0].diskNumber, 0u);
    EXPECT_EQ(disks[0].busType, BusTypeSata);
    EXPECT_EQ(disks[0].product, "Samsung SSD 870");
    EXPECT_NE(disks[0].refusal.find("system root"), std::string::npos);
    EXPECT_EQ(disks[1].usbPath, "2-1");
    EXPECT_EQ(disks[1].usbDriver, "uas");
    EXPECT_EQ(disks[1].serial, "DV240600000000000001");
    EXPECT_EQ(disks[1].sizeBytes, 1000215216ull * 512);
    EXPECT_EQ(disks[1].refusal, "");
    EXPECT_EQ(disks[2].serial, "STICK0001");
    EXPECT_EQ(disks[2].refusal, "not behind a bridge");
    EXPECT_EQ(disks[3].usbPath, "2-2.3");
    EXPECT_EQ(disks[3].usbDriver, "usb-storage");
    EXPECT_EQ(disks[3].refusal, "");
    EXPECT_EQ(disks[4].usbPath, "4-1");
    EXPECT_EQ(disks[4].refusal, "mounted at /srv/data, a system path");
}

TEST_F(LinuxStationTest, RefusedDisksCannotBeOpenedForCommandsButCanBeQueried)
{
    LinuxStation station(Root().string(), Ioctl());
    for (uint32_t disk : {0u, 2u, 4u}) {
        EXPECT_EQ(Open(station, disk), INVALID_HANDLE_VALUE) << disk;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << disk;
    }
    EXPECT_EQ(Open(station, 9), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // No optical drive is among the disks the tree shows.
    EXPECT_EQ(station.OpenDisk({DiskKind::kCdrom, 0, 0}, DiskAccess::kQuery), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    const HANDLE query = Open(station, 0, DiskAccess::kQuery);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    DiskTarget target;
    ASSERT_TRUE(station.HandleTarget(query, target));
    EXPECT_EQ(target.kind, DiskKind::kDisk);
    EXPECT_EQ(target.number, 0u);
    EXPECT_EQ(target.partition, 0u);
    DiskCapacity capacity;
    ASSERT_TRUE(station.GetDiskCapacity(query, capacity));
    EXPECT_EQ(capacity.sizeBytes, 976773168ull * 512);
    EXPECT_EQ(capacity.bytesPerSector, 512u);
    // Nor does it carry a command.
    ScsiOutcome outcome;
    EXPECT_FALSE(station.SendScsi(query, ScsiRequest{}, outcome));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_Nodes.empty());
    // A query handle moves no sector: the system disk is never written.
    uint8_t sector[512] = {};
    uint32_t moved = 1;
    EXPECT_FALSE(station.WriteAt(query, 0, sector, sizeof sector, &moved));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(station.CloseHandle(query));
}

TEST_F(LinuxStationTest, PassThroughGoesToTheBridgesSgNode)
{
    LinuxStation station(Root().string(), Ioctl());
    const HANDLE disk = Open(station, 3);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> block(kDataOffset + 38, 0);
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof header;
    header.CdbLength = 6;
    header.SenseInfoLength = kSenseBufferSize;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = 38;
    header.TimeOutValue = 2;
    header.DataBufferOffset = kDataOffset;
    header.SenseInfoOffset = kSenseOffset;
    const uint8_t inquiry[] = {0x12, 0x00, 0x00, 0x00, 0x26, 0x00};
    std::memcpy(header.Cdb, inquiry, sizeof inquiry);
    std::memcpy(block.data(), &header, sizeof header);
    uint32_t returned = 0;
    ASSERT_TRUE(station.DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, block.data(), static_cast<uint32_t>(block.size()),
                                        block.data(), static_cast<uint32_t>(block.size()), &returned));
    ASSERT_EQ(m_Nodes.size(), 1u);
    EXPECT_EQ(fs::path(m_Nodes[0]).filename(), "sg3");
    EXPECT_EQ(block[kDataOffset + 36], 0x51);
    EXPECT_EQ(block[kDataOffset + 37], 0x79);
    EXPECT_EQ(returned, kDataOffset + 38);
    EXPECT_TRUE(station.CloseHandle(disk));
}

// The node named `name` in a tree; fails the test when there is none.
const UsbNode& Node(const std::vector<UsbNode>& tree, const std::string& name)
{
    static const UsbNode kNone;
    const auto found = std::find_if(tree.begin(), tree.end(), [&](const UsbNode& node) { return node.name == name; });
    EXPECT_NE(found, tree.end()) << name;
    return found == tree.end() ? kNone : *found;
}

TEST_F(LinuxStationTest, UsbTreeSeesControllersHubsPortsAndStrings)
{
    LinuxStation station(Root().string(), Ioctl());
    const auto tree = station.UsbTree();
    // A USB 2 and a USB 3 root hub per controller, first, by bus.
    ASSERT_GE(tree.size(), 4u);
    for (int bus = 1; bus <= 4; ++bus) EXPECT_EQ(tree[bus - 1].name, "usb" + std::to_string(bus));
    const UsbNode& root = Node(tree, "usb2");
    EXPECT_TRUE(root.parent.empty());
    EXPECT_TRUE(root.isHub);
    EXPECT_EQ(root.portCount, 4);
    EXPECT_EQ(root.controller, "0000:00:14.0");

    const UsbNode& bridge = Node(tree, "2-1");
    EXPECT_EQ(bridge.parent, "usb2");
    EXPECT_EQ(bridge.port, 1);
    EXPECT_FALSE(bridge.isHub);
    EXPECT_EQ(bridge.idVendor, 0x2B9D);
    EXPECT_EQ(bridge.idProduct, 0x7951);
    EXPECT_EQ(bridge.bcdUSB, 0x0320);
    EXPECT_EQ(bridge.iSerialNumber, 3);
    EXPECT_EQ(bridge.driver, "uas");
    EXPECT_TRUE(std::none_of(tree.begin(), tree.end(), [](const UsbNode& n) { return n.name == "2-4"; }));

    const UsbNode& hub = Node(tree, "2-2");
    EXPECT_TRUE(hub.isHub);
    const UsbNode& behind = Node(tree, "2-2.3");
    EXPECT_EQ(behind.parent, "2-2");
    EXPECT_EQ(behind.port, 3);
    EXPECT_EQ(behind.bcdDevice, 0x0100);
    EXPECT_EQ(behind.driver, "usb-storage");
    std::u16string text;
    ASSERT_TRUE(station.ReadUsbString(behind, 0, 0, text));
    EXPECT_EQ(text, std::u16string(1, u'\x0409'));
    ASSERT_TRUE(station.ReadUsbString(behind, behind.iSerialNumber, 0x0409, text));
    EXPECT_EQ(text, u"DV240600000000000002");
    // Linux keeps one language: another one has no strings.
    EXPECT_FALSE(station.ReadUsbString(behind, behind.iSerialNumber, 0x0407, text));
}

TEST_F(LinuxStationTest, DisksLeadToTheirNumberAndTheirUsbSerial)
{
    LinuxStation station(Root().string(), Ioctl());
    const auto disks = station.Disks();
    ASSERT_EQ(disks.size(), 5u);
    EXPECT_TRUE(std::none_of(disks.begin(), disks.end(), [](const DiskDevice& d) { return d.cdrom; }));
    EXPECT_EQ(disks[3].diskNumber, 3u);
    EXPECT_EQ(disks[3].busType, BusTypeUsb);
    EXPECT_EQ(disks[3].serial, "DV240600000000000002");
    EXPECT_EQ(disks[3].usbPath, "2-2.3");
    const HANDLE h = Open(station, 3, DiskAccess::kQuery);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DiskTarget target;
    ASSERT_TRUE(station.HandleTarget(h, target));
    EXPECT_EQ(target.number, 3u);
    DiskCapacity capacity;
    ASSERT_TRUE(station.GetDiskCapacity(h, capacity));
    EXPECT_EQ(capacity.sizeBytes, 500118192ull * 512);
    EXPECT_FALSE(capacity.removable);
    // A query handle moves no sector.
    uint8_t sector[512] = {};
    uint32_t moved = 0;
    EXPECT_FALSE(station.ReadAt(h, 0, sector, sizeof sector, &moved));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(station.CloseHandle(h));
    EXPECT_FALSE(station.CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(station.HandleTarget(h, target));
}

TEST_F(LinuxStationTest, ADiskKeepsItsNumberWhileOthersComeAndGo)
{
    LinuxStation station(Root().string(), Ioctl());
    fs::remove(Root() / "sys/block/sdb");  // the UAS bridge is pulled
    auto disks = station.Disks();
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_EQ(disks[1].diskNumber, 2u);
    EXPECT_EQ(disks[2].diskNumber, 3u);
    EXPECT_EQ(disks[2].usbPath, "2-2.3");
    // Back again: it takes the lowest free number.
    fs::copy_symlink(kTree / "sys/block/sdb", Root() / "sys/block/sdb");
    disks = station.Disks();
    ASSERT_EQ(disks.size(), 5u);
    EXPECT_EQ(disks[1].usbPath, "2-1");
    EXPECT_EQ(disks[1].diskNumber, 1u);
    EXPECT_EQ(disks[3].usbPath, "2-2.3");
    EXPECT_EQ(disks[3].diskNumber, 3u);
}

TEST_F(LinuxStationTest, SectorsMoveOnlyThroughADiskOpenedForCommands)
{
    {
        std::ofstream image(Root() / "dev/sdd", std::ios::binary);
        image << std::string(1024, 'D');
    }
    LinuxStation station(Root().string(), Ioctl());
    const HANDLE disk = Open(station, 3);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    uint8_t sector[512] = {};
    uint32_t moved = 0;
    ASSERT_TRUE(station.ReadAt(disk, 512, sector, sizeof sector, &moved));
    EXPECT_EQ(moved, 512u);
    EXPECT_EQ(sector[0], 'D');
    std::memset(sector, 'W', sizeof sector);
    ASSERT_TRUE(station.WriteAt(disk, 0, sector, sizeof sector, &moved));
    station.CloseHandle(disk);
    std::ifstream image(Root() / "dev/sdd", std::ios::binary);
    EXPECT_EQ(image.get(), 'W');
}

TEST_F(LinuxStationTest, MountInfoAndSystemPaths)
{
    const auto mounts = linuxst::ParseMountInfo("25 22 8:33 / /media/op/USB\\040DISK rw shared:4 - vfat /dev/sdc1 rw\n"
                                                "garbage line\n"
                                                "26 22 8:65 / /srv/data rw - ext4 /dev/sde1 rw\n");
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].mountPoint, "/media/op/USB DISK");
    EXPECT_EQ(mounts[0].deviceNumber, "8:33");
    EXPECT_EQ(mounts[0].fileSystem, "vfat");
    for (const char* path : {"/", "/boot/efi", "/usr", "/var/lib", "/srv/data", "/home"})
        EXPECT_TRUE(linuxst::IsSystemMountPoint(path)) << path;
    for (const char* path : {"/media/op/X", "/srvx", "/run/deveda/1", "/mnt/usb"})
        EXPECT_FALSE(linuxst::IsSystemMountPoint(path)) << path;
}

TEST_F(LinuxStationTest, ExtraBridgeVendorIdsComeFromTheEnvironment)
{
    ::setenv("DEVEDA_BRIDGE_VIDS", "090c,zz,1E4E", 1);
    EXPECT_EQ(linuxst::BridgeVendorIds(), (std::set<uint16_t>{0x090C, 0x1E4E, 0x2B9D}));
    LinuxStation station(Root().string(), Ioctl());
    ::unsetenv("DEVEDA_BRIDGE_VIDS");
    EXPECT_EQ(station.Disks()[2].refusal, "");  // the stick now counts as a bridge
    EXPECT_EQ(linuxst::BridgeVendorIds(), (std::set<uint16_t>{0x2B9D}));
}

}  // namespace

namespace {

// Adds a bridge in PCIe-tunnel mode at 03:00.0: 2C7A:7953 with its chip ID at
// 0x788, and a 4 KiB BAR 0 whose bytes count up.
class LinuxStationPcieTest : public LinuxStationTest {
protected:
    void SetUp() override
    {
        LinuxStationTest::SetUp();
        fs::create_directories(Function());
        std::vector<uint8_t> space(4096, 0);
        const uint8_t header[] = {0x7A, 0x2C, 0x53, 0x79, 0, 0, 0, 0, 0, 0x00, 0x04, 0x06};
        std::copy(std::begin(header), std::end(header), space.begin());
        space[0x788] = 0x56;
        space[0x789] = 0x79;
        WriteFile(Function() / "config", space);
        for (size_t i = 0; i < space.size(); ++i) space[i] = static_cast<uint8_t>(i);
        WriteFile(Function() / "resource0", space);
        fs::create_directories(Root() / "sys/bus/pci/devices/slots");  // not a function
    }
    fs::path Function() const { return Root() / "sys/bus/pci/devices/0000:03:00.0"; }
    static void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes)
    {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static constexpr PcieLocation kBridge{0, 3, 0, 0};
};

TEST_F(LinuxStationPcieTest, FunctionsAreListedInOrderWithTheIdsOfTheirHeaders)
{
    LinuxStation station(Root().string(), Ioctl());
    const auto functions = station.PcieFunctions();
    ASSERT_EQ(functions.size(), 5u);
    EXPECT_EQ(functions[0].location, (PcieLocation{0, 0, 0x0D, 0}));
    EXPECT_EQ(functions[0].vendorId, 0x8086);
    EXPECT_EQ(functions[0].deviceId, 0x7EC0);
    EXPECT_EQ(functions[0].classCode, 0x0C0330u);
    EXPECT_EQ(functions[1].location, (PcieLocation{0, 0, 0x14, 0}));
    EXPECT_EQ(functions[3].location, (PcieLocation{0, 0, 0x1C, 0}));
    EXPECT_EQ(functions[4].location, kBridge);
    EXPECT_EQ(functions[4].vendorId, 0x2C7A);
    EXPECT_EQ(functions[4].deviceId, 0x7953);
    EXPECT_EQ(functions[4].classCode, 0x060400u);
}

TEST_F(LinuxStationPcieTest, ConfigSpaceIsTheConfigFile)
{
    LinuxStation station(Root().string(), Ioctl());
    const auto config = station.OpenPcieConfig(kBridge);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->Size(), 4096u);
    uint32_t value = 0;
    ASSERT_TRUE(config->Read(0, 4, value));
    EXPECT_EQ(value, 0x79532C7Au);
    ASSERT_TRUE(config->Read(0x788, 2, value));
    EXPECT_EQ(value, 0x7956u);
    EXPECT_FALSE(config->Read(4095, 2, value));  // past the space
    EXPECT_FALSE(config->Read(0, 3, value));
    ASSERT_TRUE(config->Write(0x790, 1, 0x5A));
    ASSERT_TRUE(config->Write(0x700, 4, 0xA1B2C3D4u));
    ASSERT_TRUE(config->Read(0x700, 4, value));
    EXPECT_EQ(value, 0xA1B2C3D4u);
    ASSERT_TRUE(config->Read(0x790, 1, value));
    EXPECT_EQ(value, 0x5Au);

    // A function that is not there reads all ones and takes writes without effect.
    const auto absent = station.OpenPcieConfig({0, 5, 0, 0});
    ASSERT_NE(absent, nullptr);
    ASSERT_TRUE(absent->Read(0, 4, value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    ASSERT_TRUE(absent->Read(0x788, 2, value));
    EXPECT_EQ(value, 0xFFFFu);
    EXPECT_TRUE(absent->Write(0, 4, 0));
    EXPECT_FALSE(fs::exists(Root() / "sys/bus/pci/devices/0000:05:00.0"));
}

TEST_F(LinuxStationPcieTest, BarIsTheMappedResourceFile)
{
    LinuxStation station(Root().string(), Ioctl());
    {
        const auto bar = station.MapPcieBar(kBridge, 0);
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->Size(), 4096u);
        uint32_t value = 0;
        ASSERT_TRUE(bar->Read(0x104, 4, value));
        EXPECT_EQ(value, 0x07060504u);
        ASSERT_TRUE(bar->Read(0x106, 2, value));
        EXPECT_EQ(value, 0x0706u);
        EXPECT_FALSE(bar->Read(0x106, 4, value));  // not aligned
        EXPECT_FALSE(bar->Read(4096, 1, value));
        ASSERT_TRUE(bar->Write(0x10, 4, 0xCAFEF00Du));
    }
    std::ifstream file(Function() / "resource0", std::ios::binary);
    std::vector<uint8_t> bytes(4096);
    file.read(reinterpret_cast<char*>(bytes.data()), 4096);
    EXPECT_EQ(bytes[0x10], 0x0D);
    EXPECT_EQ(bytes[0x13], 0xCA);
    EXPECT_EQ(bytes[0x14], 0x14);
    EXPECT_EQ(station.MapPcieBar(kBridge, 1), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(station.MapPcieBar(kBridge, 6), nullptr);
    EXPECT_EQ(station.MapPcieBar(kBridge, -1), nullptr);
    EXPECT_EQ(station.MapPcieBar({0, 5, 0, 0}, 0), nullptr);
}

TEST_F(LinuxStationPcieTest, WithoutPciTheStationReachesNoFunction)
{
    fs::remove_all(Root() / "sys/bus/pci");
    LinuxStation station(Root().string(), Ioctl());
    EXPECT_TRUE(station.PcieFunctions().empty());
    EXPECT_EQ(station.OpenPcieConfig(kBridge), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
