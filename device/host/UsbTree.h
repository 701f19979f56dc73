#pragma once
// The USB tree and the storage devices as the tool's discovery walks them: host
// controllers and hubs opened by path, hub ports with their connection
// information, driver keys and string descriptors, storage interfaces with
// their device numbers and properties. One mapping for every station, made of
// the station's USB nodes (IStation::UsbTree) and disks (IStation::Disks).
//
// Handles of this mapping are its own small objects, freed by its CloseHandle;
// a hub handle answers from the tree as it was when the hub was opened. The
// mapping keeps only the last tree and disk listing it read: a lookup by name
// (a driver key, a storage interface path) tries them before it reads again, so
// a walk reads the station once per hub and once per interface listing.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Station.h"
#include "util/ThreadAnnotations.h"

namespace device::host {

using platform::HANDLE;

struct UsbHostControllerInfo {
    std::string driverKeyName;
    std::string deviceDesc;
    std::string hardwareId;
    std::string rootHubName;  // its first root hub
    // Every root hub of the controller, by bus: an xHCI controller has a USB 2
    // and a USB 3 root hub, each with its own ports; rootHubNames[0] is rootHubName.
    std::vector<std::string> rootHubNames;
};

enum UsbConnectionStatus : uint8_t {
    NoDeviceConnected = 0,
    DeviceConnected = 1,
    DeviceFailedEnumeration = 2,
    DeviceGeneralFailure = 3,
    DeviceCausedOvercurrent = 4,
    DeviceNotEnoughPower = 5,
};

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);

struct UsbNodeConnection {
    UsbConnectionStatus ConnectionStatus = NoDeviceConnected;
    bool DeviceIsHub = false;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor{};
};

struct StorageInterfaceInfo {
    std::string devicePath;
    // Registry properties of the device, name and text ("SPDRP_FRIENDLYNAME", ...).
    std::vector<std::pair<std::string, std::string>> properties;
};

struct StorageDeviceProperty {
    uint8_t BusType = 0;
    std::string VendorId;  // empty when the device reports none
    std::string ProductId;
    std::string ProductRevision;
    std::string SerialNumber;
};

class UsbTree {
public:
    explicit UsbTree(platform::IStation& station) : m_Station(station) {}
    UsbTree(const UsbTree&) = delete;
    UsbTree& operator=(const UsbTree&) = delete;

    // Paths of the present host controllers, in the order of their first root
    // hub's bus number. Root hubs that name the same controller are one host
    // controller; a root hub that names none is a controller of its own.
    std::vector<std::string> EnumerateHostControllers();
    // Opens a host controller path, a hub path ("\\.\" + root hub name, "\\?\" +
    // external hub name) or a storage interface path. INVALID_HANDLE_VALUE with
    // ERROR_FILE_NOT_FOUND when nothing present has that path.
    HANDLE CreateFile(const std::string& path);
    bool CloseHandle(HANDLE handle);

    // Driver key, description and root hub name of an opened host controller.
    bool GetHostControllerInfo(HANDLE controller, UsbHostControllerInfo& info);
    // Number of downstream ports of an opened hub.
    bool GetHubPortCount(HANDLE hub, uint8_t& numberOfPorts);
    // What is on `port` (1..ports) of an opened hub: an empty port is a success
    // with NoDeviceConnected; a port outside the hub fails.
    bool GetNodeConnectionInformation(HANDLE hub, uint32_t port, UsbNodeConnection& connection);
    bool GetNodeConnectionDriverKeyName(HANDLE hub, uint32_t port, std::string& driverKeyName);
    // Name of the external hub on a port.
    bool GetNodeConnectionName(HANDLE hub, uint32_t port, std::string& hubName);
    // String descriptor `index` of the device on a port in `languageId`; index 0
    // gives the supported language IDs as the characters of `text`.
    bool GetStringDescriptor(HANDLE hub, uint32_t port, uint8_t index, uint16_t languageId, std::u16string& text);
    // Description and hardware ID of the present device with this driver key.
    bool GetDeviceNodeByDriverKey(const std::string& driverKeyName, std::string& deviceDesc, std::string& hardwareId);

    // Present device interfaces of the disk (7) or CD-ROM (2) class.
    std::vector<StorageInterfaceInfo> EnumerateStorageInterfaces(uint32_t deviceType);
    // Storage device number of an opened storage interface; any other handle
    // (a disk, CD-ROM or volume) is the station's to answer.
    bool GetStorageDeviceNumber(HANDLE device, platform::StorageDeviceNumber& number);
    // Bus type and identity of the device of an opened storage interface.
    bool GetStorageDeviceProperty(HANDLE device, StorageDeviceProperty& property);
    // Number of disks the system knows now, the system disk included.
    uint32_t GetDiskCount();

    // Handles of this mapping open now, in the whole process.
    static size_t OpenHandleCount();

private:
    using Tree = std::shared_ptr<const std::vector<platform::UsbNode>>;
    using DiskList = std::shared_ptr<const std::vector<platform::DiskDevice>>;
    // Reads the station again and keeps what it read as the last listing.
    Tree ReadTree() EXCLUDES(m_Lock);
    DiskList ReadDisks() EXCLUDES(m_Lock);
    Tree LastTree() EXCLUDES(m_Lock);
    DiskList LastDisks() EXCLUDES(m_Lock);

    platform::IStation& m_Station;
    util::Mutex m_Lock;
    Tree m_LastTree GUARDED_BY(m_Lock);
    DiskList m_LastDisks GUARDED_BY(m_Lock);
};

}  // namespace device::host
