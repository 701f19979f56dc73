#include "device/BRV683xNVME.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/host/DiskHost.h"
#include "log/DebugLog.h"

namespace {
constexpr uint8_t kOpNvmePassThrough = 0xE6;
constexpr uint8_t kNvmeAdminIdentify = 0x06;
constexpr size_t kSerialOffset = 4;
constexpr size_t kSerialLength = 20;
constexpr size_t kFirmwareOffset = 64;
constexpr size_t kFirmwareLength = 8;
}  // namespace

std::string IdentifyText(const uint8_t* bytes, size_t length, bool swapPairs)
{
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[swapPairs ? (i ^ 1) : i];
        text += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(std::toupper(c));
    }
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

CommandResult CBRV683xNVME::NVME_GetIdentify(HANDLE hDev, uint8_t* buffer, uint8_t cns)
{
    if (!IsValidHandle(hDev) || !buffer) {
        DBG_ERR("%s:%d: NVME_GetIdentify: (hDev == NULL) hDev:%x", HandleText(hDev));
        return kCommandInvalidArgument;
    }
    std::memset(buffer, 0, kNvmeIdentifySize);
    const uint8_t cdb[16] = {kOpNvmePassThrough, kNvmeAdminIdentify, 0x00, cns};
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb, 16, platform::SCSI_IOCTL_DATA_IN, buffer, kNvmeIdentifySize, kTimeOutNvmeIdentify});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: NVME_GetIdentify: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , dwErrorCode:%x",
            HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBRV683xNVME::ReadControllerText(uint8_t physicalAddress, size_t offset, size_t length,
                                              std::string& text)
{
    text.clear();
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", physicalAddress);
    platform::IStation& station = m_Transport.Station();
    const HANDLE hDev = device::host::CreateFile(station, path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING);
    if (!IsValidHandle(hDev)) {
        DBG_ERR("%s:%d: CreateFile Fail , ucPhysicalAddress : %d , dwErrorCode %d", physicalAddress,
                platform::GetLastError());
        return kCommandDiskNotOpened;
    }
    std::vector<uint8_t> data(kNvmeIdentifySize);
    const CommandResult result = NVME_GetIdentify(hDev, data.data(), kCnsIdentifyController);
    station.CloseHandle(hDev);
    if (result == kCommandSuccess) text = IdentifyText(data.data() + offset, length, false);
    return result;
}

CommandResult CBRV683xNVME::NVME_GetSerialNumber(uint8_t physicalAddress, std::string& serial)
{
    return ReadControllerText(physicalAddress, kSerialOffset, kSerialLength, serial);
}

CommandResult CBRV683xNVME::NVME_GetFWRevision(uint8_t physicalAddress, std::string& firmware)
{
    return ReadControllerText(physicalAddress, kFirmwareOffset, kFirmwareLength, firmware);
}
