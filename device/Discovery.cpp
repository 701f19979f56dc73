// Discovery: walks the USB tree from every host controller, ties each bridge on a
// hub port to the disk the storage stack made for it (by serial number), and
// fills one DeviceInfo record per bridge.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "device/BrvtUSBDev.h"
#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {
constexpr size_t kMaxHostControllers = 20;
constexpr size_t kMaxHubTable = 16;
constexpr uint16_t kNoSerialNumber = 0x7FFF;
constexpr uint32_t kOpenForCommands = platform::GENERIC_READ | platform::GENERIC_WRITE;
constexpr uint32_t kShareAll = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;
constexpr const char* kUsbClassGuid = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kDiskClassGuid = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
// The USB identities the 795x bridges leave the factory with.
constexpr std::pair<const char*, const char*> kChipIdentities[] = {{"2B9D", "7951"}, {"2B9D", "7956"}};
using ScopedUsbHandle = BasicScopedHandle<device::host::UsbTree>;

const char* ConnectionStatusName(uint8_t status)
{
    static const char* const kNames[] = {"No device connected",       "Device connected",
                                         "Device FAILED enumeration", "Device general FAILURE",
                                         "Device caused overcurrent", "Not enough power for device"};
    return status < 6 ? kNames[status] : "Device general FAILURE";
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::string Upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%4.4x", value);
    return Upper(text);
}

// The serial the storage stack puts in an interface path: between the second
// '#' and the last '#', without the instance suffix's last two characters.
std::string SerialFromInterfacePath(const std::string& path)
{
    const size_t first = path.find('#');
    const size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    const size_t last = path.rfind('#');
    if (second == std::string::npos || last <= second + 3) return "";
    return path.substr(second + 1, last - second - 1 - 2);
}

// True when a disk's storage serial or interface path names the USB serial `wanted`.
bool NamesSerial(const std::string& propertySerial, const std::string& devicePath, const std::string& wanted)
{
    const std::string upper = Upper(wanted);
    return !upper.empty() && (propertySerial.find(upper) != std::string::npos ||
                              Upper(SerialFromInterfacePath(devicePath)).find(upper) != std::string::npos);
}

}  // namespace

CommandResult CBrvtUSBDev::Open(DeviceList& list, const std::string& chipTypeFilter, int iBridgeType)
{
    try {
        m_ucMode = 1;
        m_pDevList = &list;
        Enum(chipTypeFilter, iBridgeType);
        return list.DevNums != 0 ? kCommandSuccess : kCommandNothingObtained;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) Open:  Error:%d", platform::GetLastError());
        return kCommandNothingObtained;
    }
}

void CBrvtUSBDev::SetBridgeIdentity(const std::string& vid, const std::string& pid)
{
    m_BridgeIdentity = {Upper(vid), Upper(pid)};
}

bool CBrvtUSBDev::CarriesBridgeIdentity() const
{
    const auto& vid = m_PortStrings.vid;
    const auto& pid = m_PortStrings.pid;
    if (vid == m_BridgeIdentity.first && pid == m_BridgeIdentity.second) return true;
    return std::any_of(std::begin(kChipIdentities), std::end(kChipIdentities),
                       [&](const auto& chip) { return vid == chip.first && pid == chip.second; });
}

void CBrvtUSBDev::CopyPortFields(DeviceInfo& record, const std::string& hubName) const
{
    record.m_strPID = m_PortStrings.pid;
    record.m_strVID = m_PortStrings.vid;
    record.m_strSerialNumber = m_PortStrings.serial;
    record.m_strManufacturer = m_PortStrings.manufacturer;
    record.m_strProduct = m_PortStrings.product;
    record.m_strDeviceRev = m_PortStrings.revision;
    record.m_iPortLocation = m_iPortLocation;
    record.m_ulPortIndex = static_cast<int32_t>(m_ulPortIndex);
    record.m_strHubName = hubName;
    // Every record carries its own hub's port count, not only the first on a hub.
    for (const auto& hub : m_HubTable)
        if (hub.path == hubName) record.m_ulPortCount = hub.portCount;
    record.m_strDriverKeyName = m_PortStrings.driverKeyName;
}

void CBrvtUSBDev::AddUnidentifiedRecord(const std::string& failure, const std::string& hubName)
{
    if (m_ucRecordCount >= MAX_DEVICES) return;
    DBG_ERR("%s:%d: Port[%d] VID:%s PID:%s strSerialNumber:%s is a bridge that failed identification: %s",
            m_iPortLocation, m_PortStrings.vid.c_str(), m_PortStrings.pid.c_str(), m_PortStrings.serial.c_str(),
            failure.c_str());
    DeviceInfo& record = m_pDevList->Devs[m_ucRecordCount];
    record = DeviceInfo{};
    record.m_ucDevIdx = m_ucRecordCount;
    record.m_strIdentifyFailure = failure;
    record.m_strUsbConnectionStatus = failure;
    CopyPortFields(record, hubName);
    ++m_ucRecordCount;
    if (m_ucMode == 1) m_pDevList->DevNums = m_ucRecordCount;
}

void CBrvtUSBDev::vClearPrivateData()
{
    if (!m_pDevList) return;
    m_pDevList->DevNums = 0;
    for (auto& record : m_pDevList->Devs) record = DeviceInfo{};
    m_ucRecordCount = 0;
}

void CBrvtUSBDev::Enum(const std::string& chipTypeFilter, int iBridgeType)
{
    m_ucScanInterrupt = 0;
    if (m_ucMode == 1) vClearPrivateData();
    else m_ucRecordCount = 0;
    m_HubTable.clear();
    m_strChipTypes.clear();
    m_LaneReads.clear();
    std::vector<std::string> unopened;
    const std::vector<HANDLE> controllers = OpenHostControllers(unopened);
    try {
        if (m_ucScanInterrupt) {
            DBG_WRN("%s:%d: Scan Interrupt after GetDeviceList()");
        } else {
            for (size_t index = 0; index < controllers.size(); ++index) {
                if (!IsValidHandle(controllers[index])) {
                    DBG_ERR("%s:%d: Enum: strHostControllerName[%d] : dwErrorCode : %d", static_cast<int>(index),
                            platform::GetLastError());
                    continue;
                }
                EnumerateHostController(controllers[index], static_cast<int>(index), chipTypeFilter, iBridgeType);
            }
        }
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) Enum: dwErrorCode : %d", platform::GetLastError());
    }
    FinishLaneReads();
    ListUnreachedBridges(unopened, controllers.size(), chipTypeFilter, iBridgeType);
    // The walk is over: the controllers are closed rather than left open.
    for (HANDLE controller : controllers)
        if (IsValidHandle(controller)) m_Usb.CloseHandle(controller);
}

void CBrvtUSBDev::FinishLaneReads()
{
    if (m_LaneReads.empty()) return;
    // Every bridge's first link read is at least the pause old once the last one is.
    util::SleepMs(m_LaneReads.back().firstReadMs + kLinkReadPauseMs - util::NowMs());
    for (const LaneRead& pending : m_LaneReads) {
        DeviceInfo& record = m_pDevList->Devs[pending.record];
        ScopedHandle device(Station(), device::host::CreateFile(Station(), pending.path, kOpenForCommands, kShareAll,
                                                                platform::OPEN_EXISTING, 0));
        if (!IsValidHandle(device.Get())) {
            DBG_ERR("%s:%d: strPhysicalAddress:[%s] , dwErrorCode %d", pending.path.c_str(), platform::GetLastError());
            record.m_strUsbConnectionStatus.clear();
            record.m_ucLinkSpeed = ucUsb3SpeedFromStatus(record.m_strUsbConnectionStatus);
            continue;
        }
        FinishLinkState(device.Get(), record);
    }
    m_LaneReads.clear();
}

std::vector<HANDLE> CBrvtUSBDev::OpenHostControllers(std::vector<std::string>& unopened)
{
    std::vector<HANDLE> handles;
    unopened.clear();
    const std::vector<std::string> paths = m_Usb.EnumerateHostControllers();
    for (const std::string& path : paths) {
        if (handles.size() == kMaxHostControllers) {
            unopened.push_back(path);
            continue;
        }
        const HANDLE handle = m_Usb.CreateFile(path);
        if (!IsValidHandle(handle)) {
            DBG_ERR("%s:%d: CreateFile Fail: dwErrorCode = %d, DevicePath:%s", platform::GetLastError(), path.c_str());
            break;
        }
        handles.push_back(handle);
    }
    return handles;
}

void CBrvtUSBDev::ListUnreachedBridges(const std::vector<std::string>& unopened, size_t firstIndex,
                                       const std::string& chipTypeFilter, int iBridgeType)
{
    for (size_t i = 0; i < unopened.size(); ++i) {
        const size_t index = firstIndex + i;
        DBG_WRN("%s:%d: Enum: host controller %d (%s) is beyond the %d the walk opens; its bridges are not identified",
                static_cast<int>(index), unopened[i].c_str(), static_cast<int>(kMaxHostControllers));
        ScopedUsbHandle controller(m_Usb, m_Usb.CreateFile(unopened[i]));
        if (!IsValidHandle(controller.Get())) continue;
        char reason[96];
        std::snprintf(reason, sizeof reason, "Host controller %d is beyond the %d the walk opens",
                      static_cast<int>(index), static_cast<int>(kMaxHostControllers));
        m_strUnreachable = reason;
        EnumerateHostController(controller.Get(), static_cast<int>(index), chipTypeFilter, iBridgeType);
        m_strUnreachable.clear();
    }
}

int CBrvtUSBDev::EnumerateHostController(HANDLE controller, int controllerIndex, const std::string& chipTypeFilter,
                                         int iBridgeType)
{
    device::host::UsbHostControllerInfo info;
    if (!m_Usb.GetHostControllerInfo(controller, info)) {
        DBG_ERR("%s:%d: GetHCDDriverKeyName: IOCTL_GET_HCD_DRIVERKEY_NAME Fail , dwErrorCode %d",
                platform::GetLastError());
        return static_cast<int>(platform::GetLastError());
    }
    DBG_MSG("%s:%d: HCD DriverKeyName:%s , DeviceDesc:%s , HardwareID:%s", info.driverKeyName.c_str(),
            info.deviceDesc.c_str(), info.hardwareId.c_str());
    // A controller shows one root hub per bus it drives (an xHCI controller a
    // USB 2 and a USB 3 one); each is walked, under the controller's index.
    std::vector<std::string> rootHubNames = info.rootHubNames;
    if (rootHubNames.empty()) rootHubNames.push_back(info.rootHubName);
    int result = 0;
    for (size_t i = 0; i < rootHubNames.size(); ++i) {
        const std::string rootHubPath = "\\\\.\\" + rootHubNames[i];
        ScopedUsbHandle rootHub(m_Usb, m_Usb.CreateFile(rootHubPath));
        if (!IsValidHandle(rootHub.Get())) {
            DBG_ERR("%s:%d:  Get Root Hub Name Fail , dwErrorCode %d", platform::GetLastError());
            result = static_cast<int>(platform::GetLastError());
            continue;
        }
        uint8_t ports = 0;
        if (!m_Usb.GetHubPortCount(rootHub.Get(), ports)) {
            result = static_cast<int>(platform::GetLastError());
            continue;
        }
        m_bSecondRootHub = i > 0;
        if (!m_pDevList->ucCDROMFound)
            GetPortData(rootHub.Get(), ports, 0, controllerIndex, rootHubPath, chipTypeFilter, iBridgeType);
        m_bSecondRootHub = false;
    }
    return result;
}

CBrvtUSBDev::HubEntry* CBrvtUSBDev::RegisterHub(const std::string& path, int portCount, bool secondRootHub)
{
    for (auto& hub : m_HubTable)
        if (hub.path == path) return &hub;
    // The table holds 16 hubs, a controller's root hubs counting as one: the
    // second root hub of each controller has room beside them.
    const auto counted = std::count_if(m_HubTable.begin(), m_HubTable.end(),
                                       [](const HubEntry& hub) { return !hub.secondRootHub; });
    if (!secondRootHub && static_cast<size_t>(counted) == kMaxHubTable) return nullptr;
    m_HubTable.push_back({path, portCount, {}, secondRootHub});
    return &m_HubTable.back();
}

void CBrvtUSBDev::MarkHubPort(const std::string& path, uint32_t port)
{
    for (auto& hub : m_HubTable)
        if (hub.path == path && port < hub.portFlags.size()) hub.portFlags[port] = 1;
}

void CBrvtUSBDev::GetPortData(HANDLE hub, int portCount, int depth, int controllerIndex, const std::string& hubName,
                              const std::string& chipTypeFilter, int iBridgeType)
{
    RegisterHub(hubName, portCount, depth == 0 && m_bSecondRootHub);
    if (m_ucRecordCount < MAX_DEVICES) m_pDevList->Devs[m_ucRecordCount].m_ulPortCount = portCount;
    for (int port = 1; port <= portCount; ++port) {
        device::host::UsbNodeConnection connection;
        uint8_t status = device::host::DeviceGeneralFailure;
        if (m_Usb.GetNodeConnectionInformation(hub, static_cast<uint32_t>(port), connection))
            status = connection.ConnectionStatus;
        DBG_MSG("%s:%d: iHubDepth[%d]  ulPortCount[%d] Port[%d]  = %s ,", depth, portCount, port,
                ConnectionStatusName(status));
        if (status == device::host::DeviceFailedEnumeration) {
            std::string driverKey, desc, hardwareId;
            m_Usb.GetNodeConnectionDriverKeyName(hub, static_cast<uint32_t>(port), driverKey);
            m_Usb.GetDeviceNodeByDriverKey(driverKey, desc, hardwareId);
            DBG_WRN("%s:%d:  Port[%d] iHubDepth[%d] ulPortCount[%d]= %s , DeviceFailedEnumeration , strDriverKeyName : "
                    "%s , strDeviceDesc : %s , dwErrorCode = %d",
                    port, depth, portCount, ConnectionStatusName(status), driverKey.c_str(), desc.c_str(),
                    platform::GetLastError());
            continue;
        }
        if (status != device::host::DeviceConnected) continue;

        if (connection.DeviceIsHub) {
            MarkHubPort(hubName, static_cast<uint32_t>(port));
            std::string externalName;
            if (!m_Usb.GetNodeConnectionName(hub, static_cast<uint32_t>(port), externalName)) {
                DBG_ERR("%s:%d: Not Find ConnectedHubName[%s]", externalName.c_str());
                continue;
            }
            const std::string externalPath = "\\\\?\\" + externalName;
            ScopedUsbHandle external(m_Usb, m_Usb.CreateFile(externalPath));
            uint8_t childPorts = 0;
            if (!IsValidHandle(external.Get()) || !m_Usb.GetHubPortCount(external.Get(), childPorts)) {
                DBG_ERR("%s:%d: Not Find ConnectedHubName[%s]", externalPath.c_str());
                continue;
            }
            m_iHubOffset = port;
            GetPortData(external.Get(), childPorts, depth + 1, controllerIndex, externalPath, chipTypeFilter,
                        iBridgeType);
            if (depth != 0) ++m_iHubOffset;
            m_iHubOffset -= childPorts * depth;
            continue;
        }

        m_PortStrings = {};
        m_Usb.GetNodeConnectionDriverKeyName(hub, static_cast<uint32_t>(port), m_PortStrings.driverKeyName);
        std::string hardwareId;
        m_Usb.GetDeviceNodeByDriverKey(m_PortStrings.driverKeyName, m_PortStrings.deviceDesc, hardwareId);
        DBG_MSG("%s:%d: GetPortData: DriverKeyName = %s , Desc = %s ,", m_PortStrings.driverKeyName.c_str(),
                m_PortStrings.deviceDesc.c_str());
        const uint16_t languageId = GetDeviceDescriptor(hub, static_cast<uint32_t>(port), connection.DeviceDescriptor);
        if (languageId == kNoSerialNumber) {
            DBG_WRN("%s:%d:  Invalid GetDeviceDescriptor , ulPortIndex [%d] , iHubDepth[%d] ulPortCount[%d] , "
                    "usLanguageID:%d , strVID:%s , strPID:%s , strIManufacture:%s , strIProduct:%s , "
                    "strSerialNumber:%s",
                    port, depth, portCount, languageId, m_PortStrings.vid.c_str(), m_PortStrings.pid.c_str(),
                    m_PortStrings.manufacturer.c_str(), m_PortStrings.product.c_str(), m_PortStrings.serial.c_str());
            MarkHubPort(hubName, static_cast<uint32_t>(port));
            continue;
        }
        const std::string deviceClass = m_PortStrings.driverKeyName.substr(0, 38);
        if (deviceClass != kUsbClassGuid && deviceClass == kDiskClassGuid) {
            DBG_WRN("%s:%d: ucPhysicalAddress [%d] Fail, strDriverKeyNaemLimit:%s", port, deviceClass.c_str());
            continue;
        }
        m_iPortLocation = port + 10 * m_iHubOffset + 100 * depth + 1000 * controllerIndex;
        m_ulPortIndex = static_cast<uint32_t>(port);
        if (!m_strUnreachable.empty()) {
            // A controller the walk does not work on: its bridges are listed
            // with the reason rather than left out.
            if (CarriesBridgeIdentity()) AddUnidentifiedRecord(m_strUnreachable, hubName);
            continue;
        }

        if (m_ucRecordCount >= MAX_DEVICES) {
            DBG_WRN("%s:%d: Port[%d] strSerialNumber:%s: the device list is full (%d records), bridge ignored", port,
                    m_PortStrings.serial.c_str(), MAX_DEVICES);
            continue;
        }
        DeviceInfo& record = m_pDevList->Devs[m_ucRecordCount];
        uint8_t address = record.m_ucPhysicalAddress;
        m_strIdentifyFailure.clear();
        if (m_ucMode == 1) {
            address = ucGetPhysicalAddressFromSN(m_PortStrings.serial, platform::FILE_DEVICE_DISK, iBridgeType);
            if (address == kAddressNotFound && iBridgeType != 1 && iBridgeType != 2) {
                DBG_WRN("%s:%d: Get ucPhysicalAddress[%d] failed, Try CD-ROM iBridgeType[%d]", address, iBridgeType);
                address = ucGetPhysicalAddressFromSN(m_PortStrings.serial, platform::FILE_DEVICE_CD_ROM, iBridgeType);
                if (address != kAddressNotFound) {
                    record.m_bCDROM = 1;
                    m_pDevList->ucCDROMFound = 1;
                    DBG_MSG("%s:%d: this  ucPhysicalAddress[%d] is CDROM", address);
                }
            }
        }
        if (address == kAddressNotFound) {
            DBG_WRN("%s:%d: Invalid  ucPhysicalAddress:%d, usLanguageID=%d, strSerialNumber:%s", address, languageId,
                    m_PortStrings.serial.c_str());
            // A bridge whose disk cannot be found is not left out silently: it
            // is listed with the failure, so that the run cannot pass without it.
            if (CarriesBridgeIdentity())
                AddUnidentifiedRecord(m_strIdentifyFailure.empty() ? "Disk not found" : m_strIdentifyFailure, hubName);
            continue;
        }
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\%s%d", record.m_bCDROM ? "CDROM" : "PHYSICALDRIVE", address);
        if (!vTestHandleFromPhysicalAddress(path, hubName, chipTypeFilter, iBridgeType)) {
            DBG_WRN("%s:%d: vTestHandleFromPhysicalAddress Fail , ulPortIndex [%d] iHubDepth[%d] ulPortCount[%d] , "
                    "strPhysicalAddress:%s",
                    port, depth, portCount, path);
            if (!m_strIdentifyFailure.empty() && CarriesBridgeIdentity())
                AddUnidentifiedRecord(m_strIdentifyFailure, hubName);
        }
    }
}

std::string CBrvtUSBDev::GetStringDescriptor(HANDLE hub, uint32_t port, uint16_t languageId, uint8_t index)
{
    std::u16string text;
    if (index == 0 || !m_Usb.GetStringDescriptor(hub, port, index, languageId, text)) return "";
    return Narrow(text);
}

uint16_t CBrvtUSBDev::GetDeviceDescriptor(HANDLE hub, uint32_t port, const device::host::USB_DEVICE_DESCRIPTOR& d)
{
    m_PortStrings.pid = Hex4(d.idProduct);
    m_PortStrings.vid = Hex4(d.idVendor);
    m_PortStrings.revision = Hex4(d.bcdDevice);
    std::u16string languages;
    uint16_t languageId = 0;
    if (m_Usb.GetStringDescriptor(hub, port, 0, 0, languages) && !languages.empty()) languageId = languages[0];
    m_PortStrings.manufacturer = GetStringDescriptor(hub, port, languageId, d.iManufacturer);
    m_PortStrings.product = GetStringDescriptor(hub, port, languageId, d.iProduct);
    m_PortStrings.serial = GetStringDescriptor(hub, port, languageId, d.iSerialNumber);
    DBG_MSG("%s:%d: Device Descriptor\r\nbLength %2.2x\r\nbDescriptorType %2.2x\r\nbcdUSB %4.4x\r\nbDeviceClass "
            "%2.2x\r\nbDeviceSubClass %2.2x\r\nbDeviceProtocol %2.2x\r\nbMaxPacketSize0 %2.2x\r\nidVendor "
            "%4.4x\r\nidProduct %4.4x\r\nbcdDevice %4.4x\r\niManufacturer %2.2x\r\niProduct %2.2x\r\niSerialNumber "
            "%2.2x\r\nbNumConfigurations %2.2x",
            d.bLength, d.bDescriptorType, d.bcdUSB, d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol,
            d.bMaxPacketSize0, d.idVendor, d.idProduct, d.bcdDevice, d.iManufacturer, d.iProduct, d.iSerialNumber,
            d.bNumConfigurations);
    return m_PortStrings.serial.empty() ? kNoSerialNumber : languageId;
}

bool CBrvtUSBDev::ChipFitsFamily(const char* chipId, int iBridgeType) const
{
    const std::string id(chipId);
    switch (iBridgeType) {
    case 0: return id == "8306";
    case 1: return id == "6830";
    case 2: return id == "7951" || id == "7956";
    default: return false;
    }
}

bool CBrvtUSBDev::ReadTableSerial(HANDLE hDev, int iBridgeType, std::string& serial, bool& onlyFillers)
{
    onlyFillers = false;
    uint8_t table[CONFIG_BIN_SIZE] = {};
    const CommandResult iResult = iBridgeType == 2
                                      ? SCSI7951_AccessConfigEEPROM(hDev, kReadFromDevice, table, CONFIG_BIN_SIZE, 0, 0)
                                      : SCSI8306_AccessConfigEEPROM(hDev, kReadFromDevice, table, CONFIG_BIN_SIZE, 0, 0);
    if (iResult != kCommandSuccess) return false;
    serial.clear();
    onlyFillers = true;
    for (int i = 4; i < 24; ++i) {
        const bool filler = table[i] == 0xFF || table[i] == 0x00;
        onlyFillers = onlyFillers && filler;
        serial += filler ? '0' : static_cast<char>(table[i]);
    }
    return true;
}

uint8_t CBrvtUSBDev::ucGetPhysicalAddressFromSN(const std::string& serialNumber, uint32_t deviceType, int iBridgeType)
{
    if (deviceType == platform::FILE_DEVICE_CD_ROM && !m_bCdromMatching) return kAddressNotFound;
    // A candidate whose storage serial is the wanted serial exactly wins over one
    // that merely contains it, so a serial that is part of another bridge's
    // serial never takes that bridge's disk.
    uint8_t containing = kAddressNotFound;
    for (const auto& storage : m_Usb.EnumerateStorageInterfaces(deviceType)) {
        for (const auto& [name, value] : storage.properties)
            DBG_MSG("%s:%d:  : %s %s", name.c_str(), value.c_str());
        platform::StorageDeviceNumber number;
        device::host::StorageDeviceProperty property;
        {
            ScopedUsbHandle interface(m_Usb, m_Usb.CreateFile(storage.devicePath));
            if (!IsValidHandle(interface.Get()) || !m_Usb.GetStorageDeviceNumber(interface.Get(), number)) continue;
            if (number.DeviceType != platform::FILE_DEVICE_DISK && number.DeviceType != platform::FILE_DEVICE_CD_ROM)
                continue;
            DBG_MSG("%s:%d: pspdidd->DevicePath: %s Device type: %d  number: %d  partition: %d, returned=%x",
                    storage.devicePath.c_str(), number.DeviceType, number.DeviceNumber, number.PartitionNumber, 1);
            if (!m_Usb.GetStorageDeviceProperty(interface.Get(), property)) {
                DBG_ERR("%s:%d: GetDisksProperty Failed!!dwOutBytes: %d  , dwErrorCode: %d", 0,
                        platform::GetLastError());
                continue;
            }
        }
        if (property.BusType != platform::BusTypeUsb && property.BusType != platform::BusTypeScsi) continue;
        const std::string propertySerial = Upper(property.SerialNumber.empty() ? "(NULL)" : property.SerialNumber);

        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\%s%d", deviceType == platform::FILE_DEVICE_CD_ROM ? "CDROM" : "PHYSICALDRIVE",
                      number.DeviceNumber);
        ScopedHandle device(Station(), device::host::CreateFile(Station(), path, kOpenForCommands, kShareAll,
                                                                platform::OPEN_EXISTING, 0));
        if (!IsValidHandle(device.Get())) {
            DBG_ERR("%s:%d: CreateFile Failed: \t strPhysicalAddress: %s ", path);
            DBG_ERR("%s:%d:  : Win8 78 Fail dwErrorCode : %d", platform::GetLastError());
            continue;
        }
        uint8_t inquiry[38];
        char chipId[8] = "";
        if (SCSI8306_Inquiry(device.Get(), inquiry, sizeof inquiry) == kCommandSuccess)
            std::snprintf(chipId, sizeof chipId, "%02X%02X", inquiry[37], inquiry[36]);
        else if (NamesSerial(propertySerial, storage.devicePath, serialNumber))
            m_strIdentifyFailure = "INQUIRY FAIL";  // the wanted bridge's disk did not answer
        if (!ChipFitsFamily(chipId, iBridgeType)) {
            if (iBridgeType == 0)
                DBG_MSG("%s:%d: This USB is not BRVT Chip: \t pspdidd->DevicePath: %s ", storage.devicePath.c_str());
            else if (iBridgeType == 1)
                DBG_MSG("%s:%d: This Device is not BRVT 6837 Chip: \t pspdidd->DevicePath: %s ",
                        storage.devicePath.c_str());
            else
                DBG_MSG("%s:%d: This USB is not BRVT 795x Chip: \t pspdidd->DevicePath: %s ,BridgeType:%d, DevID:%s",
                        storage.devicePath.c_str(), iBridgeType, chipId);
            continue;
        }
        std::string tableSerial;
        bool onlyFillers = false;
        ReadTableSerial(device.Get(), iBridgeType, tableSerial, onlyFillers);
        // A bridge without a serial of its own passes on its drive's serial.
        if (onlyFillers && deviceType == platform::FILE_DEVICE_DISK)
            ATAPassThrough_GetHDSerialNumber(device.Get(), tableSerial);
        const std::string pathSerial = SerialFromInterfacePath(storage.devicePath);
        const std::string wanted = Upper(serialNumber);
        const bool exact = propertySerial == wanted;
        const bool matches = exact || tableSerial.find(serialNumber) != std::string::npos ||
                             propertySerial.find(wanted) != std::string::npos ||
                             (!pathSerial.empty() && Upper(pathSerial).find(wanted) != std::string::npos);
        if (!matches) continue;

        const auto number8 = static_cast<uint8_t>(number.DeviceNumber);
        const bool taken = std::any_of(m_pDevList->Devs.begin(), m_pDevList->Devs.end(), [&](const DeviceInfo& r) {
            return deviceType == platform::FILE_DEVICE_CD_ROM ? r.m_ucCDROMAddress == number8
                                                              : r.m_ucPhysicalAddress == number8;
        });
        if (taken) {
            DBG_MSG("%s:%d: bSameDevFound , strValidSerialNumber %s , Physical Address = %d", serialNumber.c_str(),
                    number8);
            continue;
        }
        if (exact) {
            DBG_MSG("%s:%d: Get BRVT Device: %s Device type: %d  PhysicalAddress: %d  strDriverSerial: %s",
                    storage.devicePath.c_str(), number.DeviceType, number8, propertySerial.c_str());
            return number8;
        }
        if (containing == kAddressNotFound) containing = number8;
    }
    if (containing != kAddressNotFound)
        DBG_MSG("%s:%d: Get BRVT Device: %s Device type: %d  PhysicalAddress: %d  strDriverSerial: %s",
                serialNumber.c_str(), deviceType, containing, "");
    return containing;
}

uint8_t CBrvtUSBDev::vTestHandleFromPhysicalAddress(const std::string& path, const std::string& hubName,
                                                    const std::string& chipTypeFilter, int iBridgeType)
{
    ScopedHandle device(
        Station(), device::host::CreateFile(Station(), path, kOpenForCommands, kShareAll, platform::OPEN_EXISTING, 0));
    if (!IsValidHandle(device.Get())) {
        DBG_ERR("%s:%d: strPhysicalAddress:[%s] , dwErrorCode %d", path.c_str(), platform::GetLastError());
        m_strIdentifyFailure = "Disk open FAIL";
        return 0;
    }
    const HANDLE h = device.Get();
    uint8_t inquiry[38];
    if (SCSI8306_Inquiry(h, inquiry, sizeof inquiry) != kCommandSuccess) {
        DBG_ERR("%s:%d: strPhysicalAddress[%s] SCSI_Inquiry Fail , dwErrorCode %d", path.c_str(),
                platform::GetLastError());
        m_strIdentifyFailure = "INQUIRY FAIL";
        return 0;
    }
    char chipId[8];
    std::snprintf(chipId, sizeof chipId, "%02X%02X", inquiry[37], inquiry[36]);
    if (!ChipFitsFamily(chipId, iBridgeType)) return 0;

    DeviceInfo& record = m_pDevList->Devs[m_ucRecordCount];
    bool laneReadDue = false;
    std::string chipType;  // the 795x family compares an empty chip type
    if (iBridgeType == 2) {
        record.m_ucChipVariant = ucGet7951ChipVariant(h);
        DBG_MSG(std::string(chipId) == "7956" ? "%s:%d: 795x USB Mode: Tunnel" : "%s:%d: 795x USB Mode: Legacy");
        SCSI7951_AccessConfigEEPROM(h, kReadFromDevice, record.U4ConfigImage.data(), CONFIG_BIN_SIZE, 0, 1);
        laneReadDue = BeginLinkState(h, record);
    }
    if (chipTypeFilter != "0" && (chipType == "0" || chipType != chipTypeFilter)) {
        DBG_MSG("%s:%d: ct0[%s],ct1[%s]", chipTypeFilter.c_str(), chipType.c_str());
        return 0;
    }
    platform::StorageDeviceNumber number;
    bool cdrom = false;
    int pathNumber = -1;
    const bool parsed = std::sscanf(path.c_str(), "\\\\.\\PHYSICALDRIVE%d", &pathNumber) == 1 ||
                        (cdrom = std::sscanf(path.c_str(), "\\\\.\\CDROM%d", &pathNumber) == 1);
    if (!parsed || !m_Usb.GetStorageDeviceNumber(h, number) ||
        static_cast<int>(number.DeviceNumber) != pathNumber) {
        DBG_ERR("%s:%d: vTestHandleFromPhysicalAddress: strPhysicalAddress[%s] != StoDevNum.DeviceNumber[%d] ", path.c_str(),
                static_cast<int>(number.DeviceNumber));
        m_strIdentifyFailure = "Disk number FAIL";
        return 0;
    }

    record.m_ucDevIdx = m_ucRecordCount;
    if (cdrom) record.m_ucCDROMAddress = static_cast<uint8_t>(pathNumber);
    else record.m_ucPhysicalAddress = static_cast<uint8_t>(pathNumber);
    CopyPortFields(record, hubName);
    if (iBridgeType == 2) {
        record.m_strFWVersion = strGet7951FWVersion(h);
        ucGet7951DeviceType(h, record);
        record.m_ucUSBMode = ucGet7951USBMode(h, record.m_ucDevType);
        record.m_ucCCOrientation = static_cast<uint8_t>(nGet7951CCOrientation(h));
        m_strChipTypes += strGet7951ChipType(h);
        // Without its firmware version (register reads) the bridge cannot be
        // checked against the firmware: it is listed as failed, not left out.
        if (record.m_strFWVersion.empty()) {
            record.m_strIdentifyFailure = "FW version read FAIL";
            record.m_strUsbConnectionStatus = record.m_strIdentifyFailure;
        }
    }
    // The second link read waits for the end of the walk, behind one pause for all bridges.
    if (laneReadDue && record.m_strIdentifyFailure.empty())
        m_LaneReads.push_back({m_ucRecordCount, path, util::NowMs()});
    ++m_ucRecordCount;
    if (m_ucMode == 1) m_pDevList->DevNums = m_ucRecordCount;
    DBG_MSG("%s:%d: vTestHandleFromPhysicalAddress: Get Data[%s] [%d]", path.c_str(), m_ucRecordCount);
    return 1;
}
