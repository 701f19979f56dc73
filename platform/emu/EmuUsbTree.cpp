// The emulated station's USB tree and storage interfaces.
//
// Paths and names: host controller C is "\\?\emu#usbhc#C#{3abf6f2d-...}", its root
// hub "USB#ROOT_HUB30#C#{f18a0e88-...}", external hub H on it
// "USB#VID_2109&PID_0817#C&H#{f18a0e88-...}". Driver keys are in the USB class
// "{36FC9E60-C465-11CF-8056-444553540000}", numbered 1NNN for bridge NNN,
// 2NNN for decoy NNN and 3NNN for external hub NNN. A device's serial number
// appears in its storage interface path, as the storage stack puts it there.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/emu/EmuStation.h"

#include <set>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace platform {

namespace {
constexpr const char* kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kHubInterface = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr uint16_t kEnglish = 0x0409;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;
// Longest sleep of the watcher when nothing is due: a safety net only, every
// change wakes it at once.
constexpr int64_t kIdleWakeMs = 1000;

std::string DriverKey(int kind, int id)
{
    char key[64];
    std::snprintf(key, sizeof key, "%s\\%d%03d", kUsbClass, kind, id);
    return key;
}

std::u16string Wide(const std::string& text) { return {text.begin(), text.end()}; }

emu::UsbIdentity DecoyIdentity(const emu::Decoy& decoy)
{
    emu::UsbIdentity identity;
    identity.idVendor = 0x090C;
    identity.idProduct = 0x1000;
    identity.bcdDevice = 0x1100;
    identity.serial = decoy.serial;
    identity.manufacturer = "Generic";
    identity.product = "Flash Disk";
    return identity;
}
}  // namespace

std::string EmuControllerPath(int controller)
{
    return "\\\\?\\emu#usbhc#" + std::to_string(controller) + "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
}

std::string EmuRootHubName(int controller)
{
    return "USB#ROOT_HUB30#" + std::to_string(controller) + "#" + kHubInterface;
}

std::string EmuExternalHubName(int controller, int hub)
{
    return "USB#VID_2109&PID_0817#" + std::to_string(controller) + "&" + std::to_string(hub) + "#" + kHubInterface;
}

std::string EmuStorageInterfacePath(uint32_t deviceType, int number, const std::string& serial)
{
    const bool cdrom = deviceType == FILE_DEVICE_CD_ROM;
    return std::string("\\\\?\\usbstor#") + (cdrom ? "cdrom" : "disk") + "&ven_emu&prod_storage&rev_0001#" +
           (serial.empty() ? "EMU" + std::to_string(number) : serial) + "&0#" +
           (cdrom ? "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}" : "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
}

int64_t EmuStation::SettleWorld()
{
    const int64_t now = util::NowMs();
    std::vector<int> due;
    int64_t next = -1;
    for (int id : m_World.BridgeIds()) {
        const int64_t at = m_World.BridgeState(id)->ReturnDueMs();
        if (at >= 0 && at <= now) due.push_back(id);
        else if (at > now && (next < 0 || at < next)) next = at;
    }
    if (due.empty()) return next;
    ModifyWorld([&](emu::World& world) {
        for (int id : due) {
            int disk = -1;
            ModifyBridge(id, [&](emu::Bridge& bridge) {
                if (bridge.ReturnDueMs() < 0 || bridge.ReturnDueMs() > now) return;  // another process was first
                bridge.ReturnToBus(FreeNumber(FILE_DEVICE_DISK, bridge.DiskNumber()), FreeNumber(FILE_DEVICE_CD_ROM, -1));
                if (bridge.CdromNumber() < 0) disk = bridge.DiskNumber();
            });
            world.PostEvent("arrival", disk);
        }
        return true;
    });
    return next;
}

int EmuStation::FreeNumber(uint32_t deviceType, int avoid) const
{
    // Windows gives an arriving device the lowest free number; the emulated
    // station skips the number the device had, so that a relink search meets it
    // under a new one.
    std::set<int> used;
    for (const auto& device : StorageDevices(deviceType)) used.insert(device.number);
    int number = deviceType == FILE_DEVICE_DISK ? 1 : 0;
    while (used.count(number) || number == avoid) ++number;
    return number;
}

bool EmuStation::SetBridgePlugged(int id, bool plugged)
{
    bool changed = false;
    const bool known = ModifyWorld([&](emu::World& world) {
        const auto ids = world.BridgeIds();
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) return false;
        int disk = -1;
        ModifyBridge(id, [&](emu::Bridge& bridge) {
            if (bridge.Present() == plugged) return;
            changed = true;
            if (plugged) {
                bridge.SetDiskNumber(FreeNumber(FILE_DEVICE_DISK, bridge.DiskNumber()));
                bridge.Set("off_bus_reason", "");
                bridge.SetPresent(true);
                bridge.Boot();
                if (bridge.CdromNumber() < 0) disk = bridge.DiskNumber();
            } else {
                bridge.SetPresent(false);
                bridge.Set("off_bus_reason", "unplugged");
            }
        });
        if (changed) world.PostEvent(plugged ? "arrival" : "removal", disk);
        return true;
    });
    return known;
}

void EmuStation::RegisterDeviceNotification(DeviceChangeHandler handler)
{
    {
        std::lock_guard lock(m_NotifyLock);
        m_Handler = std::move(handler);
    }
    if (m_Watcher.joinable()) return;
    WatchStationFolder();
    // Events are counted from the registration on: one that comes before the
    // watcher's first look is still delivered.
    m_Watcher = std::jthread([this, seen = m_World.EventCount()](std::stop_token stop) mutable {
        std::stop_callback wake(stop, [this] { NotifyChange(); });
        while (!stop.stop_requested()) {
            const uint64_t changes = ChangeCount();
            const int64_t due = SettleWorld();  // a reset bridge that is due comes back now
            const int64_t count = m_World.EventCount();
            if (count == seen) {
                WaitForChange(changes, due >= 0 ? std::max<int64_t>(due - util::NowMs(), 1) : kIdleWakeMs);
                continue;
            }
            seen = count;
            const DeviceChange change =
                m_World.LastEvent() == "removal" ? DeviceChange::kRemoveComplete : DeviceChange::kArrival;
            std::lock_guard lock(m_NotifyLock);
            if (m_Handler) m_Handler(change);
        }
    });
}

void EmuStation::NotifyChange()
{
    {
        std::lock_guard lock(m_ChangeLock);
        ++m_ChangeCount;
    }
    m_ChangeWake.notify_all();
}

uint64_t EmuStation::ChangeCount()
{
    std::lock_guard lock(m_ChangeLock);
    return m_ChangeCount;
}

void EmuStation::WaitForChange(uint64_t seen, int64_t ms)
{
    const auto clock = util::GetClock();
    std::unique_lock lock(m_ChangeLock);
    clock->WaitMs(m_ChangeWake, lock, ms, [&] { return m_ChangeCount != seen; });
}

void EmuStation::WatchStationFolder()
{
    std::call_once(m_FolderWatchStarted, [this] {
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const int stopper = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (watch < 0 || stopper < 0 ||
            ::inotify_add_watch(watch, m_World.Folder().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            DBG_ERR("%s:%d: no watch on %s: changes made by other processes are seen at the next wake-up only",
                    m_World.Folder().c_str());
            if (watch >= 0) ::close(watch);
            if (stopper >= 0) ::close(stopper);
            return;
        }
        m_FolderWatch = std::jthread([this, watch, stopper](std::stop_token stop) {
            WatchForChanges(watch, stopper, stop);
            // The stop callback that writes to `stopper` is gone by now: closing
            // the descriptors cannot race with its write.
            ::close(watch);
            ::close(stopper);
        });
    });
}

void EmuStation::WatchForChanges(int watch, int stopper, const std::stop_token& stop)
{
    std::stop_callback wake(stop, [stopper] {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stopper, &one, sizeof one);
    });
    alignas(inotify_event) char events[4096];
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{watch, POLLIN, 0}, {stopper, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (!(fds[0].revents & POLLIN)) continue;
        bool stationChanged = false;
        for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len > 0 && std::strcmp(event->name, "station.ini") == 0) stationChanged = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        if (stationChanged) {
            m_World.ForgetCopies();
            NotifyChange();
        }
    }
}

uint64_t EmuStation::DiskArrivalMark()
{
    return static_cast<uint64_t>(m_World.EventCount());
}

std::vector<uint32_t> EmuStation::DisksArrivedSince(uint64_t mark)
{
    std::vector<uint32_t> disks;
    for (int disk : m_World.DisksArrivedSince(static_cast<int64_t>(mark)))
        if (disk > 0) disks.push_back(static_cast<uint32_t>(disk));
    return disks;
}

bool EmuStation::WaitForDiskArrival(uint64_t mark, int64_t ms)
{
    WatchStationFolder();
    const int64_t deadline = util::NowMs() + ms;
    for (;;) {
        const uint64_t changes = ChangeCount();
        const int64_t due = SettleWorld();
        if (!DisksArrivedSince(mark).empty()) return true;
        const int64_t now = util::NowMs();
        if (now >= deadline) return false;
        const int64_t until = due >= 0 ? std::min(deadline, std::max(due, now + 1)) : deadline;
        WaitForChange(changes, until - now);
    }
}

void EmuStation::UnregisterDeviceNotification()
{
    std::lock_guard lock(m_NotifyLock);
    m_Handler = nullptr;
}

uint32_t EmuStation::GetDiskCount()
{
    SettleWorld();
    return static_cast<uint32_t>(StorageDevices(FILE_DEVICE_DISK).size());
}

std::vector<std::string> EmuStation::EnumerateHostControllers()
{
    SettleWorld();
    std::vector<std::string> paths;
    for (int controller = 0; controller < m_World.ControllerCount(); ++controller)
        paths.push_back(EmuControllerPath(controller));
    return paths;
}

bool EmuStation::GetHostControllerInfo(HANDLE controller, UsbHostControllerInfo& info)
{
    OpenDevice device;
    if (!FindHandle(controller, device) || device.kind != OpenDevice::kController) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    info.driverKeyName = "{36FC9E60-C465-11CF-8056-444553540000}\\9" + std::to_string(device.number);
    info.deviceDesc = "USB xHCI Compliant Host Controller";
    info.hardwareId = "PCI\\VEN_EMU&DEV_USB4&CC_0C0330";
    info.rootHubName = EmuRootHubName(device.number);
    return true;
}

bool EmuStation::GetHubPortCount(HANDLE hub, uint8_t& numberOfPorts)
{
    OpenDevice device;
    if (!FindHandle(hub, device) || device.kind != OpenDevice::kHub) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    numberOfPorts = static_cast<uint8_t>(m_World.PortCount(device.number, device.hub));
    return true;
}

bool EmuStation::PortDevice(HANDLE hub, uint32_t port, emu::PortOccupant& occupant, emu::UsbIdentity& identity)
{
    OpenDevice device;
    if (!FindHandle(hub, device) || device.kind != OpenDevice::kHub || port == 0 ||
        static_cast<int>(port) > m_World.PortCount(device.number, device.hub)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    occupant = m_World.At({device.number, device.hub, static_cast<int>(port)});
    if (occupant.kind == emu::PortOccupant::kBridge)
        identity = m_World.BridgeState(occupant.id)->Identity();
    else if (occupant.kind == emu::PortOccupant::kDecoy)
        for (const auto& decoy : m_World.Decoys())
            if (decoy.id == occupant.id) identity = DecoyIdentity(decoy);
    return true;
}

bool EmuStation::GetNodeConnectionInformation(HANDLE hub, uint32_t port, UsbNodeConnection& connection)
{
    emu::PortOccupant occupant;
    emu::UsbIdentity identity;
    if (!PortDevice(hub, port, occupant, identity)) return false;
    connection = {};
    if (occupant.kind == emu::PortOccupant::kNone) return true;
    connection.ConnectionStatus = DeviceConnected;
    connection.DeviceIsHub = occupant.kind == emu::PortOccupant::kHub;
    USB_DEVICE_DESCRIPTOR& d = connection.DeviceDescriptor;
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = connection.DeviceIsHub ? 0x0320 : 0x0320;
    d.bDeviceClass = connection.DeviceIsHub ? 0x09 : 0x00;
    d.bMaxPacketSize0 = 9;
    d.idVendor = connection.DeviceIsHub ? 0x2109 : identity.idVendor;
    d.idProduct = connection.DeviceIsHub ? 0x0817 : identity.idProduct;
    d.bcdDevice = connection.DeviceIsHub ? 0x0100 : identity.bcdDevice;
    d.iManufacturer = identity.manufacturer.empty() ? 0 : kManufacturerIndex;
    d.iProduct = identity.product.empty() ? 0 : kProductIndex;
    d.iSerialNumber = identity.serial.empty() ? 0 : kSerialIndex;
    d.bNumConfigurations = 1;
    return true;
}

bool EmuStation::GetNodeConnectionDriverKeyName(HANDLE hub, uint32_t port, std::string& driverKeyName)
{
    emu::PortOccupant occupant;
    emu::UsbIdentity identity;
    if (!PortDevice(hub, port, occupant, identity) || occupant.kind == emu::PortOccupant::kNone) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    driverKeyName = DriverKey(occupant.kind, occupant.id);
    return true;
}

bool EmuStation::GetNodeConnectionName(HANDLE hub, uint32_t port, std::string& hubName)
{
    emu::PortOccupant occupant;
    emu::UsbIdentity identity;
    if (!PortDevice(hub, port, occupant, identity) || occupant.kind != emu::PortOccupant::kHub) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    OpenDevice device;
    FindHandle(hub, device);
    hubName = EmuExternalHubName(device.number, occupant.id);
    return true;
}

bool EmuStation::GetStringDescriptor(HANDLE hub, uint32_t port, uint8_t index, uint16_t languageId,
                                     std::u16string& text)
{
    emu::PortOccupant occupant;
    emu::UsbIdentity identity;
    if (!PortDevice(hub, port, occupant, identity) || occupant.kind == emu::PortOccupant::kNone) return false;
    if (index == 0) {
        text = std::u16string(1, static_cast<char16_t>(kEnglish));
        return true;
    }
    const std::string* value = index == kManufacturerIndex ? &identity.manufacturer
                               : index == kProductIndex    ? &identity.product
                               : index == kSerialIndex     ? &identity.serial
                                                           : nullptr;
    if (!value || value->empty() || languageId != kEnglish) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    text = Wide(*value);
    return true;
}

bool EmuStation::GetDeviceNodeByDriverKey(const std::string& driverKeyName, std::string& deviceDesc,
                                          std::string& hardwareId)
{
    const size_t slash = driverKeyName.rfind('\\');
    if (slash == std::string::npos || driverKeyName.size() < slash + 5) return false;
    const int kind = driverKeyName[slash + 1] - '0';
    const int id = std::atoi(driverKeyName.c_str() + slash + 2);
    switch (kind) {
    case emu::PortOccupant::kBridge: {
        const auto bridge = m_World.BridgeState(id);
        const bool uas = bridge->ReadRegister(emu::reg::kUsbMode) & 0x80;
        deviceDesc = uas ? "USB Attached SCSI (UAS) Mass Storage Device" : "USB Mass Storage Device";
        const auto identity = bridge->Identity();
        char hw[64];
        std::snprintf(hw, sizeof hw, "USB\\VID_%04X&PID_%04X&REV_%04X", identity.idVendor, identity.idProduct,
                      identity.bcdDevice);
        hardwareId = hw;
        return true;
    }
    case emu::PortOccupant::kDecoy:
        deviceDesc = "USB Mass Storage Device";
        hardwareId = "USB\\VID_090C&PID_1000&REV_1100";
        return true;
    case emu::PortOccupant::kHub:
        deviceDesc = "Generic SuperSpeed USB Hub";
        hardwareId = "USB\\VID_2109&PID_0817&REV_0100";
        return true;
    default: return false;
    }
}

std::vector<EmuStation::StorageDevice> EmuStation::StorageDevices(uint32_t deviceType) const
{
    std::vector<StorageDevice> devices;
    auto add = [&](int number, uint8_t bus, const char* vendor, const char* product, const std::string& serial,
                   const char* friendly) {
        StorageDevice device;
        device.type = deviceType;
        device.number = number;
        device.property = {bus, vendor, product, "0001", serial};
        device.path = bus == BusTypeUsb ? EmuStorageInterfacePath(deviceType, number, serial)
                                        : "\\\\?\\scsi#disk&ven_" + std::string(vendor) + "#4&" +
                                              std::to_string(number) + "&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        device.friendlyName = friendly;
        devices.push_back(device);
    };
    if (deviceType == FILE_DEVICE_DISK) add(0, BusTypeNvme, "NVMe", "System SSD", "SYS0000000000001", "NVMe System SSD");
    for (int id : m_World.BridgeIds()) {
        const auto bridge = m_World.BridgeState(id);
        if (!bridge->Present()) continue;
        const bool cdrom = bridge->CdromNumber() >= 0;
        if (cdrom != (deviceType == FILE_DEVICE_CD_ROM)) continue;
        add(cdrom ? bridge->CdromNumber() : bridge->DiskNumber(), BusTypeUsb, "USB4", "NVMe Bridge",
            bridge->Identity().serial, "USB4 NVMe Bridge USB Device");
    }
    if (deviceType == FILE_DEVICE_DISK)
        for (const auto& decoy : m_World.Decoys())
            add(decoy.disk, decoy.kind == "sata" ? BusTypeSata : BusTypeUsb,
                decoy.kind == "sata" ? "ATA" : "Generic", decoy.kind == "sata" ? "SATA Disk" : "Flash Disk",
                decoy.serial, decoy.kind == "sata" ? "ATA SATA Disk" : "Generic Flash Disk USB Device");
    // Two devices with one serial number cannot share an instance path: the
    // storage stack then makes up an instance ID that carries no serial.
    for (auto& device : devices) {
        const auto same = std::count_if(devices.begin(), devices.end(), [&](const StorageDevice& other) {
            return other.property.BusType == BusTypeUsb && other.property.SerialNumber == device.property.SerialNumber;
        });
        if (device.property.BusType == BusTypeUsb && same > 1) {
            char instance[32];
            std::snprintf(instance, sizeof instance, "7&%x", 0x2b3c0000u + static_cast<unsigned>(device.number));
            device.path = EmuStorageInterfacePath(deviceType, device.number, instance);
        }
    }
    return devices;
}

std::vector<StorageInterfaceInfo> EmuStation::EnumerateStorageInterfaces(uint32_t deviceType)
{
    SettleWorld();
    std::vector<StorageInterfaceInfo> interfaces;
    for (const auto& device : StorageDevices(deviceType))
        interfaces.push_back({device.path,
                              {{"SPDRP_FRIENDLYNAME", device.friendlyName},
                               {"SPDRP_DEVICEDESC", deviceType == FILE_DEVICE_DISK ? "Disk drive" : "CD-ROM Drive"},
                               {"SPDRP_ENUMERATOR_NAME", device.property.BusType == BusTypeUsb ? "USBSTOR" : "SCSI"}}});
    return interfaces;
}

bool EmuStation::GetStorageDeviceProperty(HANDLE handle, StorageDeviceProperty& property)
{
    OpenDevice device;
    if (!FindHandle(handle, device) || (device.kind != OpenDevice::kDisk && device.kind != OpenDevice::kCdrom)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    const uint32_t type = device.kind == OpenDevice::kCdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
    for (const auto& storage : StorageDevices(type))
        if (storage.number == device.number) {
            property = storage.property;
            return true;
        }
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
}

}  // namespace platform

namespace platform {

std::vector<DiskDevice> EmuStation::Disks()
{
    std::vector<DiskDevice> disks;
    for (const auto& device : StorageDevices(FILE_DEVICE_DISK)) {
        DiskDevice disk;
        disk.diskNumber = static_cast<uint32_t>(device.number);
        disk.busType = device.property.BusType;
        disk.vendor = device.property.VendorId;
        disk.product = device.property.ProductId;
        disk.revision = device.property.ProductRevision;
        disk.serial = device.property.SerialNumber;
        if (device.number == 0) disk.refusal = "the system disk";
        disks.push_back(std::move(disk));
    }
    std::sort(disks.begin(), disks.end(),
              [](const DiskDevice& a, const DiskDevice& b) { return a.diskNumber < b.diskNumber; });
    return disks;
}

}  // namespace platform
