// Bridge firmware download, configuration transfer, CPU reset and the relink
// search that finds the bridge again after it re-enumerated.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "device/BrvtUSBDev.h"
#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace {
constexpr uint32_t kOneSegmentMax = 65536;
constexpr uint32_t kFirstSegment = 65280;
constexpr int kDownloadAttempts = 10;
constexpr int kVerifyPasses = 2;
constexpr int64_t kSegmentPauseMs = 1000;
constexpr int64_t kRetryPauseMs = 500;
constexpr int64_t kSpiSettleMs = 1000;
constexpr int64_t kResetPauseMs = 1500;
constexpr int kRelinkTimeOutS = 480;
constexpr int kRelinkTimeOutCdromS = 300;
constexpr int64_t kDiskSettleMs = 500;
constexpr int64_t kCdromSettleMs = 1500;
constexpr int64_t kOpenFailPauseMs = 200;
constexpr int64_t kProbePauseMs = 300;
constexpr int64_t kPassPauseMs = 1000;
constexpr uint32_t kRelinkSignatureByte = 124;
constexpr uint32_t kRelinkTargetByte = 125;
constexpr size_t kPowerConfigFields = 300;
constexpr uint32_t kReadWrite = platform::GENERIC_READ | platform::GENERIC_WRITE;
constexpr uint32_t kShareAll = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}
}  // namespace

// --- firmware download -------------------------------------------------------------

uint8_t CBrvtUSBDev::v7951UpdateFirmware(uint8_t ucTargetNumber, uint8_t image, uint8_t verify,
                                         const std::string& firmwarePath)
{
    const DeviceInfo* record = Record(ucTargetNumber, "v7951UpdateFirmware");
    if (!record) return 0;
    std::vector<uint8_t> file;
    if (!ReadWholeFile(firmwarePath, file) || file.empty()) {
        // Nothing to write is a failed download, never an empty success.
        DBG_ERR("%s:%d: v7951UpdateFirmware: [%d] firmware file [%s] missing or empty , dwErrorCode %d", ucTargetNumber,
                firmwarePath.c_str(), platform::GetLastError());
        return 0;
    }
    const auto length = static_cast<uint32_t>(file.size());
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!handle.Valid()) {
        DBG_ERR("%s:%d: ucTargetNumber: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber, platform::GetLastError());
        return 0;
    }

    // One transfer of the image in the firmware area's segments, with the pauses
    // the flash needs between them.
    auto transfer = [&](uint8_t readWrite, uint8_t* data) {
        if (length <= kOneSegmentMax)
            return SCSI7951_AccessFirmwareEEPROM_Direct(handle.Get(), readWrite, data, length, image, 0);
        SCSI7951_AccessFirmwareEEPROM_Direct(handle.Get(), readWrite, data, kFirstSegment, image, 0);
        util::SleepMs(kSegmentPauseMs);
        const CommandResult result = SCSI7951_AccessFirmwareEEPROM_Direct(handle.Get(), readWrite, data + kFirstSegment,
                                                                          length - kFirstSegment, image, 1);
        util::SleepMs(kSegmentPauseMs);
        return result;
    };

    bool failed = false;
    for (int attempt = 0; attempt < kDownloadAttempts; ++attempt) {
        const CommandResult iResult = transfer(kWriteToDevice, file.data());
        if (iResult == kCommandSuccess) break;
        util::SleepMs(kRetryPauseMs);
        failed = true;  // stays even when a later attempt succeeds
        DBG_ERR("%s:%d: v7951UpdateFirmware: [%d] SCS7951_AccessFirmwareEEPROM Fail Retry[%d], iResult %d dwErrorCode %d",
                ucTargetNumber, attempt, iResult, platform::GetLastError());
    }

    if (verify) {
        std::vector<uint8_t> back(length);
        for (int pass = 0; pass < kVerifyPasses && (pass == 0 || failed); ++pass) {
            char note[64];
            std::snprintf(note, sizeof note, "delay %d for SPI write\r\n", static_cast<int>(kSpiSettleMs));
            devlog::OutputDebugString(note);
            util::SleepMs(kSpiSettleMs);
            std::fill(back.begin(), back.end(), 0);
            const CommandResult iResult = transfer(kReadFromDevice, back.data());
            // Four bytes at a time, the trailing 1 to 3 bytes singly.
            size_t mismatch = length;
            for (size_t at = 0; at + 4 <= length && mismatch == length; at += 4)
                if (std::memcmp(&file[at], &back[at], 4) != 0) mismatch = at;
            for (size_t at = length & ~size_t{3}; at < length && mismatch == length; ++at)
                if (file[at] != back[at]) mismatch = at;
            if (iResult != kCommandSuccess || mismatch != length) {
                failed = true;
                DBG_ERR("%s:%d: ucTargetNumber[%d] MEMCMP failed , iResult %d dwErrorCode %d, Retry %d ", ucTargetNumber,
                        iResult, platform::GetLastError(), pass);
                if (mismatch != length) {
                    const size_t at = mismatch & ~size_t{3};
                    auto byteAt = [&](const std::vector<uint8_t>& v, size_t i) { return i < length ? v[i] : 0; };
                    DBG_ERR("%s:%d: MEMCMP failed 0x%x[%02x]!=[%02x] 0x%x[%02x]!=[%02x] 0x%x[%02x]!=[%02x] "
                            "0x%x[%02x]!=[%02x]\r\n ",
                            static_cast<unsigned>(at), byteAt(file, at), byteAt(back, at),
                            static_cast<unsigned>(at + 1), byteAt(file, at + 1), byteAt(back, at + 1),
                            static_cast<unsigned>(at + 2), byteAt(file, at + 2), byteAt(back, at + 2),
                            static_cast<unsigned>(at + 3), byteAt(file, at + 3), byteAt(back, at + 3));
                }
            }
            DBG_MSG("%s:%d: CheckFirmware: [%d] iResult %d dwErrorCode %d, Retry %d ", ucTargetNumber, iResult,
                    platform::GetLastError(), pass);
        }
    }
    return failed ? 0 : 1;
}

uint8_t CBrvtUSBDev::b7951WrRdConfiguration(uint8_t ucTargetNumber, uint8_t ReadWrite, uint8_t* buffer, uint8_t image,
                                            uint8_t configType)
{
    const DeviceInfo* record = Record(ucTargetNumber, "b7951WrRdConfiguration");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!handle.Valid()) {
        DBG_ERR("%s:%d: b7951WrRdConfiguration: [%d] CreateFile Fail, ucConfigType %d dwErrorCode %d", ucTargetNumber,
                configType, platform::GetLastError());
        return 0;
    }
    const CommandResult iResult =
        SCSI7951_AccessConfigEEPROM(handle.Get(), ReadWrite, buffer, CONFIG_BIN_SIZE, image, configType);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: b7951WrRdConfiguration: [%d] SCSI7951_AccessConfigEEPROM Fail, ucConfigType %d iResult %d "
                "dwErrorCode %d",
                ucTargetNumber, configType, iResult, platform::GetLastError());
        return 0;
    }
    return 1;
}

// --- reset and relink ------------------------------------------------------------

uint8_t CBrvtUSBDev::v7951CPURST(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount, uint8_t resetCode,
                                 int iBridgeType)
{
    const DeviceInfo* record = Record(ucTargetNumber, "v7951CPURST");
    if (!record) return 0;
    uint8_t found = 0;
    {
        DBG_MSG("%s:%d: ::EnterCriticalSection(&pUtility.m_ReloadFWCriticalSection)");
        std::lock_guard reload(CUSBUtility::Instance().m_ReloadFWCriticalSection);
        // Disks that arrive from now on may be this bridge coming back.
        const uint64_t arrivalMark = Station().DiskArrivalMark();
        {
            ScopedHandle handle(Station(), OpenRecord(*record));
            if (!handle.Valid()) {
                DBG_ERR("%s:%d: vCPURST: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                        platform::GetLastError());
                DBG_MSG("%s:%d: ::LeaveCriticalSection(&pUtility.m_ReloadFWCriticalSection)");
                return 0;
            }
            const CommandResult iResult = SCSI7951_CPURST(handle.Get(), resetCode);
            DBG_MSG("%s:%d: sleep 1500");
            util::SleepMs(kResetPauseMs);
            if (iResult != kCommandSuccess)
                DBG_ERR("%s:%d: v7951CPURST: [%d] SCSI7951_CPURST Fail , iResult %d dwErrorCode %d", ucTargetNumber,
                        iResult, platform::GetLastError());
        }
        found = RelinkSearch(ucTargetNumber, relinkSignature, probeCount, iBridgeType, arrivalMark);
        ++m_iResetCount;
        DBG_MSG("%s:%d: ::LeaveCriticalSection(&pUtility.m_ReloadFWCriticalSection)");
    }
    // The bridge's disk is known now: its link state (with the pause between
    // the two link reads) is read without keeping the other bridges waiting.
    if (found && iBridgeType == 2) RefreshLinkState(m_pDevList->Devs[ucTargetNumber]);
    return found;
}

uint8_t CBrvtUSBDev::bDetectTargetUSBDevice(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount,
                                            int iBridgeType)
{
    const uint8_t found =
        RelinkSearch(ucTargetNumber, relinkSignature, probeCount, iBridgeType, Station().DiskArrivalMark());
    if (found && iBridgeType == 2) RefreshLinkState(m_pDevList->Devs[ucTargetNumber]);
    return found;
}

void CBrvtUSBDev::RefreshLinkState(DeviceInfo& record)
{
    ScopedHandle handle(Station(), OpenRecord(record));
    if (handle.Valid()) ReadLinkState(handle.Get(), record);
}

namespace {
// Disk numbers a relink pass probes: the disks that arrived since the reset
// (oldest first) that are among the candidates 1..probeCount + 1, then the
// other candidates in their order.
std::vector<int> RelinkCandidates(const std::vector<uint32_t>& arrived, int probeCount)
{
    std::vector<int> candidates;
    for (uint32_t disk : arrived)
        if (disk >= 1 && static_cast<int>(disk) <= probeCount + 1 &&
            std::find(candidates.begin(), candidates.end(), static_cast<int>(disk)) == candidates.end())
            candidates.push_back(static_cast<int>(disk));
    for (int disk = 1; disk <= probeCount + 1; ++disk)
        if (std::find(candidates.begin(), candidates.end(), disk) == candidates.end()) candidates.push_back(disk);
    return candidates;
}
}  // namespace

uint8_t CBrvtUSBDev::RelinkSearch(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount, int iBridgeType,
                                  uint64_t arrivalMark)
{
    if (!m_pDevList || ucTargetNumber >= MAX_DEVICES) return 0;
    DeviceInfo& record = m_pDevList->Devs[ucTargetNumber];
    const bool cdrom = record.m_bCDROM != 0;
    const int timeOutS = cdrom ? kRelinkTimeOutCdromS : kRelinkTimeOutS;
    const int64_t settleMs = cdrom ? kCdromSettleMs : kDiskSettleMs;
    const int64_t startS = util::NowMs() / 1000;
    DBG_MSG("%s:%d:  [%d] ucValidTotalThread =[%d], Entry...", ucTargetNumber, relinkSignature);

    // A station that reports disk arrivals lets a pass wait for the bridge to
    // come back instead of pausing blindly; the disks that arrived since the
    // reset are probed first, then every other candidate in the usual order.
    const bool arrivals = !cdrom && Station().TracksDiskArrivals();
    uint64_t passMark = arrivalMark;  // arrivals up to here were offered to a pass
    for (bool firstPass = true;; firstPass = false) {
        std::vector<uint32_t> arrived;
        if (arrivals) {
            Station().WaitForDiskArrival(passMark, kPassPauseMs);
            passMark = Station().DiskArrivalMark();
            arrived = Station().DisksArrivedSince(arrivalMark);
        } else if (!firstPass) {
            util::SleepMs(kPassPauseMs);
        }
        std::vector<int> candidates;
        if (cdrom) candidates = {m_iResetCount + 1, record.m_ucCDROMAddress};
        else candidates = RelinkCandidates(arrived, probeCount);
        for (int number : candidates) {
            char path[32];
            std::snprintf(path, sizeof path, "\\\\.\\%s%d", cdrom ? "CDROM" : "PHYSICALDRIVE", number);
            ScopedHandle handle(Station(), device::host::CreateFile(Station(), path, kReadWrite, kShareAll,
                                                                    platform::OPEN_EXISTING, 0));
            if (!handle.Valid()) {
                DBG_MSG("%s:%d:  ucTargetNum[%d] createfile strPhysicalAddress[%s] failed", ucTargetNumber, path);
                util::SleepMs(kOpenFailPauseMs);
                continue;
            }
            ++m_iRelinkProbes;
            uint8_t stamp[2] = {};
            CommandResult iResult = kCommandFailed;
            if (iBridgeType == 2) {
                util::SleepMs(kProbePauseMs);
                uint8_t inquiry[38];
                uint8_t table[CONFIG_BIN_SIZE] = {};
                if (SCSI8306_Inquiry(handle.Get(), inquiry, sizeof inquiry) != kCommandSuccess) continue;
                iResult = SCSI7951_AccessConfigEEPROM(handle.Get(), kReadFromDevice, table, CONFIG_BIN_SIZE,
                                                      m_ucRelinkImage, 1);
                stamp[0] = table[kRelinkSignatureByte];
                stamp[1] = table[kRelinkTargetByte];
            } else {
                iResult = SCSI8306_AccessRegister(handle.Get(), kReadFromDevice, 0xCA02, stamp, 2);
            }
            if (iResult != kCommandSuccess) {
                DBG_ERR("%s:%d:  [%d] SCSI8306_AccessRegister Fail , iResult %d dwErrorCode %d", ucTargetNumber, iResult,
                        platform::GetLastError());
                continue;
            }
            if (stamp[0] != relinkSignature || stamp[1] != ucTargetNumber) continue;

            util::SleepMs(settleMs);
            uint8_t inquiry[38];
            iResult = SCSI8306_Inquiry(handle.Get(), inquiry, sizeof inquiry);
            if (iResult != kCommandSuccess) {
                DBG_ERR("%s:%d:  SCSI8306_Inquiry Fail , ucTargetNum:[%d] , strPhysicalAddress [%s] ,iResult[%d], "
                        "dwErrorCode %d",
                        ucTargetNumber, path, iResult, platform::GetLastError());
                continue;
            }
            char chipId[8];
            std::snprintf(chipId, sizeof chipId, "%02X%02X", inquiry[37], inquiry[36]);
            if (!ChipFitsFamily(chipId, iBridgeType)) continue;
            if (!cdrom) {
                const char letter = vGetLogicalAddressFromPhysicalAddress(static_cast<uint8_t>(number), 0);
                if (letter != kNoDriveLetter) record.m_cDriveLetter = letter;
                record.m_ucPhysicalAddress = static_cast<uint8_t>(number);
                DBG_MSG("%s:%d:  ucTargetNum[%d] assign new  PhysicalAddress [%d]", ucTargetNumber, number);
            } else {
                record.m_ucCDROMAddress = static_cast<uint8_t>(number);
                DBG_MSG("%s:%d:  ucTargetNum[%d] assign new CDROM PhysicalAddress [%d]", ucTargetNumber, number);
            }
            if (iBridgeType == 2) {
                record.m_strFWVersion = strGet7951FWVersion(handle.Get());
                bUpdateDeviceInfo(record);
                DBG_MSG(std::string(chipId) == "7956" ? "%s:%d: 795x USB Mode: Tunnel" : "%s:%d: 795x USB Mode: Legacy");
            }
            DBG_MSG("%s:%d: ucTargetNum [%d] Found device!!!", ucTargetNumber);
            return 1;
        }
        if (util::NowMs() / 1000 - startS > timeOutS) {
            DBG_ERR("%s:%d:  [%d] *** Timeout *** iRelinkTimeOut[%d]", ucTargetNumber, timeOutS);
            return 0;
        }
    }
}

uint8_t CBrvtUSBDev::bUpdateDeviceInfo(DeviceInfo& record)
{
    BasicScopedHandle<device::host::UsbTree> hub(m_Usb, m_Usb.CreateFile(record.m_strHubName));
    if (!hub.Valid()) {
        DBG_ERR("%s:%d: bUpdateDeviceInfo, create root hub handle Fail , RootHubName: %s PortIndex %d",
                record.m_strHubName.c_str(), record.m_ulPortIndex);
        return 0;
    }
    const HubEntry* entry = nullptr;
    for (const auto& h : m_HubTable)
        if (h.path == record.m_strHubName) entry = &h;
    // The bridge is on its recorded port unless that port now answers for
    // something else; then the other ports that carry no hub and no device
    // without serial number are tried in turn.
    const int ports = record.m_ulPortCount > 0 ? record.m_ulPortCount : 0;
    for (int step = 0; step < std::max(ports, 1); ++step) {
        int port = record.m_ulPortIndex + step;
        if (ports > 0) port = (record.m_ulPortIndex - 1 + step) % ports + 1;
        if (step > 0 && entry && port < static_cast<int>(entry->portFlags.size()) && entry->portFlags[port]) continue;
        device::host::UsbNodeConnection connection;
        if (!m_Usb.GetNodeConnectionInformation(hub.Get(), static_cast<uint32_t>(port), connection)) continue;
        if (connection.ConnectionStatus != device::host::DeviceConnected || connection.DeviceIsHub) continue;
        char vid[8], pid[8], rev[8];
        std::snprintf(vid, sizeof vid, "%04X", connection.DeviceDescriptor.idVendor);
        std::snprintf(pid, sizeof pid, "%04X", connection.DeviceDescriptor.idProduct);
        std::snprintf(rev, sizeof rev, "%04X", connection.DeviceDescriptor.bcdDevice);
        if (step > 0 && (record.m_strVID != vid || record.m_strPID != pid)) continue;
        record.m_ulPortIndex = port;
        record.m_strVID = vid;
        record.m_strPID = pid;
        record.m_strDeviceRev = rev;
        return 1;
    }
    return 0;
}

// --- power configuration -----------------------------------------------------------

bool bBuildPowerConfigBlock(const std::string& source, std::array<uint8_t, kPowerConfigSize>& block,
                            std::string& error)
{
    std::string text;
    for (size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '0' && i + 1 < source.size() && source[i + 1] == 'x') {
            ++i;
            continue;
        }
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(source[i])));
    }
    const size_t lastComma = text.rfind(',');
    const std::string dropped = Trim(lastComma == std::string::npos ? text : text.substr(lastComma + 1));
    if (!dropped.empty()) {
        // The list ends with a comma; a value after the last one would be lost.
        error = "the text after the last comma (\"" + dropped + "\") is not followed by a comma";
        return false;
    }
    text.resize(lastComma == std::string::npos ? 0 : lastComma);
    block.fill(0xFF);
    block[0] = 0x60;
    block[1] = 0x01;
    block[2] = 0x00;
    block[3] = 0x00;
    size_t field = 0;
    size_t values = 0;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t comma = text.find(',', start);
        const std::string value = Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (field >= kPowerConfigFields) {
            error = "more than 300 values";
            return false;
        }
        if (!value.empty()) {
            if (value.size() > 2 || !std::isxdigit(static_cast<unsigned char>(value[0])) ||
                (value.size() == 2 && !std::isxdigit(static_cast<unsigned char>(value[1])))) {
                error = "value " + std::to_string(field + 1) + " (\"" + value + "\") is not a hexadecimal byte";
                return false;
            }
            block[4 + field] = static_cast<uint8_t>(std::stoul(value, nullptr, 16));
            ++values;
        }
        ++field;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values == 0) {
        // An empty list would write a block of nothing but 0xFF to the bridge.
        error = "the file holds no values";
        return false;
    }
    return true;
}

bool bReadPowerConfigFile(const std::string& path, std::array<uint8_t, kPowerConfigSize>& block, std::string& error)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = path + (std::filesystem::exists(path, ec) ? " is not a file" : " does not exist");
        return false;
    }
    std::vector<uint8_t> file;
    if (!ReadWholeFile(path, file)) {
        error = path + " cannot be read";
        return false;
    }
    if (!bBuildPowerConfigBlock(std::string(file.begin(), file.end()), block, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

int CBrvtUSBDev::vFactoryConfigure_PowerConfigWrite(uint8_t ucTargetNumber, const std::string& fileName)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vFactoryConfigure_PowerConfigWrite");
    if (!record) return -1;
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", record->m_ucPhysicalAddress);
    ScopedHandle handle(Station(), device::host::CreateFile(Station(), path, kReadWrite, kShareAll,
                                                            platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING));
    if (!handle.Valid()) {
        DBG_ERR("%s:%d: vFactoryConfigure_PowerConfigWrite: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return -1;
    }
    std::array<uint8_t, kPowerConfigSize> block{};
    std::string error;
    if (!bReadPowerConfigFile(fileName, block, error)) {
        DBG_ERR("%s:%d: vFactoryConfigure_PowerConfigWrite File not exist: strFWFileName : %s , dwErrorCode %d",
                fileName.c_str(), platform::GetLastError());
        DBG_ERR("%s:%d: vFactoryConfigure_PowerConfigWrite: %s", error.c_str());
        return -1;
    }
    const CommandResult iResult = SCSI6837_FactoryConfigure_PowerConfigWrite(handle.Get(), block.data());
    if (iResult != kCommandSuccess)
        DBG_ERR("%s:%d: vFactoryConfigure_PowerConfigWrite: [%d] SCSI8306_AccessEEPROM Fail , iResult %d dwErrorCode %d",
                ucTargetNumber, iResult, platform::GetLastError());
    return iResult;
}
