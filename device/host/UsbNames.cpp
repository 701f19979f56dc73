#include "device/host/UsbNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace device::host {

namespace {
constexpr const char* kHostControllerGuid = "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
constexpr const char* kHubGuid = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kDiskGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kCdromGuid = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr int kSuperSpeedMbps = 5000;

// A field of an instance path: blanks and separators made '_'.
std::string PathField(const std::string& text)
{
    std::string field;
    for (const char c : text)
        field += std::isspace(static_cast<unsigned char>(c)) || c == '#' || c == '\\' || c == '&' ? '_' : c;
    return field;
}

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}
}  // namespace

std::string HostControllerPath(const platform::UsbNode& rootHub)
{
    return "\\\\?\\pci#" + (rootHub.controller.empty() ? std::string("usb") : rootHub.controller) + "#" +
           rootHub.name + "#" + kHostControllerGuid;
}

std::string RootHubName(const platform::UsbNode& rootHub)
{
    return std::string("USB#") + (rootHub.bcdUSB >= 0x0300 ? "ROOT_HUB30" : "ROOT_HUB20") + "#" + rootHub.name + "#" +
           kHubGuid;
}

std::string ExternalHubName(const platform::UsbNode& hub)
{
    return "USB#VID_" + Hex4(hub.idVendor) + "&PID_" + Hex4(hub.idProduct) + "#" + hub.name + "#" + kHubGuid;
}

std::string HubPath(const platform::UsbNode& hub)
{
    return hub.parent.empty() ? "\\\\.\\" + RootHubName(hub) : "\\\\?\\" + ExternalHubName(hub);
}

std::string DriverKeyName(const platform::UsbNode& node) { return std::string(kUsbClassGuid) + "\\" + node.name; }

std::string ControllerDriverKeyName(const platform::UsbNode& rootHub)
{
    return std::string(kUsbClassGuid) + "\\" + (rootHub.controller.empty() ? rootHub.name : rootHub.controller);
}

std::string NodeNameOfPath(const std::string& path)
{
    if (path.rfind("\\\\.\\", 0) != 0 && path.rfind("\\\\?\\", 0) != 0) return "";
    const size_t first = path.find('#', 4);
    const size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    const size_t third = second == std::string::npos ? second : path.find('#', second + 1);
    if (third == std::string::npos) return "";
    return path.substr(second + 1, third - second - 1);
}

std::string NodeNameOfDriverKey(const std::string& driverKeyName)
{
    const size_t slash = driverKeyName.rfind('\\');
    return slash == std::string::npos ? "" : driverKeyName.substr(slash + 1);
}

std::string DeviceDescription(const platform::UsbNode& node)
{
    if (node.isHub) return node.speedMbps >= kSuperSpeedMbps ? "Generic SuperSpeed USB Hub" : "Generic USB Hub";
    if (node.driver == "uas") return "USB Attached SCSI (UAS) Mass Storage Device";
    if (node.driver == "usb-storage") return "USB Mass Storage Device";
    return node.product.empty() ? "USB Composite Device" : node.product;
}

std::string HardwareId(const platform::UsbNode& node)
{
    return "USB\\VID_" + Hex4(node.idVendor) + "&PID_" + Hex4(node.idProduct) + "&REV_" + Hex4(node.bcdDevice);
}

std::vector<std::string> StorageInterfacePaths(const std::vector<platform::DiskDevice>& disks)
{
    std::vector<std::string> paths;
    for (const platform::DiskDevice& disk : disks) {
        const std::string kind = disk.cdrom ? "cdrom" : "disk";
        const std::string guid = disk.cdrom ? kCdromGuid : kDiskGuid;
        char instance[32];
        if (disk.busType != platform::BusTypeUsb) {
            std::snprintf(instance, sizeof instance, "4&%x&0&000000", disk.diskNumber);
            paths.push_back("\\\\?\\scsi#" + kind + "&ven_" + PathField(disk.vendor) + "&prod_" +
                            PathField(disk.product) + "#" + instance + "#" + guid);
            continue;
        }
        const bool shared = std::count_if(disks.begin(), disks.end(), [&](const platform::DiskDevice& other) {
                                return other.busType == platform::BusTypeUsb && other.serial == disk.serial;
                            }) > 1;
        std::snprintf(instance, sizeof instance, "7&%x", 0x2b3c0000u + disk.diskNumber);
        const std::string serial = disk.serial.empty() || shared ? std::string(instance) : PathField(disk.serial);
        paths.push_back("\\\\?\\usbstor#" + kind + "&ven_" + PathField(disk.vendor) + "&prod_" +
                        PathField(disk.product) + "&rev_" + PathField(disk.revision) + "#" + serial + "&0#" + guid);
    }
    return paths;
}

std::string FriendlyName(const platform::DiskDevice& disk)
{
    return disk.vendor + " " + disk.product + (disk.busType == platform::BusTypeUsb ? " USB Device" : "");
}

}  // namespace device::host
