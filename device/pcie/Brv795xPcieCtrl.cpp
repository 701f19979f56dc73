// The PCIe access path: configuration access to the station's PCIe functions,
// the register mailbox, and the scan, reset and relink of the targets.
#include "device/pcie/Brv795xPcieCtrl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "device/BrvtUSBDev.h"
#include "device/Registers.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace {
using namespace bridge_reg;

// Mailbox registers in the target's configuration space.
constexpr uint32_t kMailboxData = 0x700;
constexpr uint32_t kMailboxCommand = 0x780;
constexpr uint32_t kMailboxCommandSize = 8;
constexpr uint32_t kMailboxChipId = 0x788;
constexpr uint32_t kMailboxDoorbell = 0x790;
constexpr uint8_t kDoorbellRing = 0x5A;
constexpr uint8_t kDoorbellDone = 0xA5;

// Configuration header.
constexpr uint32_t kCfgVendorId = 0x00;
constexpr uint32_t kCfgDeviceId = 0x02;
constexpr uint32_t kCfgStatus = 0x06;
constexpr uint32_t kCfgCapabilityPointer = 0x34;
constexpr uint16_t kStatusCapabilityList = 0x0010;
constexpr uint8_t kCapabilityPcie = 0x10;
constexpr uint8_t kPortTypeUpstream = 5;
constexpr int kMaxCapabilities = 48;

// Polling of the doorbell: limit, and whether the 1 ms pause follows every
// poll or every 10th.
constexpr int kPollLimitW = 300;
constexpr int kPollLimitR = 3000;
constexpr int kPollLimitWdw = 5000;
constexpr int kPollLimitRdw = 50000;

constexpr uint8_t kOpConfigRead = 0xE0;
constexpr uint8_t kOpConfigWrite = 0xE1;
constexpr uint8_t kOpFirmwareRead = 0xE2;
constexpr uint8_t kOpFirmwareWrite = 0xE3;
constexpr uint8_t kOpRegisterRead = 0xE4;
constexpr uint8_t kOpRegisterWrite = 0xE5;
constexpr uint8_t kOpCpuReset = 0xE8;
constexpr uint8_t kBankLower = 0x50;
constexpr uint8_t kBankUpper = 0x51;
constexpr uint8_t kImageSelector = 0x50;


constexpr int64_t kResetSettleMs = 1500;
constexpr int64_t kRelinkRetryMs = 1500;
constexpr int kRelinkTimeOutSeconds = 60;

struct PollRule {
    int limit;
    bool pauseEveryTenth;
};
}  // namespace

// The configuration space of one function, opened for the lifetime of the
// object. A function that is not there, or a space the station cannot open,
// reads as all ones and ignores writes; so does an access the station refuses.
class CBrv795xPcieCtrl::ConfigWindow {
public:
    ConfigWindow(platform::IStation& station, const Bdf& bdf) : m_Region(station.OpenPcieConfig(bdf)) {}

    bool Opened() const { return m_Region != nullptr; }
    uint8_t Read8(uint32_t offset) const { return static_cast<uint8_t>(Read(offset, 1)); }
    uint16_t Read16(uint32_t offset) const { return static_cast<uint16_t>(Read(offset, 2)); }
    uint32_t Read32(uint32_t offset) const { return Read(offset, 4); }
    void Write8(uint32_t offset, uint8_t value) const { Write(offset, 1, value); }
    void Write32(uint32_t offset, uint32_t value) const { Write(offset, 4, value); }

private:
    uint32_t Read(uint32_t offset, uint32_t size) const
    {
        uint32_t value = 0;
        if (!m_Region || !m_Region->Read(offset, size, value)) return size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
        return value;
    }
    void Write(uint32_t offset, uint32_t size, uint32_t value) const
    {
        if (m_Region) m_Region->Write(offset, size, value);
    }

    std::unique_ptr<platform::IPcieRegion> m_Region;
};

CBrv795xPcieCtrl::CBrv795xPcieCtrl(platform::IStation& station) : m_Station(station) {}

int CBrv795xPcieCtrl::InitPcie()
{
    if (m_Station.PcieFunctions().empty()) {
        DBG_ERR("%s:%d: no pcie function reachable");
        return 0;
    }
    return 1;
}

int CBrv795xPcieCtrl::TargetCount() const
{
    std::shared_lock lock(m_TableLock);
    return static_cast<int>(m_Targets.size());
}

bool CBrv795xPcieCtrl::GetTarget(uint8_t target, PcieTarget& out) const
{
    std::shared_lock lock(m_TableLock);
    if (target >= m_Targets.size()) return false;
    out = m_Targets[target];
    return true;
}

bool CBrv795xPcieCtrl::TargetBdf(uint8_t target, Bdf& bdf) const
{
    std::shared_lock lock(m_TableLock);
    if (target >= m_Targets.size()) {
        DBG_ERR("%s:%d: target:%d > host:%d", target, static_cast<int>(m_Targets.size()));
        return false;
    }
    const PcieTarget& t = m_Targets[target];
    bdf = Bdf{t.segment, t.bus, t.device, t.function};
    return true;
}

std::mutex& CBrv795xPcieCtrl::MailboxLock(const Bdf& bdf)
{
    std::lock_guard lock(m_MailboxLocksLock);
    return m_MailboxLocks[bdf];  // map nodes never move
}

// --- mailbox ------------------------------------------------------------------------

namespace {
// Polls the doorbell until the bridge answers; false when the limit is reached.
template <class Window>
bool PollDoorbell(const Window& window, const PollRule& rule)
{
    for (int poll = 1; poll <= rule.limit; ++poll) {
        if (window.Read8(kMailboxDoorbell) == kDoorbellDone) return true;
        if (!rule.pauseEveryTenth || poll % 10 == 0) util::SleepMs(1);
    }
    return false;
}
}  // namespace

CommandResult CBrv795xPcieCtrl::MailboxWrite(const Bdf& bdf, const uint8_t* command, const uint8_t* data,
                                             uint32_t length, MailboxForm form)
{
    if (!command || (length > 0 && !data)) return kCommandInvalidArgument;
    const PollRule rule = form == MailboxForm::kByte ? PollRule{kPollLimitW, false} : PollRule{kPollLimitWdw, true};
    // One command at a time per target: the command block, the pieces and the
    // doorbell of two commands must never interleave.
    std::lock_guard mailbox(MailboxLock(bdf));
    const ConfigWindow window(m_Station, bdf);
    if (!window.Opened()) {
        DBG_ERR("%s:%d: open config BDF:%X,%X,%X fail", bdf.bus, bdf.device, bdf.function);
        return kCommandFailed;
    }
    for (uint32_t i = 0; i < kMailboxCommandSize; ++i) window.Write8(kMailboxCommand + i, command[i]);
    uint32_t done = 0;
    do {
        const uint32_t piece = std::min(kPcieMailboxPiece, length - done);
        uint32_t i = 0;
        if (form == MailboxForm::kDword)
            for (; i + 4 <= piece; i += 4) {
                uint32_t word = 0;
                std::memcpy(&word, data + done + i, 4);
                window.Write32(kMailboxData + i, word);
            }
        for (; i < piece; ++i) window.Write8(kMailboxData + i, data[done + i]);
        window.Write8(kMailboxDoorbell, kDoorbellRing);
        if (command[0] == kOpCpuReset) {
            // The bridge resets at once and cannot answer.
            DBG_MSG("%s:%d: CPU reset skip polling");
            return kCommandSuccess;
        }
        if (!PollDoorbell(window, rule)) {
            if (form == MailboxForm::kByte) DBG_ERR("%s:%d: time out:%d", rule.limit);
            else DBG_ERR("%s:%d: polling limit:%d", rule.limit);
            return kCommandPcieTimeOut;
        }
        done += piece;
    } while (done < length);
    return kCommandSuccess;
}

CommandResult CBrv795xPcieCtrl::MailboxRead(const Bdf& bdf, const uint8_t* command, uint8_t* data, uint32_t length,
                                            MailboxForm form)
{
    if (!command || (length > 0 && !data)) return kCommandInvalidArgument;
    const PollRule rule = form == MailboxForm::kByte ? PollRule{kPollLimitR, false} : PollRule{kPollLimitRdw, true};
    std::lock_guard mailbox(MailboxLock(bdf));
    const ConfigWindow window(m_Station, bdf);
    if (!window.Opened()) {
        DBG_ERR("%s:%d: open config BDF:%X,%X,%X fail", bdf.bus, bdf.device, bdf.function);
        return kCommandFailed;
    }
    for (uint32_t i = 0; i < kMailboxCommandSize; ++i) window.Write8(kMailboxCommand + i, command[i]);
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(kPcieMailboxPiece, length - done);
        window.Write8(kMailboxDoorbell, kDoorbellRing);
        if (!PollDoorbell(window, rule)) {
            if (form == MailboxForm::kByte) DBG_ERR("%s:%d: time out:%d", rule.limit);
            else DBG_ERR("%s:%d: polling limit:%d", rule.limit);
            return kCommandPcieTimeOut;
        }
        uint32_t i = 0;
        if (form == MailboxForm::kDword)
            for (; i + 4 <= piece; i += 4) {
                const uint32_t word = window.Read32(kMailboxData + i);
                std::memcpy(data + done + i, &word, 4);
            }
        for (; i < piece; ++i) data[done + i] = window.Read8(kMailboxData + i);
        done += piece;
    }
    return kCommandSuccess;
}

CommandResult CBrv795xPcieCtrl::pcie_W(uint8_t target, const uint8_t* command, const uint8_t* data, uint32_t length)
{
    Bdf bdf;
    if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
    return MailboxWrite(bdf, command, data, length, MailboxForm::kByte);
}

CommandResult CBrv795xPcieCtrl::pcie_R(uint8_t target, const uint8_t* command, uint8_t* data, uint32_t length)
{
    Bdf bdf;
    if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
    return MailboxRead(bdf, command, data, length, MailboxForm::kByte);
}

CommandResult CBrv795xPcieCtrl::pcie_Wdw(uint8_t target, const uint8_t* command, const uint8_t* data,
                                         uint32_t length)
{
    Bdf bdf;
    if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
    return MailboxWrite(bdf, command, data, length, MailboxForm::kDword);
}

CommandResult CBrv795xPcieCtrl::pcie_Rdw(uint8_t target, const uint8_t* command, uint8_t* data, uint32_t length)
{
    Bdf bdf;
    if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
    return MailboxRead(bdf, command, data, length, MailboxForm::kDword);
}

// --- register, configuration area, firmware area ---------------------------------------

CommandResult CBrv795xPcieCtrl::RegisterAccess(const Bdf& bdf, uint8_t ReadWrite, uint32_t address, uint8_t* buffer,
                                               uint32_t length)
{
    if (!buffer || length == 0 || length > kMaxRegisterTransfer) return kCommandInvalidArgument;
    // Above 0xFFFF the upper bank; only the low 16 bits of the address are sent.
    const uint8_t bank = address > 0xFFFF ? kBankUpper : kBankLower;
    const uint8_t high = static_cast<uint8_t>(address >> 8), low = static_cast<uint8_t>(address);
    if (ReadWrite == kWriteToDevice) {
        // One register byte per command: the first byte of the buffer.
        const uint8_t command[8] = {kOpRegisterWrite, buffer[0], bank, high, low, 0, 0, 0};
        return MailboxWrite(bdf, command, buffer, 1, MailboxForm::kByte);
    }
    std::memset(buffer, 0, length);
    const uint8_t command[8] = {kOpRegisterRead, static_cast<uint8_t>(length & 0xFF), bank, high, low, 0, 0, 0};
    return MailboxRead(bdf, command, buffer, length, MailboxForm::kByte);
}

CommandResult CBrv795xPcieCtrl::pcie_AccessRegister(uint8_t target, uint8_t ReadWrite, uint32_t address,
                                                    uint8_t* buffer, uint32_t length)
{
    try {
        Bdf bdf;
        if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
        return RegisterAccess(bdf, ReadWrite, address, buffer, length);
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): ucTargetNumber:%d", target);
        return kCommandFailed;
    }
}

CommandResult CBrv795xPcieCtrl::ConfigAccess(const Bdf& bdf, uint8_t ReadWrite, uint8_t* buffer, uint8_t image,
                                             uint8_t configType)
{
    const uint8_t opcode = ReadWrite == kWriteToDevice ? kOpConfigWrite : kOpConfigRead;
    const uint8_t command[8] = {opcode, static_cast<uint8_t>(kImageSelector + image), configType, 0, 0, 0, 0, 0};
    if (ReadWrite == kWriteToDevice) return MailboxWrite(bdf, command, buffer, CONFIG_BIN_SIZE, MailboxForm::kDword);
    return MailboxRead(bdf, command, buffer, CONFIG_BIN_SIZE, MailboxForm::kDword);
}

CommandResult CBrv795xPcieCtrl::pcie_AccessConfigEEPROM2(uint8_t target, uint8_t ReadWrite, uint8_t* buffer,
                                                         uint32_t length, uint8_t image, uint8_t configType)
{
    CommandResult result = kCommandFailed;
    try {
        Bdf bdf;
        if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
        // The bridge moves exactly one 128-byte table per command; a shorter
        // write would never reach the flash yet look complete.
        if (!buffer || length != CONFIG_BIN_SIZE || image > 1 || configType > 1) result = kCommandInvalidArgument;
        else result = ConfigAccess(bdf, ReadWrite, buffer, image, configType);
    } catch (...) {
        result = kCommandFailed;
    }
    if (result != kCommandSuccess)
        DBG_ERR("%s:%d: ucTargetNumber:%d, bWriteRead:%d, dwBufLen:%d, ucImage:%d, ucConfigType:%d", target,
                ReadWrite, static_cast<int>(length), image, configType);
    return result;
}

CommandResult CBrv795xPcieCtrl::pcie_AccessFirmwareEEPROM2(uint8_t target, uint8_t ReadWrite, uint8_t* buffer,
                                                           uint32_t length, uint8_t image)
{
    CommandResult result = kCommandFailed;
    try {
        Bdf bdf;
        if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
        if (!buffer || length == 0 || image > 1) {
            result = kCommandInvalidArgument;
        } else {
            const uint8_t opcode = ReadWrite == kWriteToDevice ? kOpFirmwareWrite : kOpFirmwareRead;
            const uint8_t command[8] = {opcode,
                                        static_cast<uint8_t>(kImageSelector + image),
                                        static_cast<uint8_t>(length >> 24),
                                        static_cast<uint8_t>(length >> 16),
                                        static_cast<uint8_t>(length >> 8),
                                        static_cast<uint8_t>(length),
                                        0,
                                        0};
            result = ReadWrite == kWriteToDevice ? MailboxWrite(bdf, command, buffer, length, MailboxForm::kDword)
                                                 : MailboxRead(bdf, command, buffer, length, MailboxForm::kDword);
        }
    } catch (...) {
        result = kCommandFailed;
    }
    if (result != kCommandSuccess)
        DBG_ERR("%s:%d: ucTargetNumber:%d, bWriteRead:%d, dwBufLen:%d, ucImage:%d", target, ReadWrite,
                static_cast<int>(length), image);
    return result;
}

CommandResult CBrv795xPcieCtrl::pcie_CPURST(uint8_t target, uint8_t funcCode)
{
    DBG_MSG("%s:%d: ucTargetNumber:%d, ucFuncCode:0x%x", target, funcCode);
    const uint8_t command[8] = {kOpCpuReset, funcCode, 0, 0, 0, 0, 0, 0};
    const uint8_t zeros[kPcieMailboxPiece] = {};
    return pcie_Wdw(target, command, zeros, sizeof zeros);
}

CommandResult CBrv795xPcieCtrl::nGet7951PCIeErrorRecoveryCount(uint8_t target, int& count)
{
    try {
        Bdf bdf;
        if (!TargetBdf(target, bdf)) return kCommandInvalidArgument;
        uint8_t value = 0;
        const CommandResult result = RegisterAccess(bdf, kReadFromDevice, kRegU4ErrorRecovery, &value, 1);
        if (result == kCommandSuccess) count = value;
        return result;
    } catch (...) {
        DBG_ERR("%s:%d: err:0x%x", static_cast<unsigned>(platform::GetLastError()));
        return kCommandFailed;
    }
}

// --- scan -----------------------------------------------------------------------------

namespace {
// The IDs asked for, or the maker's vendor ID with a device ID of the family.
bool IsCandidate(uint16_t vendor, uint16_t id, uint16_t vendorID, uint16_t deviceID)
{
    if (vendor == vendorID && id == deviceID) return true;
    return vendor == kPcieMakerVendorId &&
           std::find(kPcieFamilyDeviceIds.begin(), kPcieFamilyDeviceIds.end(), id) != kPcieFamilyDeviceIds.end();
}
}  // namespace

bool CBrv795xPcieCtrl::ReadTarget(const Bdf& bdf, PcieTarget& target)
{
    target.segment = bdf.segment, target.bus = bdf.bus, target.device = bdf.device, target.function = bdf.function;
    auto readByte = [&](uint32_t address, uint8_t& value) {
        return RegisterAccess(bdf, kReadFromDevice, address, &value, 1) == kCommandSuccess;
    };
    uint8_t version[6] = {};
    const CommandResult versionResult = RegisterAccess(bdf, kReadFromDevice, kRegFirmwareVersion, version, 6);
    if (versionResult != kCommandSuccess) {
        DBG_ERR("%s:%d: read fw version fail BDF:%X,%X,%X, iResult %d", bdf.bus, bdf.device, bdf.function,
                versionResult);
        return false;
    }
    std::copy_n(version, 6, target.firmwareVersion.begin());
    if (ConfigAccess(bdf, kReadFromDevice, target.configTable.data(), 0, 0) != kCommandSuccess)
        DBG_ERR("%s:%d: read config table fail BDF:%X,%X,%X", bdf.bus, bdf.device, bdf.function);
    if (ConfigAccess(bdf, kReadFromDevice, target.u4ConfigTable.data(), 0, 1) != kCommandSuccess)
        DBG_ERR("%s:%d: read u4 config fail BDF:%X,%X,%X", bdf.bus, bdf.device, bdf.function);
    std::copy_n(target.configTable.begin() + 4, target.serialNumber.size(), target.serialNumber.begin());
    target.vid = static_cast<uint16_t>(target.configTable[117] << 8 | target.configTable[116]);
    target.pid = static_cast<uint16_t>(target.configTable[119] << 8 | target.configTable[118]);

    uint8_t value = 0;
    target.ccOrientation = readByte(kRegCcOrientation, value) ? (value & 0x01) : 255;
    target.chipVariant = readByte(kRegVariantRevision, value) ? ((value >> 4) & 0x07) : 255;
    // USB4 mode and speed, computed as on the USB path.
    uint8_t link = 0, tunnel = 0;
    if (readByte(kRegU4Link, link) && readByte(kRegU4Tunnel, tunnel))
        target.u4Mode = !(link & 0x02) ? 0 : !(tunnel & 0x80) ? 1 : (link & 0x04) ? 3 : 2;
    uint8_t a = 0, c = 0, d = 0, e = 0;
    if (readByte(kRegU4SpeedA, a) && readByte(kRegU4SpeedC, c) && readByte(kRegU4SpeedD, d) &&
        readByte(kRegU4SpeedE, e)) {
        const int bit4 = (a & 0x10) ? 1 : 0;
        target.u4Speed = c == 1 && d == 2 ? static_cast<uint8_t>(4 + 2 * bit4 + (e == 2 ? 1 : 0))
                                          : static_cast<uint8_t>(bit4 ? 6 : 4);
    }
    target.deviceType = kPcieDeviceType;
    return true;
}

bool CBrv795xPcieCtrl::IsBridgePort(const Bdf& bdf, uint16_t vendorID, uint16_t deviceID, PcieTarget& target)
{
    const ConfigWindow window(m_Station, bdf);
    const uint16_t vendor = window.Read16(kCfgVendorId);
    const uint16_t id = window.Read16(kCfgDeviceId);
    if (vendor == 0xFFFF || id == 0xFFFF) return false;  // gone since it was listed
    if (!IsCandidate(vendor, id, vendorID, deviceID)) return false;
    if (!(window.Read16(kCfgStatus) & kStatusCapabilityList)) return false;
    bool upstream = false;
    uint8_t pointer = window.Read8(kCfgCapabilityPointer) & 0xFC;
    for (int n = 0; n < kMaxCapabilities && pointer >= 0x40; ++n) {
        if (window.Read8(pointer) == kCapabilityPcie) {
            upstream = ((window.Read16(pointer + 2u) >> 4) & 0x0F) == kPortTypeUpstream;
            break;
        }
        pointer = window.Read8(pointer + 1u) & 0xFC;
    }
    if (!upstream) return false;
    const uint16_t chipId = window.Read16(kMailboxChipId);
    if (chipId < kPcieChipIdFirst || chipId > kPcieChipIdLast) return false;
    target.vendorId = vendor, target.deviceId = id, target.chipId = chipId;
    return true;
}

std::vector<PcieTarget> CBrv795xPcieCtrl::Walk(uint16_t vendorID, uint16_t deviceID)
{
    std::vector<PcieTarget> found;
    for (const platform::PcieFunction& function : m_Station.PcieFunctions()) {
        if (found.size() >= kMaxPcieTargets) break;
        if (!IsCandidate(function.vendorId, function.deviceId, vendorID, deviceID)) continue;
        const Bdf& bdf = function.location;
        PcieTarget target;
        if (!IsBridgePort(bdf, vendorID, deviceID, target) || !ReadTarget(bdf, target)) continue;
        DBG_MSG("%s:%d: BDF:%X,%X,%X", bdf.bus, bdf.device, bdf.function);
        found.push_back(target);
    }
    return found;
}

int CBrv795xPcieCtrl::ScanPcie(uint16_t vendorID, uint16_t deviceID)
{
    try {
        std::vector<PcieTarget> found = Walk(vendorID, deviceID);
        std::unique_lock lock(m_TableLock);
        m_Targets = std::move(found);
        return static_cast<int>(m_Targets.size());
    } catch (...) {
        DBG_ERR("%s:%d: catch(...)");
        std::unique_lock lock(m_TableLock);
        m_Targets.clear();
        return 0;
    }
}

int CBrv795xPcieCtrl::ScanPcie(uint16_t vendorID, uint16_t deviceID, DeviceList& list, uint32_t startIndex)
{
    const int count = ScanPcie(vendorID, deviceID);
    for (int n = 0; n < count && startIndex + static_cast<uint32_t>(n) < MAX_DEVICES; ++n) {
        const uint32_t index = startIndex + static_cast<uint32_t>(n);
        list.Devs[index] = DeviceInfo{};
        vFillPcieRecord(static_cast<uint8_t>(n), static_cast<uint8_t>(index), list.Devs[index]);
    }
    return count;
}

bool CBrv795xPcieCtrl::vFillPcieRecord(uint8_t target, uint8_t recordIndex, DeviceInfo& record) const
{
    PcieTarget t;
    if (!GetTarget(target, t)) return false;
    record.IsPcie = 1;
    record.m_strDevTypeName = "7951";
    record.m_ucDevType = t.deviceType;
    record.m_ucDevIdx = recordIndex;
    record.m_strSerialNumber.clear();
    for (uint8_t c : t.serialNumber)
        if (c >= 32 && c <= 126) record.m_strSerialNumber += static_cast<char>(c);
    char text[16];
    std::snprintf(text, sizeof text, "%04X", t.pid);
    record.m_strPID = text;
    std::snprintf(text, sizeof text, "%04X", t.vid);
    record.m_strVID = text;
    record.m_ucChipVariant = t.chipVariant;
    record.m_ucU4Mode = t.u4Mode;
    record.m_ucCCOrientation = t.ccOrientation;
    record.m_ucLinkSpeed = t.u4Speed;
    record.m_strUsbConnectionStatus = U4SpeedText(t.u4Speed);
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", t.firmwareVersion[0], t.firmwareVersion[1],
                  t.firmwareVersion[2], t.firmwareVersion[3], t.firmwareVersion[4], t.firmwareVersion[5]);
    record.m_strFWVersion = text;
    record.U4ConfigImage = t.u4ConfigTable;
    return true;
}

// --- reset and relink -------------------------------------------------------------------

CommandResult CBrv795xPcieCtrl::CPURST(uint8_t target, uint8_t relinkSignature, uint8_t funcCode, uint16_t vendorID,
                                       uint16_t deviceID, uint8_t image0Enabled, uint8_t image1Enabled)
{
    (void)image1Enabled;  // image 1's block is read whenever image 0 is off
    Bdf resetBdf;
    if (!TargetBdf(target, resetBdf)) return kCommandInvalidArgument;
    // One bridge at a time leaves the bus and is searched for.
    std::lock_guard reload(CUSBUtility::Instance().m_ReloadFWCriticalSection);
    try {
        pcie_CPURST(target, funcCode);
        util::SleepMs(kResetSettleMs);
        const int64_t start = util::NowMs();
        const uint8_t image = image0Enabled ? 0 : 1;
        for (;;) {
            // The search keeps its own list: the shared table stays as it is for
            // the other workers, whose targets must not change index while this
            // bridge is away.
            const std::vector<PcieTarget> found = Walk(vendorID, deviceID);
            for (const PcieTarget& candidate : found) {
                std::array<uint8_t, CONFIG_BIN_SIZE> block = candidate.u4ConfigTable;
                const Bdf bdf{candidate.segment, candidate.bus, candidate.device, candidate.function};
                if (image != 0 && ConfigAccess(bdf, kReadFromDevice, block.data(), image, 1) != kCommandSuccess)
                    continue;
                if (block[124] != relinkSignature || block[125] != target) continue;
                DBG_MSG("%s:%d: found device BDF:%x,%x,%x", candidate.bus, candidate.device, candidate.function);
                std::unique_lock lock(m_TableLock);
                if (target < m_Targets.size()) m_Targets[target] = candidate;
                return kCommandSuccess;
            }
            if (util::NowMs() - start >= int64_t{kRelinkTimeOutSeconds} * 1000) {
                DBG_ERR("%s:%d: relink time out:%d", kRelinkTimeOutSeconds);
                return kCommandPcieTimeOut;
            }
            util::SleepMs(kRelinkRetryMs);
        }
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): ucTargetNumber:%d", target);
        return kCommandFailed;
    }
}
