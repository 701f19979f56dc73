#include "device/host/UsbTree.h"

#include <algorithm>
#include <map>
#include <memory>

#include "device/host/DiskHost.h"
#include "device/host/UsbNames.h"
#include "util/Text.h"
#include "util/ThreadAnnotations.h"

namespace device::host {

namespace {

using platform::SetLastError;
using platform::UsbNode;

struct UsbHandle {
    enum Kind { kController, kHub, kInterface } kind = kController;
    // Controllers and hubs: the tree as it was when opened, and the controller's
    // root hub or the hub in it.
    std::shared_ptr<const std::vector<UsbNode>> tree;
    size_t node = 0;
    platform::DiskDevice disk;  // storage interfaces: the device
    const UsbNode& Node() const { return (*tree)[node]; }
};

// The open handles of the process; a handle is the address of its object.
class HandleTable {
public:
    HANDLE Add(std::shared_ptr<const UsbHandle> object) EXCLUDES(m_Lock)
    {
        const HANDLE handle = const_cast<UsbHandle*>(object.get());
        util::MutexLock lock(m_Lock);
        m_Handles.emplace(handle, std::move(object));
        return handle;
    }
    bool Remove(HANDLE handle) EXCLUDES(m_Lock)
    {
        util::MutexLock lock(m_Lock);
        return m_Handles.erase(handle) != 0;
    }
    std::shared_ptr<const UsbHandle> Find(HANDLE handle) EXCLUDES(m_Lock)
    {
        util::MutexLock lock(m_Lock);
        const auto found = m_Handles.find(handle);
        return found == m_Handles.end() ? nullptr : found->second;
    }
    size_t Size() EXCLUDES(m_Lock)
    {
        util::MutexLock lock(m_Lock);
        return m_Handles.size();
    }

private:
    util::Mutex m_Lock;
    std::map<HANDLE, std::shared_ptr<const UsbHandle>> m_Handles GUARDED_BY(m_Lock);
};

HandleTable& Handles()
{
    static HandleTable table;
    return table;
}

bool Fail(uint32_t error)
{
    SetLastError(error);
    return false;
}

// The object of an open handle of `kind`; nullptr (last error set) otherwise.
std::shared_ptr<const UsbHandle> Open(HANDLE handle, UsbHandle::Kind kind)
{
    auto object = Handles().Find(handle);
    if (!object) return Fail(platform::ERROR_INVALID_HANDLE), nullptr;
    if (object->kind != kind) return Fail(platform::ERROR_INVALID_FUNCTION), nullptr;
    return object;
}

// The host controllers of a tree in walk order, each with its root hubs by bus
// number. Root hubs that name the same controller belong to it; one that names
// none stands for a controller of its own.
std::vector<std::vector<const UsbNode*>> Controllers(const std::vector<UsbNode>& tree)
{
    std::vector<const UsbNode*> roots;
    for (const UsbNode& node : tree)
        if (node.parent.empty()) roots.push_back(&node);
    std::stable_sort(roots.begin(), roots.end(), [](const UsbNode* a, const UsbNode* b) { return a->bus < b->bus; });
    std::vector<std::vector<const UsbNode*>> controllers;
    for (const UsbNode* root : roots) {
        auto same = std::find_if(controllers.begin(), controllers.end(), [&](const auto& hubs) {
            return !root->controller.empty() && hubs.front()->controller == root->controller;
        });
        if (same == controllers.end()) controllers.push_back({root});
        else same->push_back(root);
    }
    return controllers;
}

// The root hubs of the controller whose first root hub is `first`; empty when
// `first` is no controller's first root hub.
std::vector<const UsbNode*> ControllerRootHubs(const std::vector<UsbNode>& tree, const UsbNode& first)
{
    for (auto& hubs : Controllers(tree))
        if (hubs.front() == &first) return hubs;
    return {};
}

// The device on `port` of an opened hub. False (last error set) when the handle
// is no hub or the port is not one of its ports; true with `device` null for an
// empty port.
bool PortDevice(HANDLE hub, uint32_t port, std::shared_ptr<const UsbHandle>& object, const UsbNode*& device)
{
    device = nullptr;
    object = Open(hub, UsbHandle::kHub);
    if (!object) return false;
    const UsbNode& node = object->Node();
    if (port == 0 || port > static_cast<uint32_t>(std::max(node.portCount, 0)))
        return Fail(platform::ERROR_INVALID_PARAMETER);
    for (const UsbNode& child : *object->tree)
        if (child.parent == node.name && child.port == static_cast<int>(port)) device = &child;
    return true;
}

// The device on `port`, which must be there; null (last error set) otherwise.
const UsbNode* OccupiedPort(HANDLE hub, uint32_t port, std::shared_ptr<const UsbHandle>& object)
{
    const UsbNode* device = nullptr;
    if (PortDevice(hub, port, object, device) && !device) SetLastError(platform::ERROR_INVALID_PARAMETER);
    return device;
}

bool IsStorageInterfacePath(const std::string& path)
{
    return path.rfind("\\\\?\\usbstor#", 0) == 0 || path.rfind("\\\\?\\scsi#", 0) == 0;
}

HANDLE OpenNode(const std::shared_ptr<const std::vector<UsbNode>>& tree, const std::string& path)
{
    const std::string name = NodeNameOfPath(path);
    for (size_t i = 0; i < tree->size(); ++i) {
        const UsbNode& node = (*tree)[i];
        if (node.name != name) continue;
        UsbHandle::Kind kind;
        if (node.parent.empty() && util::EqualNoCase(path, HostControllerPath(node)) &&
            !ControllerRootHubs(*tree, node).empty())
            kind = UsbHandle::kController;
        else if (node.isHub && util::EqualNoCase(path, HubPath(node))) kind = UsbHandle::kHub;
        else break;
        auto object = std::make_shared<UsbHandle>();
        object->kind = kind;
        object->tree = tree;
        object->node = i;
        SetLastError(platform::ERROR_SUCCESS);
        return Handles().Add(std::move(object));
    }
    SetLastError(platform::ERROR_FILE_NOT_FOUND);
    return platform::INVALID_HANDLE_VALUE;
}

// The disk whose storage interface has `path`; null when none has.
const platform::DiskDevice* FindInterface(const std::vector<platform::DiskDevice>& disks, const std::string& path)
{
    const std::vector<std::string> paths = StorageInterfacePaths(disks);
    for (size_t i = 0; i < disks.size(); ++i)
        if (util::EqualNoCase(paths[i], path)) return &disks[i];
    return nullptr;
}

// The node a driver key names; null when none in `tree` has it.
const UsbNode* FindDriverKey(const std::vector<UsbNode>& tree, const std::string& driverKeyName)
{
    const std::string name = NodeNameOfDriverKey(driverKeyName);
    for (const UsbNode& node : tree)
        if (!name.empty() && node.name == name && DriverKeyName(node) == driverKeyName) return &node;
    return nullptr;
}

}  // namespace

UsbTree::Tree UsbTree::ReadTree()
{
    Tree tree = std::make_shared<const std::vector<UsbNode>>(m_Station.UsbTree());
    util::MutexLock lock(m_Lock);
    m_LastTree = tree;
    return tree;
}

UsbTree::DiskList UsbTree::ReadDisks()
{
    DiskList disks = std::make_shared<const std::vector<platform::DiskDevice>>(m_Station.Disks());
    util::MutexLock lock(m_Lock);
    m_LastDisks = disks;
    return disks;
}

UsbTree::Tree UsbTree::LastTree()
{
    util::MutexLock lock(m_Lock);
    return m_LastTree;
}

UsbTree::DiskList UsbTree::LastDisks()
{
    util::MutexLock lock(m_Lock);
    return m_LastDisks;
}

std::vector<std::string> UsbTree::EnumerateHostControllers()
{
    std::vector<std::string> paths;
    const Tree tree = ReadTree();
    for (const auto& hubs : Controllers(*tree)) paths.push_back(HostControllerPath(*hubs.front()));
    return paths;
}

HANDLE UsbTree::CreateFile(const std::string& path)
{
    if (!IsStorageInterfacePath(path)) return OpenNode(ReadTree(), path);
    DiskList disks = LastDisks();
    const platform::DiskDevice* disk = disks ? FindInterface(*disks, path) : nullptr;
    if (!disk) {
        disks = ReadDisks();
        disk = FindInterface(*disks, path);
    }
    if (!disk) {
        SetLastError(platform::ERROR_FILE_NOT_FOUND);
        return platform::INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<UsbHandle>();
    object->kind = UsbHandle::kInterface;
    object->disk = *disk;
    SetLastError(platform::ERROR_SUCCESS);
    return Handles().Add(std::move(object));
}

bool UsbTree::CloseHandle(HANDLE handle)
{
    return Handles().Remove(handle) || Fail(platform::ERROR_INVALID_HANDLE);
}

size_t UsbTree::OpenHandleCount() { return Handles().Size(); }

bool UsbTree::GetHostControllerInfo(HANDLE controller, UsbHostControllerInfo& info)
{
    const auto object = Open(controller, UsbHandle::kController);
    if (!object) return false;
    const UsbNode& root = object->Node();
    info.driverKeyName = ControllerDriverKeyName(root);
    info.deviceDesc = root.product;
    info.hardwareId = "PCI\\" + root.controller;
    info.rootHubName = RootHubName(root);
    info.rootHubNames.clear();
    for (const UsbNode* hub : ControllerRootHubs(*object->tree, root)) info.rootHubNames.push_back(RootHubName(*hub));
    return true;
}

bool UsbTree::GetHubPortCount(HANDLE hub, uint8_t& numberOfPorts)
{
    const auto object = Open(hub, UsbHandle::kHub);
    if (!object) return false;
    numberOfPorts = static_cast<uint8_t>(std::clamp(object->Node().portCount, 0, 255));
    return true;
}

bool UsbTree::GetNodeConnectionInformation(HANDLE hub, uint32_t port, UsbNodeConnection& connection)
{
    connection = UsbNodeConnection{};
    std::shared_ptr<const UsbHandle> object;
    const UsbNode* node = nullptr;
    if (!PortDevice(hub, port, object, node)) return false;
    if (!node) return true;  // an empty port
    connection.ConnectionStatus = DeviceConnected;
    connection.DeviceIsHub = node->isHub;
    USB_DEVICE_DESCRIPTOR& d = connection.DeviceDescriptor;
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = 1;
    d.bcdUSB = node->bcdUSB;
    d.bDeviceClass = node->deviceClass;
    d.bDeviceSubClass = node->deviceSubClass;
    d.bDeviceProtocol = node->deviceProtocol;
    d.bMaxPacketSize0 = node->maxPacketSize0;
    d.idVendor = node->idVendor;
    d.idProduct = node->idProduct;
    d.bcdDevice = node->bcdDevice;
    d.iManufacturer = node->iManufacturer;
    d.iProduct = node->iProduct;
    d.iSerialNumber = node->iSerialNumber;
    d.bNumConfigurations = node->numConfigurations;
    return true;
}

bool UsbTree::GetNodeConnectionDriverKeyName(HANDLE hub, uint32_t port, std::string& driverKeyName)
{
    std::shared_ptr<const UsbHandle> object;
    const UsbNode* node = OccupiedPort(hub, port, object);
    if (!node) return false;
    driverKeyName = DriverKeyName(*node);
    return true;
}

bool UsbTree::GetNodeConnectionName(HANDLE hub, uint32_t port, std::string& hubName)
{
    std::shared_ptr<const UsbHandle> object;
    const UsbNode* node = OccupiedPort(hub, port, object);
    if (!node) return false;
    if (!node->isHub) return Fail(platform::ERROR_INVALID_PARAMETER);
    hubName = ExternalHubName(*node);
    return true;
}

bool UsbTree::GetStringDescriptor(HANDLE hub, uint32_t port, uint8_t index, uint16_t languageId,
                                  std::u16string& text)
{
    std::shared_ptr<const UsbHandle> object;
    const UsbNode* node = OccupiedPort(hub, port, object);
    return node && m_Station.ReadUsbString(*node, index, languageId, text);
}

bool UsbTree::GetDeviceNodeByDriverKey(const std::string& driverKeyName, std::string& deviceDesc,
                                       std::string& hardwareId)
{
    Tree tree = LastTree();
    const UsbNode* node = tree ? FindDriverKey(*tree, driverKeyName) : nullptr;
    if (!node) {
        tree = ReadTree();
        node = FindDriverKey(*tree, driverKeyName);
    }
    if (!node) return Fail(platform::ERROR_FILE_NOT_FOUND);
    deviceDesc = DeviceDescription(*node);
    hardwareId = HardwareId(*node);
    return true;
}

std::vector<StorageInterfaceInfo> UsbTree::EnumerateStorageInterfaces(uint32_t deviceType)
{
    const bool cdrom = deviceType == platform::FILE_DEVICE_CD_ROM;
    std::vector<StorageInterfaceInfo> interfaces;
    if (!cdrom && deviceType != platform::FILE_DEVICE_DISK) return interfaces;
    const DiskList disks = ReadDisks();
    const std::vector<std::string> paths = StorageInterfacePaths(*disks);
    for (size_t i = 0; i < disks->size(); ++i) {
        const platform::DiskDevice& disk = (*disks)[i];
        if (disk.cdrom != cdrom) continue;
        interfaces.push_back({paths[i],
                              {{"SPDRP_FRIENDLYNAME", FriendlyName(disk)},
                               {"SPDRP_DEVICEDESC", cdrom ? "CD-ROM Drive" : "Disk drive"},
                               {"SPDRP_ENUMERATOR_NAME", disk.busType == platform::BusTypeUsb ? "USBSTOR" : "SCSI"}}});
    }
    return interfaces;
}

bool UsbTree::GetStorageDeviceNumber(HANDLE device, platform::StorageDeviceNumber& number)
{
    const auto object = Handles().Find(device);
    if (!object) return device::host::GetStorageDeviceNumber(m_Station, device, number);
    if (object->kind != UsbHandle::kInterface) return Fail(platform::ERROR_INVALID_FUNCTION);
    const bool cdrom = object->disk.cdrom;
    number = {cdrom ? platform::FILE_DEVICE_CD_ROM : platform::FILE_DEVICE_DISK, object->disk.diskNumber,
              cdrom ? 0xFFFFFFFFu : 0u};
    return true;
}

bool UsbTree::GetStorageDeviceProperty(HANDLE device, StorageDeviceProperty& property)
{
    const auto object = Open(device, UsbHandle::kInterface);
    if (!object) return false;
    const platform::DiskDevice& disk = object->disk;
    property = {disk.busType, disk.vendor, disk.product, disk.revision, disk.serial};
    return true;
}

uint32_t UsbTree::GetDiskCount()
{
    const DiskList disks = ReadDisks();
    return static_cast<uint32_t>(
        std::count_if(disks->begin(), disks->end(), [](const platform::DiskDevice& disk) { return !disk.cdrom; }));
}

}  // namespace device::host
