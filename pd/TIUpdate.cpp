#include "pd/TIUpdate.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"

namespace pd {

namespace {

constexpr uint8_t kOpTIPD = 0xED;
constexpr uint32_t kTimeOutTI = 60;

std::string VersionText(const TIAnswer& answer)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", answer[0], answer[1], answer[2], answer[3]);
    return text;
}

}  // namespace

int CTIPDUpdate::Send(HANDLE hDev, const std::array<uint8_t, 8>& cdb, bool dataIn, uint8_t* data, uint32_t length)
{
    if (!IsValidHandle(hDev)) return kCommandInvalidArgument;
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb.data(), 8, dataIn ? platform::SCSI_IOCTL_DATA_IN : platform::SCSI_IOCTL_DATA_OUT,
               length ? data : nullptr, length, kTimeOutTI});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI_CMD: (status = Fail) hDev:%x , function:%x , status:%x , ScsiStatus:%x , dwErrorCode:%x",
            HandleText(hDev), cdb[1], outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

int CTIPDUpdate::iTI_PD_ReadFWVersion(HANDLE hDev, TIAnswer& answer)
{
    answer.fill(0);
    return Send(hDev, {kOpTIPD, 1, 0, 0, 0, 0, 0, 0}, true, answer.data(), kTIAnswerSize);
}

int CTIPDUpdate::iTI_PD_ReadBootFlags(HANDLE hDev, TIAnswer& answer)
{
    answer.fill(0);
    return Send(hDev, {kOpTIPD, 2, 0, 0, 0, 0, 0, 0}, true, answer.data(), kTIAnswerSize);
}

int CTIPDUpdate::iTI_PD_FlashLoadReadRegions(HANDLE hDev, uint8_t region)
{
    return Send(hDev, {kOpTIPD, 3, region, 0, 0, 0, 0, 0}, false, nullptr, 0);
}

int CTIPDUpdate::iTI_PD_FlashEraseRegion(HANDLE hDev, uint8_t region, uint8_t sectors)
{
    return Send(hDev, {kOpTIPD, 4, region, sectors, 0, 0, 0, 0}, false, nullptr, 0);
}

int CTIPDUpdate::iTI_PD_FlashMemoryWriteStartAddress(HANDLE hDev)
{
    return Send(hDev, {kOpTIPD, 5, 0, 0, 0, 0, 0, 0}, false, nullptr, 0);
}

int CTIPDUpdate::iTI_PD_FlashMemoryWrite(HANDLE hDev, uint16_t row, uint16_t rows, const uint8_t* data)
{
    uint8_t copy[kTIRowSize];
    std::copy(data, data + kTIRowSize, copy);
    return Send(hDev,
                {kOpTIPD, 6, static_cast<uint8_t>(row), static_cast<uint8_t>(row >> 8), static_cast<uint8_t>(rows),
                 static_cast<uint8_t>(rows >> 8), 0, 0},
                false, copy, kTIRowSize);
}

int CTIPDUpdate::iTI_PD_FlashMemoryVerify(HANDLE hDev, uint8_t region)
{
    TIAnswer answer{};
    const int result = Send(hDev, {kOpTIPD, 7, region, 0, 0, 0, 0, 0}, true, answer.data(), kTIAnswerSize);
    if (result != kCommandSuccess) return result;
    return answer[0] == 0 ? kCommandSuccess : kCommandFailed;
}

int CTIPDUpdate::iTI_PD_ResetController(HANDLE hDev)
{
    return Send(hDev, {kOpTIPD, 8, 0, 0, 0, 0, 0, 0}, false, nullptr, 0);
}

int CTIPDUpdate::WriteRegion(HANDLE hDev, uint8_t region, const std::string& image, uint8_t sectors,
                             const TIOperatorBox& box)
{
    const uint16_t rows = static_cast<uint16_t>((image.size() + kTIRowSize - 1) / kTIRowSize);
    // Each step with its log name; the rows are one step.
    const auto step = [&](const char* name, const std::function<int()>& run) {
        box(std::string(name) + " ...");
        const int result = run();
        DBG_MSG("%s:%d: %s:%d", name, result);
        box(std::string(name) + ": " + std::to_string(result));
        return result;
    };
    if (int r = step("iTI_PD_FlashLoadReadRegions", [&] { return iTI_PD_FlashLoadReadRegions(hDev, region); })) return r;
    if (int r = step("iTI_PD_FlashEraseRegion", [&] { return iTI_PD_FlashEraseRegion(hDev, region, sectors); })) return r;
    if (int r = step("iTI_PD_FlashMemoryWriteStartAddress", [&] { return iTI_PD_FlashMemoryWriteStartAddress(hDev); }))
        return r;
    if (int r = step("iTI_PD_FlashMemoryWrite", [&] {
            for (uint16_t row = 0; row < rows; ++row) {
                uint8_t data[kTIRowSize];
                std::fill(std::begin(data), std::end(data), 0xFF);  // the last row is padded as erased flash
                const size_t at = static_cast<size_t>(row) * kTIRowSize;
                image.copy(reinterpret_cast<char*>(data), kTIRowSize, at);
                if (int w = iTI_PD_FlashMemoryWrite(hDev, row, rows, data)) return w;
            }
            return 0;
        }))
        return r;
    return step("iTI_PD_FlashMemoryVerify", [&] { return iTI_PD_FlashMemoryVerify(hDev, region); });
}

int CTIPDUpdate::iTI_PD_FWUpdate(int drive, const std::string& binPath, const TIOperatorBox& box)
{
    std::ifstream in(binPath, std::ios::binary);
    if (!in) {
        DBG_ERR("%s:%d: cannot read %s", binPath.c_str());
        return kCommandInvalidArgument;
    }
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t sectors = (size + kTISectorSize - 1) / kTISectorSize;
    DBG_MSG("%s:%d: bin file size:%d, last data len:%d, last row number:%d", size, size % kTIRowSize,
            (size + kTIRowSize - 1) / kTIRowSize);
    DBG_MSG("%s:%d: number of 4KB sectors:%d", sectors);
    if (size == 0 || sectors > 0xFF) {
        DBG_ERR("%s:%d: bin file size:%d does not fit the erase command", size);
        return kCommandInvalidArgument;
    }
    box("num of 4k sectors:" + std::to_string(sectors));
    char path[40];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", drive);
    ScopedHandle handle(
        m_Transport.Station(),
        device::host::CreateFile(m_Transport.Station(), path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING,
                                 platform::FILE_FLAG_NO_BUFFERING));
    if (!handle.Valid()) {
        DBG_ERR("%s:%d: CreateFile Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d", path,
                static_cast<int>(platform::GetLastError()));
        return kCommandFailed;
    }
    TIAnswer answer{};
    int result = iTI_PD_ReadFWVersion(handle.Get(), answer);
    DBG_MSG("%s:%d: iTI_PD_ReadFWVersion:%d", result);
    m_strVersionBefore = result == 0 ? VersionText(answer) : "NULL";
    box("iTI_PD_ReadFWVersion: " + m_strVersionBefore);
    if (result) return result;
    result = iTI_PD_ReadBootFlags(handle.Get(), answer);
    DBG_MSG("%s:%d: iTI_PD_ReadBootFlags:%d", result);
    box("iTI_PD_ReadBootFlags: " + std::to_string(result));
    if (result) return result;
    for (uint8_t region = 1; region <= 2; ++region)
        if ((result = WriteRegion(handle.Get(), region, image, static_cast<uint8_t>(sectors), box))) return result;
    result = iTI_PD_ResetController(handle.Get());
    DBG_MSG("%s:%d: iTI_PD_ResetController:%d", result);
    box("iTI_PD_ResetController: " + std::to_string(result));
    if (result) return result;
    result = iTI_PD_ReadFWVersion(handle.Get(), answer);
    DBG_MSG("%s:%d: iTI_PD_ReadFWVersion:%d", result);
    m_strVersionAfter = result == 0 ? VersionText(answer) : "NULL";
    box("iTI_PD_ReadFWVersion: " + m_strVersionAfter);
    return result;
}

}  // namespace pd
