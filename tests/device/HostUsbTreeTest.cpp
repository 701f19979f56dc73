// The host side's USB walk over hand-made node and disk lists: host controllers
// by bus, hub chains, empty and missing ports, string descriptors and their
// languages, storage interfaces with shared or missing serials, handles. Then
// the same walk over a recorded Linux tree, and discovery on an emulated station
// whose devices offer other languages; discovery over a recorded dummy_hcd tree
// of 16 controllers with two root hubs each, and past the 20th controller.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "StationFixture.h"
#include "device/host/UsbNames.h"
#include "device/host/UsbTree.h"
#include "platform/linux/LinuxStation.h"

namespace {

using device::host::UsbTree;
using platform::DiskDevice;
using platform::HANDLE;
using platform::INVALID_HANDLE_VALUE;
using platform::UsbNode;

UsbNode RootHub(int bus, int ports, uint16_t bcdUSB = 0x0300)
{
    UsbNode node;
    node.name = "usb" + std::to_string(bus);
    node.bus = bus;
    node.isHub = true;
    node.portCount = ports;
    node.bcdUSB = bcdUSB;
    node.product = "xHCI Host Controller";
    node.controller = "0000:00:1" + std::to_string(bus) + ".0";
    return node;
}

UsbNode Device(const UsbNode& parent, int port)
{
    UsbNode node;
    node.name = (parent.parent.empty() ? std::to_string(parent.bus) + "-" : parent.name + ".") + std::to_string(port);
    node.bus = parent.bus;
    node.parent = parent.name;
    node.port = port;
    node.bcdUSB = 0x0320;
    node.idVendor = 0x2B9D;
    node.idProduct = 0x7951;
    node.bcdDevice = 0x0100;
    node.languages = {0x0409};
    node.speedMbps = 10000;
    node.driver = "uas";
    return node;
}

UsbNode Hub(const UsbNode& parent, int port, int ports)
{
    UsbNode node = Device(parent, port);
    node.isHub = true;
    node.portCount = ports;
    node.deviceClass = 0x09;
    node.idVendor = 0x2109;
    node.idProduct = 0x0817;
    node.driver = "hub";
    return node;
}

UsbNode WithStrings(UsbNode node, const std::string& serial)
{
    node.manufacturer = "BRVT";
    node.product = "USB4 NVMe";
    node.serial = serial;
    node.iManufacturer = 1;
    node.iProduct = 2;
    node.iSerialNumber = 3;
    return node;
}

DiskDevice Disk(uint32_t number, uint8_t bus, const std::string& serial, bool cdrom = false)
{
    DiskDevice disk;
    disk.diskNumber = number;
    disk.busType = bus;
    disk.vendor = bus == platform::BusTypeUsb ? "USB4" : "ATA";
    disk.product = bus == platform::BusTypeUsb ? "NVMe Bridge" : "SATA Disk";
    disk.revision = "0001";
    disk.serial = serial;
    disk.cdrom = cdrom;
    return disk;
}

// The emulated station with its USB tree and disks replaced by hand-made lists,
// or its own tree passed through a change.
class HandMadeStation : public testsupport::CountingStation {
public:
    using CountingStation::CountingStation;
    std::vector<UsbNode> UsbTree() override
    {
        ++treeReads;
        if (change) {
            auto tree = CountingStation::UsbTree();
            for (UsbNode& node : tree) change(node);
            return tree;
        }
        return nodes;
    }
    std::vector<DiskDevice> Disks() override
    {
        ++diskReads;
        return disks.empty() ? CountingStation::Disks() : disks;
    }

    std::vector<UsbNode> nodes;
    std::vector<DiskDevice> disks;
    std::function<void(UsbNode&)> change;
    int treeReads = 0;
    int diskReads = 0;
};

class HostUsbTree : public testsupport::EmulatedStationTest {
protected:
    HostUsbTree() : m_HandMade(m_Emu), m_Usb(m_HandMade) {}
    ~HostUsbTree() override { EXPECT_EQ(UsbTree::OpenHandleCount(), 0u); }

    HANDLE Open(const std::string& path)
    {
        const HANDLE handle = m_Usb.CreateFile(path);
        if (handle != INVALID_HANDLE_VALUE) m_Open.push_back(handle);
        return handle;
    }
    void TearDown() override
    {
        for (HANDLE handle : m_Open) EXPECT_TRUE(m_Usb.CloseHandle(handle));
    }
    // Opens the hub on `port` of an opened hub.
    HANDLE OpenExternalHub(HANDLE hub, uint32_t port)
    {
        std::string name;
        EXPECT_TRUE(m_Usb.GetNodeConnectionName(hub, port, name));
        return Open("\\\\?\\" + name);
    }

    HandMadeStation m_HandMade;
    UsbTree m_Usb;
    std::vector<HANDLE> m_Open;
};

TEST_F(HostUsbTree, HostControllersFollowTheRootHubsByBus)
{
    const UsbNode usb2 = RootHub(2, 4, 0x0200);
    m_HandMade.nodes = {RootHub(3, 2), usb2, Device(usb2, 1)};
    const auto controllers = m_Usb.EnumerateHostControllers();
    ASSERT_EQ(controllers.size(), 2u);
    EXPECT_EQ(controllers[0], "\\\\?\\pci#0000:00:12.0#usb2#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");

    const HANDLE controller = Open(controllers[0]);
    ASSERT_NE(controller, INVALID_HANDLE_VALUE);
    device::host::UsbHostControllerInfo info;
    ASSERT_TRUE(m_Usb.GetHostControllerInfo(controller, info));
    EXPECT_EQ(info.rootHubName, "USB#ROOT_HUB20#usb2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    EXPECT_EQ(info.hardwareId, "PCI\\0000:00:12.0");
    EXPECT_EQ(info.deviceDesc, "xHCI Host Controller");
    EXPECT_EQ(info.driverKeyName, "{36FC9E60-C465-11CF-8056-444553540000}\\0000:00:12.0");

    // A controller is no hub, and a root hub opens only under its own name.
    uint8_t ports = 0;
    EXPECT_FALSE(m_Usb.GetHubPortCount(controller, ports));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(Open("\\\\.\\USB#ROOT_HUB30#usb2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("\\\\?\\pci#0000:00:12.0#1-1#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"), INVALID_HANDLE_VALUE);
    const HANDLE root = Open("\\\\.\\" + info.rootHubName);
    ASSERT_NE(root, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(m_Usb.GetHubPortCount(root, ports));
    EXPECT_EQ(ports, 4);
}

TEST_F(HostUsbTree, HubChainIsWalkedPortByPort)
{
    const UsbNode root = RootHub(1, 4);
    const UsbNode first = Hub(root, 2, 4);
    const UsbNode second = Hub(first, 1, 2);
    const UsbNode bridge = WithStrings(Device(second, 2), "DV0001");
    m_HandMade.nodes = {root, first, second, bridge};

    const HANDLE rootHub = Open("\\\\.\\" + device::host::RootHubName(root));
    ASSERT_NE(rootHub, INVALID_HANDLE_VALUE);
    device::host::UsbNodeConnection connection;
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(rootHub, 1, connection));  // an empty port
    EXPECT_EQ(connection.ConnectionStatus, device::host::NoDeviceConnected);
    EXPECT_FALSE(m_Usb.GetNodeConnectionInformation(rootHub, 5, connection));  // no such port
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(m_Usb.GetNodeConnectionInformation(rootHub, 0, connection));
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(rootHub, 2, connection));
    EXPECT_EQ(connection.ConnectionStatus, device::host::DeviceConnected);
    EXPECT_TRUE(connection.DeviceIsHub);

    const HANDLE hub1 = OpenExternalHub(rootHub, 2);
    ASSERT_NE(hub1, INVALID_HANDLE_VALUE);
    std::string name;
    ASSERT_TRUE(m_Usb.GetNodeConnectionName(rootHub, 2, name));
    EXPECT_EQ(name, "USB#VID_2109&PID_0817#1-2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    const HANDLE hub2 = OpenExternalHub(hub1, 1);
    ASSERT_NE(hub2, INVALID_HANDLE_VALUE);
    uint8_t ports = 0;
    ASSERT_TRUE(m_Usb.GetHubPortCount(hub2, ports));
    EXPECT_EQ(ports, 2);
    EXPECT_FALSE(m_Usb.GetNodeConnectionName(hub2, 2, name));  // a device, not a hub
    EXPECT_FALSE(m_Usb.GetNodeConnectionName(hub2, 1, name));  // nothing there

    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(hub2, 2, connection));
    EXPECT_FALSE(connection.DeviceIsHub);
    const auto& d = connection.DeviceDescriptor;
    EXPECT_EQ(d.bLength, 18);
    EXPECT_EQ(d.bDescriptorType, 1);
    EXPECT_EQ(d.bcdUSB, 0x0320);
    EXPECT_EQ(d.idVendor, 0x2B9D);
    EXPECT_EQ(d.idProduct, 0x7951);
    EXPECT_EQ(d.bcdDevice, 0x0100);
    EXPECT_EQ(d.iSerialNumber, 3);
    std::string driverKey, desc, hardwareId;
    ASSERT_TRUE(m_Usb.GetNodeConnectionDriverKeyName(hub2, 2, driverKey));
    EXPECT_EQ(driverKey, "{36FC9E60-C465-11CF-8056-444553540000}\\1-2.1.2");
    ASSERT_TRUE(m_Usb.GetDeviceNodeByDriverKey(driverKey, desc, hardwareId));
    EXPECT_EQ(desc, "USB Attached SCSI (UAS) Mass Storage Device");
    EXPECT_EQ(hardwareId, "USB\\VID_2B9D&PID_7951&REV_0100");
    EXPECT_FALSE(m_Usb.GetDeviceNodeByDriverKey("{36FC9E60-C465-11CF-8056-444553540000}\\1-3", desc, hardwareId));
    // A device that arrived after the last read is found by reading again.
    m_HandMade.nodes.push_back(Device(root, 3));
    ASSERT_TRUE(m_Usb.GetDeviceNodeByDriverKey("{36FC9E60-C465-11CF-8056-444553540000}\\1-3", desc, hardwareId));
    EXPECT_FALSE(m_Usb.GetDeviceNodeByDriverKey("", desc, hardwareId));
}

TEST_F(HostUsbTree, AnOpenHubAnswersFromTheTreeItWasOpenedIn)
{
    const UsbNode root = RootHub(1, 2);
    m_HandMade.nodes = {root, Device(root, 1)};
    const HANDLE before = Open("\\\\.\\" + device::host::RootHubName(root));
    m_HandMade.nodes = {root};  // the device is pulled
    const HANDLE after = Open("\\\\.\\" + device::host::RootHubName(root));
    device::host::UsbNodeConnection connection;
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(before, 1, connection));
    EXPECT_EQ(connection.ConnectionStatus, device::host::DeviceConnected);
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(after, 1, connection));
    EXPECT_EQ(connection.ConnectionStatus, device::host::NoDeviceConnected);
    EXPECT_EQ(m_HandMade.treeReads, 2);  // one read per open, none per port
}

TEST_F(HostUsbTree, MissingStringsAreFailedReads)
{
    const UsbNode root = RootHub(1, 3);
    UsbNode noSerial = WithStrings(Device(root, 1), "");
    noSerial.iSerialNumber = 0;
    UsbNode emptyProduct = WithStrings(Device(root, 2), "DV0002");
    emptyProduct.product.clear();  // an index whose string cannot be read
    m_HandMade.nodes = {root, noSerial, emptyProduct};
    const HANDLE hub = Open("\\\\.\\" + device::host::RootHubName(root));
    std::u16string text;
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 1, 1, 0x0409, text));
    EXPECT_EQ(text, u"BRVT");
    EXPECT_FALSE(m_Usb.GetStringDescriptor(hub, 1, 3, 0x0409, text));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(m_Usb.GetStringDescriptor(hub, 2, 2, 0x0409, text));
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 2, 3, 0x0409, text));
    EXPECT_EQ(text, u"DV0002");
    EXPECT_FALSE(m_Usb.GetStringDescriptor(hub, 3, 0, 0, text));  // an empty port has no strings
}

TEST_F(HostUsbTree, StringsAreKeptInTheFirstLanguageOffered)
{
    const UsbNode root = RootHub(1, 2);
    UsbNode german = WithStrings(Device(root, 1), "DV0001");
    german.languages = {0x0407, 0x0409};
    UsbNode none = WithStrings(Device(root, 2), "DV0002");
    none.languages.clear();
    m_HandMade.nodes = {root, german, none};
    const HANDLE hub = Open("\\\\.\\" + device::host::RootHubName(root));
    std::u16string text;
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 1, 0, 0, text));
    EXPECT_EQ(text, (std::u16string{0x0407, 0x0409}));
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 1, 3, 0x0407, text));
    EXPECT_EQ(text, u"DV0001");
    EXPECT_FALSE(m_Usb.GetStringDescriptor(hub, 1, 3, 0x0409, text));
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 2, 0, 0, text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(m_Usb.GetStringDescriptor(hub, 2, 3, 0, text));
}

TEST_F(HostUsbTree, StorageInterfacesCarryTheSerialUnlessItIsSharedOrMissing)
{
    m_HandMade.disks = {Disk(0, platform::BusTypeSata, "SYS1"), Disk(1, platform::BusTypeUsb, "DV0001"),
                        Disk(2, platform::BusTypeUsb, "SAME"), Disk(3, platform::BusTypeUsb, "SAME"),
                        Disk(4, platform::BusTypeUsb, ""), Disk(0, platform::BusTypeUsb, "DV0009", true)};
    const auto interfaces = m_Usb.EnumerateStorageInterfaces(platform::FILE_DEVICE_DISK);
    ASSERT_EQ(interfaces.size(), 5u);
    EXPECT_EQ(interfaces[0].devicePath,
              "\\\\?\\scsi#disk&ven_ATA&prod_SATA_Disk#4&0&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(interfaces[1].devicePath,
              "\\\\?\\usbstor#disk&ven_USB4&prod_NVMe_Bridge&rev_0001#DV0001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(interfaces[2].devicePath.find("SAME"), std::string::npos);
    EXPECT_NE(interfaces[2].devicePath.find("#7&2b3c0002&0#"), std::string::npos);
    EXPECT_NE(interfaces[3].devicePath, interfaces[2].devicePath);
    EXPECT_NE(interfaces[4].devicePath.find("#7&2b3c0004&0#"), std::string::npos);
    EXPECT_EQ(interfaces[1].properties[0], (std::pair<std::string, std::string>{"SPDRP_FRIENDLYNAME",
                                                                                "USB4 NVMe Bridge USB Device"}));
    const int reads = m_HandMade.diskReads;
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const HANDLE handle = Open(interfaces[i].devicePath);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << i;
        platform::StorageDeviceNumber number;
        device::host::StorageDeviceProperty property;
        ASSERT_TRUE(m_Usb.GetStorageDeviceNumber(handle, number));
        ASSERT_TRUE(m_Usb.GetStorageDeviceProperty(handle, property));
        EXPECT_EQ(number.DeviceType, platform::FILE_DEVICE_DISK);
        EXPECT_EQ(number.DeviceNumber, i);
        EXPECT_EQ(number.PartitionNumber, 0u);
        EXPECT_EQ(property.SerialNumber, m_HandMade.disks[i].serial);
        EXPECT_EQ(property.BusType, m_HandMade.disks[i].busType);
    }
    EXPECT_EQ(m_HandMade.diskReads, reads);  // the interfaces open from the listing just read
    const auto cdroms = m_Usb.EnumerateStorageInterfaces(platform::FILE_DEVICE_CD_ROM);
    ASSERT_EQ(cdroms.size(), 1u);
    EXPECT_EQ(cdroms[0].devicePath.rfind("\\\\?\\usbstor#cdrom&", 0), 0u);
    platform::StorageDeviceNumber number;
    ASSERT_TRUE(m_Usb.GetStorageDeviceNumber(Open(cdroms[0].devicePath), number));
    EXPECT_EQ(number.DeviceType, platform::FILE_DEVICE_CD_ROM);
    EXPECT_EQ(number.PartitionNumber, 0xFFFFFFFFu);
    EXPECT_TRUE(m_Usb.EnumerateStorageInterfaces(3).empty());
    EXPECT_EQ(m_Usb.GetDiskCount(), 5u);  // CD-ROMs are no disks

    // Once a listing without it is read, a gone device's interface no longer opens.
    m_HandMade.disks.erase(m_HandMade.disks.begin() + 1);
    EXPECT_EQ(m_Usb.EnumerateStorageInterfaces(platform::FILE_DEVICE_DISK).size(), 4u);
    EXPECT_EQ(Open(interfaces[1].devicePath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(HostUsbTree, HandlesAreCheckedAndOtherHandlesGoToTheStation)
{
    const UsbNode root = RootHub(1, 1);
    m_HandMade.nodes = {root};
    m_HandMade.disks = {Disk(1, platform::BusTypeUsb, "DV0001")};
    const HANDLE hub = Open("\\\\.\\" + device::host::RootHubName(root));
    const HANDLE storage = Open(device::host::StorageInterfacePaths(m_HandMade.disks)[0]);
    device::host::StorageDeviceProperty property;
    EXPECT_FALSE(m_Usb.GetStorageDeviceProperty(hub, property));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_FUNCTION);
    device::host::UsbHostControllerInfo info;
    EXPECT_FALSE(m_Usb.GetHostControllerInfo(storage, info));
    platform::StorageDeviceNumber number;
    EXPECT_FALSE(m_Usb.GetStorageDeviceNumber(hub, number));
    uint8_t ports = 0;
    int unknown = 0;
    EXPECT_FALSE(m_Usb.GetHubPortCount(&unknown, ports));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_HANDLE);
    EXPECT_FALSE(m_Usb.CloseHandle(&unknown));
    EXPECT_EQ(UsbTree::OpenHandleCount(), 2u);

    // A disk handle of the station answers with the station's disk number.
    const HANDLE disk = OpenDisk(2);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(m_Usb.GetStorageDeviceNumber(disk, number));
    EXPECT_EQ(number.DeviceNumber, 2u);
    m_Station.CloseHandle(disk);
}

TEST(HostUsbNames, NamesLeadBackToTheirNodeAndMalformedOnesToNone)
{
    const UsbNode root = RootHub(1, 4);
    const UsbNode hub = Hub(root, 3, 4);
    EXPECT_EQ(device::host::NodeNameOfPath(device::host::HostControllerPath(root)), "usb1");
    EXPECT_EQ(device::host::NodeNameOfPath(device::host::HubPath(root)), "usb1");
    EXPECT_EQ(device::host::NodeNameOfPath(device::host::HubPath(hub)), "1-3");
    EXPECT_EQ(device::host::NodeNameOfDriverKey(device::host::DriverKeyName(hub)), "1-3");
    for (const char* path : {"", "\\\\.\\", "\\\\.\\USB#ROOT_HUB30#usb1", "USB#ROOT_HUB30#usb1#{x}", "\\\\?\\#"})
        EXPECT_EQ(device::host::NodeNameOfPath(path), "") << path;
    EXPECT_EQ(device::host::NodeNameOfDriverKey("no key"), "");
    EXPECT_EQ(device::host::DeviceDescription(hub), "Generic SuperSpeed USB Hub");
    UsbNode slowHub = hub;
    slowHub.speedMbps = 480;
    EXPECT_EQ(device::host::DeviceDescription(slowHub), "Generic USB Hub");
    UsbNode stick = Device(root, 1);
    stick.driver = "usb-storage";
    EXPECT_EQ(device::host::DeviceDescription(stick), "USB Mass Storage Device");
    stick.driver = "";
    EXPECT_EQ(device::host::DeviceDescription(stick), "USB Composite Device");
}

TEST_F(HostUsbTree, PathsOfNothingPresentDoNotOpen)
{
    const UsbNode root = RootHub(1, 2);
    m_HandMade.nodes = {root, Device(root, 1)};
    m_HandMade.disks = {Disk(1, platform::BusTypeUsb, "DV0001")};
    for (const std::string& path :
         {std::string(), std::string("\\\\.\\PHYSICALDRIVE1"), "\\\\?\\" + device::host::ExternalHubName(Device(root, 1)),
          std::string("\\\\?\\usbstor#disk&ven_X#Y&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"),
          std::string("\\\\.\\USB#ROOT_HUB30#usb9#{f18a0e88-c30c-11d0-8815-00a0c906bed8}")}) {
        EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND) << path;
    }
}

// Discovery on the emulated station with the devices' languages changed.
class LanguageDiscovery : public HostUsbTree {
protected:
    DeviceList m_List;
};

TEST_F(LanguageDiscovery, BridgesAreReadInTheirFirstLanguage)
{
    // The strings answer in the first language only: a walk in 0x0409 would find no serial.
    m_HandMade.change = [](UsbNode& node) { node.languages = {0x0407, 0x0409}; };
    CBrvtUSBDev dev(m_HandMade);
    ASSERT_EQ(dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 4u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(m_List.Devs[i].m_strSerialNumber, Bridge(i + 1).Identity().serial);
}

TEST_F(LanguageDiscovery, ABridgeWithoutLanguagesIsNoBridge)
{
    m_HandMade.change = [](UsbNode& node) {
        if (node.name == "1-2") node.languages.clear();
    };
    CBrvtUSBDev dev(m_HandMade);
    ASSERT_EQ(dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 3u);
    for (uint32_t i = 0; i < m_List.DevNums; ++i) EXPECT_NE(m_List.Devs[i].m_iPortLocation, 2);
}

// The walk over a recorded Linux tree (tests/platform/fixtures/station-tree).
class LinuxTreeWalk : public ::testing::Test {
protected:
    LinuxTreeWalk()
        : m_Station(std::string(PLATFORM_FIXTURES) + "/station-tree", [](int, unsigned long, void*) { return -1; }),
          m_Usb(m_Station)
    {
    }
    HANDLE Open(const std::string& path)
    {
        const HANDLE handle = m_Usb.CreateFile(path);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
        m_Open.push_back(handle);
        return handle;
    }
    ~LinuxTreeWalk() override
    {
        for (HANDLE handle : m_Open) m_Usb.CloseHandle(handle);
        EXPECT_EQ(UsbTree::OpenHandleCount(), 0u);
    }
    platform::linuxst::LinuxStation m_Station;
    UsbTree m_Usb;
    std::vector<HANDLE> m_Open;
};

TEST_F(LinuxTreeWalk, HubWalkSeesControllersHubsPortsAndStrings)
{
    const auto controllers = m_Usb.EnumerateHostControllers();
    // Two controllers, each with a USB 2 and a USB 3 root hub.
    ASSERT_EQ(controllers.size(), 2u);
    const HANDLE controller = Open(controllers[0]);
    device::host::UsbHostControllerInfo info;
    ASSERT_TRUE(m_Usb.GetHostControllerInfo(controller, info));
    EXPECT_EQ(info.rootHubName, "USB#ROOT_HUB20#usb1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    ASSERT_EQ(info.rootHubNames.size(), 2u);
    EXPECT_EQ(info.rootHubNames[1], "USB#ROOT_HUB30#usb2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    EXPECT_EQ(info.hardwareId, "PCI\\0000:00:14.0");

    const HANDLE root = Open("\\\\.\\" + info.rootHubNames[1]);
    uint8_t ports = 0;
    ASSERT_TRUE(m_Usb.GetHubPortCount(root, ports));
    EXPECT_EQ(ports, 4);
    device::host::UsbNodeConnection connection;
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(root, 1, connection));
    EXPECT_EQ(connection.ConnectionStatus, device::host::DeviceConnected);
    EXPECT_FALSE(connection.DeviceIsHub);
    EXPECT_EQ(connection.DeviceDescriptor.idVendor, 0x2B9D);
    EXPECT_EQ(connection.DeviceDescriptor.idProduct, 0x7951);
    EXPECT_EQ(connection.DeviceDescriptor.bcdUSB, 0x0320);
    EXPECT_EQ(connection.DeviceDescriptor.iSerialNumber, 3);
    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(root, 4, connection));
    EXPECT_EQ(connection.ConnectionStatus, device::host::NoDeviceConnected);

    ASSERT_TRUE(m_Usb.GetNodeConnectionInformation(root, 2, connection));
    EXPECT_TRUE(connection.DeviceIsHub);
    std::string hubName;
    ASSERT_TRUE(m_Usb.GetNodeConnectionName(root, 2, hubName));
    const HANDLE hub = Open("\\\\?\\" + hubName);
    std::u16string text;
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 3, 0, 0, text));
    EXPECT_EQ(text, std::u16string(1, u'\x0409'));
    ASSERT_TRUE(m_Usb.GetStringDescriptor(hub, 3, 3, 0x0409, text));
    EXPECT_EQ(text, u"DV240600000000000002");
    std::string driverKey, desc, hardwareId;
    ASSERT_TRUE(m_Usb.GetNodeConnectionDriverKeyName(hub, 3, driverKey));
    ASSERT_TRUE(m_Usb.GetDeviceNodeByDriverKey(driverKey, desc, hardwareId));
    EXPECT_EQ(hardwareId, "USB\\VID_2B9D&PID_7951&REV_0100");
    EXPECT_EQ(desc, "USB Mass Storage Device");
}

TEST_F(LinuxTreeWalk, StorageInterfacesLeadToTheDiskNumberAndItsUsbSerial)
{
    const auto interfaces = m_Usb.EnumerateStorageInterfaces(platform::FILE_DEVICE_DISK);
    ASSERT_EQ(interfaces.size(), 5u);
    EXPECT_TRUE(m_Usb.EnumerateStorageInterfaces(platform::FILE_DEVICE_CD_ROM).empty());
    const HANDLE h = Open(interfaces[3].devicePath);
    platform::StorageDeviceNumber number;
    device::host::StorageDeviceProperty property;
    ASSERT_TRUE(m_Usb.GetStorageDeviceNumber(h, number));
    ASSERT_TRUE(m_Usb.GetStorageDeviceProperty(h, property));
    EXPECT_EQ(number.DeviceNumber, 3u);
    EXPECT_EQ(property.BusType, platform::BusTypeUsb);
    EXPECT_EQ(property.SerialNumber, "DV240600000000000002");
    EXPECT_EQ(m_Usb.GetDiskCount(), 5u);
}

}  // namespace

namespace {

// Discovery over a recorded dummy_hcd tree (16 controllers loaded with
// is_super_speed=1, a USB 2 and a USB 3 root hub each, a bridge on every USB 3
// root hub); each disk's SG_IO is answered by an emulated bridge.
class DummyHcdDiscovery : public ::testing::Test {
protected:
    DummyHcdDiscovery()
        : m_Station(std::string(PLATFORM_FIXTURES) + "/dummy-hcd-tree",
                    [this](int fd, unsigned long request, void* argument) { return Ioctl(fd, request, argument); }),
          m_Dev(m_Station)
    {
        for (int i = 0; i < 16; ++i) {
            emu::BridgeSetup setup;
            setup.diskNumber = i + 1;
            setup.serial = "DV2406" + std::string(13 - (i + 1 >= 10), '0') + std::to_string(i + 1);
            const auto folder = m_Folder.Path() / ("bridge" + std::to_string(i + 1));
            EXPECT_TRUE(emu::Bridge::Create(folder, setup));
            m_Bridges.emplace_back(folder);
        }
    }
    // SG_IO on /dev/sdX or /dev/sgN goes to bridge X - 'a' or N; other requests succeed.
    int Ioctl(int fd, unsigned long request, void* argument)
    {
        if (request != SG_IO) return 0;
        char target[512] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) return -1;
        const std::string node = std::filesystem::path(target).filename().string();
        int index = -1;
        if (node.size() == 3 && node.rfind("sd", 0) == 0) index = node[2] - 'b';
        else if (node.rfind("sg", 0) == 0) index = std::atoi(node.c_str() + 2) - 1;
        if (index < 0 || index >= static_cast<int>(m_Bridges.size())) return -1;
        auto& header = *static_cast<sg_io_hdr_t*>(argument);
        emu::ScsiExchange exchange;
        exchange.cdbLength = std::min<uint8_t>(header.cmd_len, 16);
        std::copy(header.cmdp, header.cmdp + exchange.cdbLength, exchange.cdb.begin());
        exchange.dataIn = header.dxfer_direction == SG_DXFER_FROM_DEV;
        exchange.data = static_cast<uint8_t*>(header.dxferp);
        exchange.dataLength = header.dxfer_len;
        m_Bridges[static_cast<size_t>(index)].Execute(exchange);
        if (exchange.callFailed || exchange.noAnswer) return -1;
        header.status = exchange.status;
        header.masked_status = exchange.status >> 1;
        header.sb_len_wr = std::min<uint8_t>(exchange.senseLength, header.mx_sb_len);
        if (header.sbp) std::memcpy(header.sbp, exchange.sense.data(), header.sb_len_wr);
        header.resid = static_cast<int>(header.dxfer_len - exchange.transferred);
        header.host_status = 0;
        header.driver_status = exchange.status ? 0x08 : 0;
        return 0;
    }
    testsupport::TempFolder m_Folder;
    std::vector<emu::Bridge> m_Bridges;
    platform::linuxst::LinuxStation m_Station;
    CBrvtUSBDev m_Dev;
    DeviceList m_List;
};

TEST_F(DummyHcdDiscovery, SixteenControllersWithTwoRootHubsEachAreSixteenControllers)
{
    device::host::UsbTree usb(m_Station);
    const auto controllers = usb.EnumerateHostControllers();
    ASSERT_EQ(controllers.size(), 16u);
    const HANDLE controller = usb.CreateFile(controllers[15]);
    ASSERT_NE(controller, INVALID_HANDLE_VALUE);
    device::host::UsbHostControllerInfo info;
    ASSERT_TRUE(usb.GetHostControllerInfo(controller, info));
    EXPECT_EQ(info.hardwareId, "PCI\\dummy_hcd.15");
    ASSERT_EQ(info.rootHubNames.size(), 2u);
    EXPECT_EQ(info.rootHubNames[0], "USB#ROOT_HUB20#usb31#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    EXPECT_EQ(info.rootHubNames[1], "USB#ROOT_HUB30#usb32#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    EXPECT_EQ(info.rootHubName, info.rootHubNames[0]);
    EXPECT_TRUE(usb.CloseHandle(controller));
    // A controller's second root hub opens as a hub, never as another controller.
    EXPECT_EQ(usb.CreateFile("\\\\?\\pci#dummy_hcd.15#usb32#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"),
              INVALID_HANDLE_VALUE);
}

TEST_F(DummyHcdDiscovery, EveryBridgeOnTheUsb3RootHubsIsFound)
{
    ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
    ASSERT_EQ(m_List.DevNums, 16u);
    for (int i = 0; i < 16; ++i) {
        const DeviceInfo& r = m_List.Devs[i];
        EXPECT_EQ(r.m_strIdentifyFailure, "") << i;
        EXPECT_EQ(r.m_strSerialNumber, m_Bridges[static_cast<size_t>(i)].Identity().serial) << i;
        EXPECT_EQ(r.m_ucPhysicalAddress, i + 1) << i;
        EXPECT_EQ(r.m_strFWVersion, m_Bridges[static_cast<size_t>(i)].ImageVersion(0)) << i;
        EXPECT_EQ(r.m_iPortLocation, 1 + 1000 * i) << i;  // port 1 of controller i
        EXPECT_EQ(r.m_ulPortCount, 1) << i;
        EXPECT_EQ(r.m_strHubName,
                  "\\\\.\\USB#ROOT_HUB30#usb" + std::to_string(2 * i + 2) + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    }
    EXPECT_EQ(UsbTree::OpenHandleCount(), 0u);
}

// Host controllers beyond the 20 the walk opens: a bridge there is listed with
// the reason, never left out without a word.
TEST_F(HostUsbTree, ABridgeOnAControllerBeyondTheTwentiethIsListedWithTheReason)
{
    for (int bus = 1; bus <= 22; ++bus) m_HandMade.nodes.push_back(RootHub(bus, 2));
    for (UsbNode& root : m_HandMade.nodes) root.controller = "0000:01:" + std::to_string(root.bus) + ".0";
    m_HandMade.nodes.push_back(WithStrings(Device(m_HandMade.nodes[21], 2), "DV240600000000000099"));
    CBrvtUSBDev dev(m_HandMade);
    DeviceList list;
    dev.Open(list, "0", 2);
    ASSERT_EQ(list.DevNums, 1u);
    EXPECT_EQ(list.Devs[0].m_strSerialNumber, "DV240600000000000099");
    EXPECT_EQ(list.Devs[0].m_strIdentifyFailure, "Host controller 21 is beyond the 20 the walk opens");
    EXPECT_EQ(list.Devs[0].m_iPortLocation, 2 + 21 * 1000);
}

}  // namespace
