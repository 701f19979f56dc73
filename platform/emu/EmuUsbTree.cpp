// The emulated station's USB tree, its storage devices and its device
// notifications.
//
// Controller C is bus C+1 with root hub "usbB"; the device on port P of a root
// hub is "B-P", on port P of the external hub "X" it is "X.P". External hubs
// enumerate as 2109:0817, decoy sticks as 090C:1000. A device's serial number is
// its storage device's serial, as the storage stack reports it.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/emu/EmuStation.h"

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace platform {

namespace {
constexpr uint16_t kEnglish = 0x0409;
// USB allows five hubs between a root hub and a device.
constexpr int kMaxHubTiers = 5;
// Longest sleep of the watcher when nothing is due: a safety net only, every
// change wakes it at once.
constexpr int64_t kIdleWakeMs = 1000;

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

// A SuperSpeed device as every emulated one enumerates.
UsbNode SuperSpeedNode(const UsbNode& parent, int port)
{
    UsbNode node;
    node.name = (parent.parent.empty() ? std::to_string(parent.bus) + "-" : parent.name + ".") + std::to_string(port);
    node.bus = parent.bus;
    node.parent = parent.name;
    node.port = port;
    node.bcdUSB = 0x0320;
    node.maxPacketSize0 = 9;
    node.numConfigurations = 1;
    node.languages = {kEnglish};
    node.speedMbps = 10000;
    return node;
}

// The name of the node at `at` (see UsbTree); empty when its hub is not on the bus.
std::string NodeNameAt(const emu::World& world, const emu::UsbLocation& at, int tier = 0)
{
    const std::string port = std::to_string(at.port);
    if (at.hub == 0) return std::to_string(at.controller + 1) + "-" + port;
    if (tier == kMaxHubTiers) return "";
    for (const auto& hub : world.Hubs())
        if (hub.id == at.hub && hub.location.controller == at.controller) {
            const std::string parent = NodeNameAt(world, hub.location, tier + 1);
            return parent.empty() ? "" : parent + "." + port;
        }
    return "";
}

void SetStrings(UsbNode& node, const emu::UsbIdentity& identity)
{
    node.idVendor = identity.idVendor;
    node.idProduct = identity.idProduct;
    node.bcdDevice = identity.bcdDevice;
    node.manufacturer = identity.manufacturer;
    node.product = identity.product;
    node.serial = identity.serial;
    node.iManufacturer = identity.manufacturer.empty() ? 0 : 1;
    node.iProduct = identity.product.empty() ? 0 : 2;
    node.iSerialNumber = identity.serial.empty() ? 0 : 3;
}
}  // namespace

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
    for (const auto& device : StorageDevices(deviceType)) used.insert(static_cast<int>(device.diskNumber));
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

std::vector<UsbNode> EmuStation::UsbTree()
{
    SettleWorld();
    std::vector<UsbNode> tree;
    for (int controller = 0; controller < m_World.ControllerCount(); ++controller) {
        UsbNode root;
        root.bus = controller + 1;
        root.name = "usb" + std::to_string(root.bus);
        root.isHub = true;
        root.portCount = m_World.PortCount(controller, 0);
        root.bcdUSB = 0x0300;
        root.idVendor = 0x1D6B;
        root.idProduct = 0x0003;
        root.deviceClass = 0x09;
        root.maxPacketSize0 = 9;
        root.numConfigurations = 1;
        root.manufacturer = "DEVeda emulator";
        root.product = "USB xHCI Compliant Host Controller";
        root.iManufacturer = 1;
        root.iProduct = 2;
        root.languages = {kEnglish};
        root.speedMbps = 10000;
        root.driver = "hub";
        root.controller = "emu-usbhc" + std::to_string(controller);
        tree.push_back(root);
    }
    // Root hubs first, then each one's devices.
    const size_t roots = tree.size();
    for (size_t controller = 0; controller < roots; ++controller) {
        const UsbNode root = tree[controller];
        AddPortNodes(static_cast<int>(controller), 0, root, 0, tree);
    }
    return tree;
}

void EmuStation::AddPortNodes(int controller, int hub, const UsbNode& parent, int tier,
                              std::vector<UsbNode>& tree) const
{
    for (int port = 1; port <= parent.portCount; ++port) {
        const emu::PortOccupant occupant = m_World.At({controller, hub, port});
        if (occupant.kind == emu::PortOccupant::kNone) continue;
        UsbNode node = SuperSpeedNode(parent, port);
        if (occupant.kind == emu::PortOccupant::kHub) {
            // A hub behind too many others (or behind itself) does not enumerate.
            if (tier == kMaxHubTiers) continue;
            node.isHub = true;
            node.portCount = m_World.PortCount(controller, occupant.id);
            node.deviceClass = 0x09;
            node.idVendor = 0x2109;
            node.idProduct = 0x0817;
            node.bcdDevice = 0x0100;
            node.driver = "hub";
            tree.push_back(node);
            AddPortNodes(controller, occupant.id, node, tier + 1, tree);
            continue;
        }
        if (occupant.kind == emu::PortOccupant::kBridge) {
            const auto bridge = m_World.BridgeState(occupant.id);
            SetStrings(node, bridge->Identity());
            node.driver = bridge->ReadRegister(emu::reg::kUsbMode) & 0x80 ? "uas" : "usb-storage";
        } else {
            for (const auto& decoy : m_World.Decoys())
                if (decoy.id == occupant.id) SetStrings(node, DecoyIdentity(decoy));
            node.driver = "usb-storage";
        }
        tree.push_back(node);
    }
}

std::vector<DiskDevice> EmuStation::StorageDevices(uint32_t deviceType) const
{
    const bool cdrom = deviceType == FILE_DEVICE_CD_ROM;
    std::vector<DiskDevice> devices;
    auto add = [&](int number, uint8_t bus, const char* vendor, const char* product, const std::string& serial) {
        DiskDevice device;
        device.diskNumber = static_cast<uint32_t>(number);
        device.busType = bus;
        device.vendor = vendor;
        device.product = product;
        device.revision = "0001";
        device.serial = serial;
        device.cdrom = cdrom;
        devices.push_back(std::move(device));
        return &devices.back();
    };
    if (!cdrom) add(0, BusTypeNvme, "NVMe", "System SSD", "SYS0000000000001")->refusal = "the system disk";
    for (int id : m_World.BridgeIds()) {
        const auto bridge = m_World.BridgeState(id);
        if (!bridge->Present() || (bridge->CdromNumber() >= 0) != cdrom) continue;
        const emu::UsbIdentity identity = bridge->Identity();
        DiskDevice* device =
            add(cdrom ? bridge->CdromNumber() : bridge->DiskNumber(), BusTypeUsb, "USB4", "NVMe Bridge", identity.serial);
        device->usbPath = NodeNameAt(m_World, bridge->Location());
        device->usbVendor = identity.idVendor;
        device->usbProduct = identity.idProduct;
        device->usbDriver = bridge->ReadRegister(emu::reg::kUsbMode) & 0x80 ? "uas" : "usb-storage";
    }
    if (!cdrom)
        for (const auto& decoy : m_World.Decoys()) {
            const bool sata = decoy.kind == "sata";
            DiskDevice* device = add(decoy.disk, sata ? BusTypeSata : BusTypeUsb, sata ? "ATA" : "Generic",
                                     sata ? "SATA Disk" : "Flash Disk", decoy.serial);
            if (!sata) {
                device->usbPath = NodeNameAt(m_World, decoy.location);
                device->usbVendor = DecoyIdentity(decoy).idVendor;
                device->usbProduct = DecoyIdentity(decoy).idProduct;
                device->usbDriver = "usb-storage";
            }
        }
    return devices;
}

std::vector<DiskDevice> EmuStation::Disks()
{
    SettleWorld();
    std::vector<DiskDevice> disks = StorageDevices(FILE_DEVICE_DISK);
    std::vector<DiskDevice> cdroms = StorageDevices(FILE_DEVICE_CD_ROM);
    const auto byNumber = [](const DiskDevice& a, const DiskDevice& b) { return a.diskNumber < b.diskNumber; };
    std::sort(disks.begin(), disks.end(), byNumber);
    std::sort(cdroms.begin(), cdroms.end(), byNumber);
    disks.insert(disks.end(), cdroms.begin(), cdroms.end());
    return disks;
}

}  // namespace platform
