#include "device/debug/DebugAccess.h"

#include <cctype>
#include <cstdio>
#include <random>

#include "config/ConfigTable.h"
#include "device/Registers.h"
#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"

namespace {

constexpr uint32_t kReadWrite = platform::GENERIC_READ | platform::GENERIC_WRITE;
constexpr uint32_t kShareReadWrite = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;
constexpr uint32_t kShareNone = 0;

std::string Format(const char* format, int value) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, int value)
{
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

const DeviceInfo& Record(const DebugDevice& target) { return target.devices.Devs[target.record % MAX_DEVICES]; }
bool OnPcie(const DebugDevice& target) { return Record(target).IsPcie != 0; }
// PCIe bridges follow the USB bridges in the list.
uint8_t PcieIndexOf(const DebugDevice& target)
{
    return static_cast<uint8_t>(target.record - target.devices.DevNums);
}

// "\\.\PHYSICALDRIVE%d" of the record, opened read/write with the given sharing.
HANDLE OpenPhysicalDrive(const DebugDevice& target, uint32_t shareMode)
{
    char path[40];
    std::snprintf(path, sizeof path, "\\\\.\\%s%d", "PHYSICALDRIVE", Record(target).m_ucPhysicalAddress);
    return device::host::CreateFile(target.dev.Station(), path, kReadWrite, shareMode, platform::OPEN_EXISTING, 0);
}

// A register access over the record's path; the USB path's handle is opened
// without sharing. kCommandDiskNotOpened when the device did not open.
CommandResult AccessRegister(const DebugDevice& target, uint8_t readWrite, uint32_t address, uint8_t* buffer,
                             uint32_t length)
{
    if (OnPcie(target)) return target.pcie.pcie_AccessRegister(PcieIndexOf(target), readWrite, address, buffer, length);
    ScopedHandle handle(target.dev.Station(), OpenPhysicalDrive(target, kShareNone));
    if (!handle.Valid()) return kCommandDiskNotOpened;
    return target.dev.SCSI7951_AccessRegister(handle.Get(), readWrite, address, buffer, length);
}

// One 128-byte table of the configuration area into `table` (left as it is on failure).
// kCommandDiskNotOpened (for the caller to log) when the USB device did not open.
CommandResult ReadTable(const DebugDevice& target, uint8_t configType, uint32_t shareMode,
                        std::array<uint8_t, CONFIG_BIN_SIZE>& table)
{
    CommandResult iResult = kCommandSuccess;
    if (OnPcie(target)) {
        iResult = target.pcie.pcie_AccessConfigEEPROM2(PcieIndexOf(target), kReadFromDevice, table.data(),
                                                       CONFIG_BIN_SIZE, target.image, configType);
        if (iResult != kCommandSuccess)
            DBG_ERR("%s:%d: bWrRdConfiguration: pcie_AccessConfigEEPROM2 Fail , iResult %d dwErrorCode %d", iResult,
                    static_cast<int>(platform::GetLastError()));
        return iResult;
    }
    ScopedHandle handle(target.dev.Station(), OpenPhysicalDrive(target, shareMode));
    if (!handle.Valid()) return kCommandDiskNotOpened;
    iResult = target.dev.SCSI7951_AccessConfigEEPROM(handle.Get(), kReadFromDevice, table.data(), CONFIG_BIN_SIZE,
                                                     target.image, configType);
    if (iResult != kCommandSuccess)
        DBG_ERR("%s:%d: bWrRdConfiguration: SCSI7951_AccessConfigEEPROM Fail , iResult %d dwErrorCode %d", iResult,
                static_cast<int>(platform::GetLastError()));
    return iResult;
}

// The message of a failed register access.
std::string AccessFailure(CommandResult iResult)
{
    return iResult == kCommandDiskNotOpened ? "OpenDev Fail" : Format("Access Device is Failed ! (%d)", iResult);
}

bool Bit(uint8_t value, int bit) { return (value >> bit) & 1; }

// The family mark of the variant register's bits 6..4.
const char* FamilyMark(uint8_t variant)
{
    std::string bits;
    if (Bit(variant, 5) || Bit(variant, 4)) bits += Bit(variant, 6) ? "1" : "0";
    bits += Bit(variant, 5) ? "1" : "0";
    bits += Bit(variant, 4) ? "1" : "0";
    static constexpr std::pair<const char*, const char*> kMarks[] = {
        {"00", "1-"}, {"001", "2-"}, {"010", "3-"}, {"011", "4-"}, {"101", "5-"}, {"110", "6-"}, {"111", "7-"}};
    for (const auto& [pattern, mark] : kMarks)
        if (bits == pattern) return mark;
    return "Not Defined";
}

}  // namespace

std::optional<uint32_t> ParseHexField(const std::string& text, uint32_t max)
{
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = first; i <= last; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c)) return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10);
        if (value > max) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::string strHexLines(const uint8_t* bytes, size_t length)
{
    std::string text;
    char hex[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
        if ((i + 1) % 16 == 0) text += '\n';
        else if (i + 1 < length) text += ' ';
    }
    return text;
}

DebugAnswer ReadRegister(const DebugDevice& target, uint32_t address, uint32_t length)
{
    DebugAnswer answer;
    if (length == 0) return answer;
    std::vector<uint8_t> bytes(length, 0);
    answer.result = AccessRegister(target, kReadFromDevice, address, bytes.data(), length);
    if (answer.result != kCommandSuccess) answer.message = AccessFailure(answer.result);
    else answer.text = strHexLines(bytes.data(), bytes.size());
    return answer;
}

DebugAnswer WriteRegister(const DebugDevice& target, uint32_t address, uint8_t value)
{
    DebugAnswer answer;
    answer.result = AccessRegister(target, kWriteToDevice, address, &value, 1);
    if (answer.result != kCommandSuccess) answer.message = AccessFailure(answer.result);
    return answer;
}

DebugAnswer ReadConfigArea(const DebugDevice& target, uint8_t configType)
{
    std::array<uint8_t, CONFIG_BIN_SIZE> table;
    table.fill(0xFF);
    DebugAnswer answer;
    answer.result = ReadTable(target, configType, kShareReadWrite, table);
    if (answer.result == kCommandDiskNotOpened)
        DBG_ERR("%s:%d: create handle fail, err:%x", static_cast<unsigned>(platform::GetLastError()));
    answer.text = strHexLines(table.data(), table.size());
    // The 0xFF filler is not the bridge's table: the operator is told the read failed.
    if (answer.result != kCommandSuccess) answer.message = AccessFailure(answer.result);
    return answer;
}

std::string strU4UUID(const std::array<uint8_t, CONFIG_BIN_SIZE>& u4Image)
{
    std::string digits;
    char hex[3];
    for (size_t offset = 0x59; offset >= 0x54; --offset) {
        std::snprintf(hex, sizeof hex, "%02X", u4Image[offset]);
        digits += hex;
    }
    return "2B9D-" + digits.substr(1) + "-0";
}

DebugAnswer U4Info(const DebugDevice& target)
{
    int count = 0;
    CommandResult iResult = kCommandSuccess;
    if (OnPcie(target)) {
        iResult = target.pcie.nGet7951PCIeErrorRecoveryCount(PcieIndexOf(target), count);
        if (iResult != kCommandSuccess)
            DBG_ERR("%s:%d: pcie nGet7951PCIeErrorRecoveryCount Fail , iResult %d dwErrorCode %d", iResult,
                    static_cast<int>(platform::GetLastError()));
    } else {
        uint8_t value = 0;
        iResult = AccessRegister(target, kReadFromDevice, bridge_reg::kRegU4ErrorRecovery, &value, 1);
        if (iResult != kCommandSuccess)
            DBG_ERR("%s:%d: nGet7951PCIeErrorRecoveryCount Fail , iResult %d dwErrorCode %d", iResult,
                    static_cast<int>(platform::GetLastError()));
        count = value;
    }
    if (iResult != kCommandSuccess) count = 0;
    DebugAnswer answer;
    answer.result = iResult;
    char text[128];
    std::snprintf(text, sizeof text, "U4 info\r\n UUID: %s\r\n ErrRecovCnt: %d",
                  strU4UUID(Record(target).U4ConfigImage).c_str(), count);
    answer.message = text;
    return answer;
}

// --- the device information dialog ----------------------------------------------------------

std::string strIdleTimerText(uint8_t idleTimer)
{
    switch (static_cast<int8_t>(idleTimer)) {
    case -15: return "3 min";
    case -14: return "5 min";
    case -13: return "10 min";
    case -12: return "15 min";
    case -11: return "20 min";
    case -10: return "30 min";
    case -9: return "1 hr";
    case -8: return "2 hr";
    case -7: return "3 hr";
    case -6: return "4 hr";
    case -5: return "5 hr";
    case -1: return "Never";
    default: return "NULL";
    }
}

std::array<std::string, 10> ConfigSettingRow(uint8_t optionFlags, uint8_t idleTimer)
{
    std::array<std::string, 10> row;
    row[0] = kConfigSettingRow;
    for (int bit = 0; bit < 8; ++bit) row[1 + bit] = Bit(optionFlags, bit) ? "X" : "O";
    row[9] = strIdleTimerText(idleTimer);
    return row;
}

std::string strUSBModeText(const std::string& chipId)
{
    if (chipId == "7951") return "USB Mode: Legacy";
    if (chipId == "7956") return "USB Mode: Tunnel";
    return {};
}

std::string strDeviceCodeText(uint8_t features, uint8_t variant, uint8_t usbMode, unsigned seed)
{
    std::minstd_rand random(seed);
    const long a = static_cast<long>(random() % 9991);
    const long b = static_cast<long>(random() % 5000);
    std::string text = std::to_string(a - b + 10) + FamilyMark(variant);
    random.seed(seed);
    const long c = static_cast<long>(random() % 5000);
    const long d = static_cast<long>(random() % 9991);
    text += std::to_string(c + d + 10);
    text += Bit(variant, 1) ? "2" : std::to_string(variant & 0x0F);
    const bool noUasp = Bit(features, 2) || (!Bit(variant, 5) && !Bit(variant, 4) && Bit(variant, 1) && Bit(features, 1));
    text += "\n\nSupport UASP : ";
    text += noUasp ? "No \n" : "Yes \n";
    text += "\nEnable UASP : ";
    text += Bit(usbMode, 7) ? "Yes \n" : "No \n";
    return text;
}

namespace {

// vReadConfigTable: the option flags and the idle timer of the chosen image's table.
void ReadConfigSettings(const DebugDevice& target, DeviceInfoView& view)
{
    std::array<uint8_t, CONFIG_BIN_SIZE> table;
    table.fill(0xFF);
    const CommandResult iResult = ReadTable(target, kConfigTypeTable, kShareNone, table);
    if (iResult == kCommandDiskNotOpened)
        DBG_ERR("%s:%d: vReadConfigTable: Create Handle Fail , dwErrorCode %d",
                static_cast<int>(platform::GetLastError()));
    if (iResult != kCommandSuccess) {
        view.row = {kConfigSettingRow, "", "", "", "", "", "", "", "", "NULL"};
        view.messages.push_back(AccessFailure(iResult));
        return;
    }
    view.row = ConfigSettingRow(table[config_table::kOptions], table[config_table::kPowerOrStandby]);
}

// vSet795xUSBMode: the chip ID of the INQUIRY answer (USB path only: a bridge
// reached over PCIe answers no INQUIRY).
void ReadUSBMode(const DebugDevice& target, DeviceInfoView& view)
{
    if (OnPcie(target)) return;
    ScopedHandle handle(target.dev.Station(), OpenPhysicalDrive(target, kShareNone));
    if (!handle.Valid()) {
        DBG_ERR("%s:%d: iGet795xUSBMode: Create Handle Fail , dwErrorCode %d", static_cast<int>(platform::GetLastError()));
        return;
    }
    uint8_t inquiry[38] = {};
    const CommandResult iResult = target.dev.SCSI8306_Inquiry(handle.Get(), inquiry, sizeof inquiry);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: iGet795xUSBMode: Inquiry Fail , iResult %d dwErrorCode %d", iResult,
                static_cast<int>(platform::GetLastError()));
        return;
    }
    char chipId[8];
    std::snprintf(chipId, sizeof chipId, "%02X%02X", inquiry[37], inquiry[36]);
    view.usbMode = strUSBModeText(chipId);
}

// SetDeviceConfigStatic: the device code from registers 0xC890, 0xC8FF and 0x9000.
void ReadDeviceCode(const DebugDevice& target, unsigned seed, DeviceInfoView& view)
{
    uint8_t features = 0, variant = 0, usbMode = 0;
    CommandResult iResult = AccessRegister(target, kReadFromDevice, bridge_reg::kRegDeviceFeatures, &features, 1);
    if (iResult != kCommandSuccess) {
        view.messages.push_back(AccessFailure(iResult));
        return;
    }
    for (auto [address, value] : {std::pair{bridge_reg::kRegVariantRevision, &variant},
                                  std::pair{bridge_reg::kRegUsbMode, &usbMode}}) {
        iResult = AccessRegister(target, kReadFromDevice, address, value, 1);
        if (iResult != kCommandSuccess) {
            view.messages.push_back(Format("Access Register Failed ! (%d)", iResult));
            return;
        }
    }
    view.deviceCode = strDeviceCodeText(features, variant, usbMode, seed);
}

}  // namespace

DeviceInfoView ReadDeviceInfo(const DebugDevice& target, unsigned seed)
{
    DeviceInfoView view;
    ReadConfigSettings(target, view);
    ReadUSBMode(target, view);
    ReadDeviceCode(target, seed, view);
    return view;
}
