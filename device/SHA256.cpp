#include "device/SHA256.h"

#include <algorithm>

#include "log/DebugLog.h"

std::array<uint8_t, kSha256KeySize> CSHA256::KeyWireForm()
{
    std::array<uint8_t, kSha256KeySize> wire{};
    for (size_t word = 0; word < kKeyWords.size(); ++word)
        for (size_t byte = 0; byte < 4; ++byte)
            wire[word * 4 + byte] = static_cast<uint8_t>(kKeyWords[word] >> (24 - 8 * byte));
    return wire;
}

CommandResult CSHA256::SCSI8306_SHA256_SendKey(HANDLE hDev, const uint8_t* key)
{
    if (!IsValidHandle(hDev) || !key) return kCommandInvalidArgument;
    std::array<uint8_t, kSha256KeySize> data{};
    std::copy_n(key, data.size(), data.begin());
    const uint8_t cdb[6] = {0xE9, 0x00, 0x00, 0x00, 0x00, 0x00};
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_OUT, data.data(), kSha256KeySize, kTimeOutKey});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d:  (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , dwErrorCode:%x", HandleText(hDev),
            outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CSHA256::SCSI8306_SHA256_VerifyKey(HANDLE hDev, uint8_t& result, uint8_t K)
{
    result = 0;
    if (!IsValidHandle(hDev)) return kCommandInvalidArgument;
    const uint8_t cdb[6] = {0xE9, 0x01, K, 0x00, 0x00, 0x00};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_IN, &result, 1, kTimeOutKey});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI8306_SHA256_VerifyKey: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , dwErrorCode:%x",
            HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}
