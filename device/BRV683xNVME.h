#pragma once
// Identify data of the NVMe drive behind a bridge, read through the bridge's
// vendor NVMe admin pass-through block.
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/PassThrough.h"

constexpr uint32_t kNvmeIdentifySize = 4096;
constexpr uint32_t kTimeOutNvmeIdentify = 60;
constexpr uint8_t kCnsIdentifyController = 1;

// Identify text from raw bytes: each byte taken as one character (with
// `swapPairs`, the two bytes of every 16-bit word in the order ATA stores them),
// then trimmed and upper-cased. NUL and other control bytes count as spaces, so
// that the text never carries a hidden terminator into logs and records.
std::string IdentifyText(const uint8_t* bytes, size_t length, bool swapPairs);

class CBRV683xNVME {
public:
    explicit CBRV683xNVME(const CPassThrough& transport) : m_Transport(transport) {}

    // NVMe Identify with the given CNS; 4096 bytes into `buffer`. 0 or -1
    // (-10 for a null handle or buffer).
    CommandResult NVME_GetIdentify(HANDLE hDev, uint8_t* buffer, uint8_t cns);
    // Serial number (Identify Controller bytes 4..23) and firmware revision
    // (bytes 64..71) of disk `physicalAddress`; each opens "\\.\PHYSICALDRIVE%d".
    CommandResult NVME_GetSerialNumber(uint8_t physicalAddress, std::string& serial);
    CommandResult NVME_GetFWRevision(uint8_t physicalAddress, std::string& firmware);

private:
    CommandResult ReadControllerText(uint8_t physicalAddress, size_t offset, size_t length, std::string& text);

    const CPassThrough& m_Transport;
};
