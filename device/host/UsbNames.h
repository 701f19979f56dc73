#pragma once
// The names the tool's USB walk knows devices by (host controller paths, root
// and external hub names, driver keys, storage interface paths), made from the
// station's USB nodes and disks. Every name carries the node's own name, or is
// made from the disk alone, so that it leads back to what it names.
#include <string>
#include <vector>

#include "platform/Station.h"

namespace device::host {

// The class of USB devices and host controllers in driver keys.
inline constexpr const char* kUsbClassGuid = "{36FC9E60-C465-11CF-8056-444553540000}";

// "\\?\pci#0000:00:14.0#usb2#{3abf6f2d-...}": the host controller of a root hub.
std::string HostControllerPath(const platform::UsbNode& rootHub);
// "USB#ROOT_HUB30#usb2#{f18a0e88-...}", opened as "\\.\" + name.
std::string RootHubName(const platform::UsbNode& rootHub);
// "USB#VID_2109&PID_0817#2-2#{f18a0e88-...}", opened as "\\?\" + name.
std::string ExternalHubName(const platform::UsbNode& hub);
// The path a hub is opened by: "\\.\" + root hub name or "\\?\" + external hub name.
std::string HubPath(const platform::UsbNode& hub);
// "{36FC9E60-...}\2-2.3".
std::string DriverKeyName(const platform::UsbNode& node);
// The driver key of a root hub's host controller.
std::string ControllerDriverKeyName(const platform::UsbNode& rootHub);

// The node name inside a host controller path or a hub path (the third of the
// '#'-separated fields after the "\\.\" or "\\?\" prefix); empty when the text
// has no such field.
std::string NodeNameOfPath(const std::string& path);
// The node name at the end of a driver key; empty when it is none.
std::string NodeNameOfDriverKey(const std::string& driverKeyName);

// What the system calls the device ("USB Attached SCSI (UAS) Mass Storage Device").
std::string DeviceDescription(const platform::UsbNode& node);
// "USB\VID_2B9D&PID_7951&REV_0100".
std::string HardwareId(const platform::UsbNode& node);

// The storage interface path of each disk or CD-ROM, in the order given:
// "\\?\usbstor#disk&ven_V&prod_P&rev_R#SERIAL&0#{53f56307-...}" for a USB disk,
// "\\?\scsi#disk&ven_V&prod_P#4&N&0&000000#{...}" for another. The storage stack
// puts the USB serial in the path; when two USB devices share a serial, or one
// has none, it makes up an instance ID that carries no serial.
std::vector<std::string> StorageInterfacePaths(const std::vector<platform::DiskDevice>& disks);
// "USB4 NVMe Bridge USB Device".
std::string FriendlyName(const platform::DiskDevice& disk);

}  // namespace device::host
