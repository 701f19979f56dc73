#pragma once
// Bridge register addresses the host reads (7951 form; the upper bank starts at
// 0x20000).
#include <cstdint>

namespace bridge_reg {
constexpr uint32_t kRegFirmwareVersion = 0x07F0;  // 6 version bytes (+1)
constexpr uint32_t kRegUsbMode = 0x9000;          // transport protocol
constexpr uint32_t kRegUsbConnection = 0x9100;    // USB connection speed
constexpr uint32_t kRegUsb3Lanes = 0x92F8;        // SuperSpeed Plus and lane bits
constexpr uint32_t kRegCcOrientation = 0xC6DB;
constexpr uint32_t kRegDeviceFeatures = 0xC890;  // bit 2: no UASP; bit 1 with the variant's bit 1
constexpr uint32_t kRegSha256Option = 0xC8D1;     // bit 3 set: no SHA-256 key check
constexpr uint32_t kRegVariantRevision = 0xC8FF;  // bits 6..4 variant, 3..0 revision
constexpr uint32_t kRegU4Link = 0x20000;
constexpr uint32_t kRegU4Tunnel = 0x22805;
constexpr uint32_t kRegU4SpeedA = 0x22865;
constexpr uint32_t kRegU4SpeedC = 0x22871;
constexpr uint32_t kRegU4SpeedD = 0x228A0;
constexpr uint32_t kRegU4SpeedE = 0x228A1;
constexpr uint32_t kRegU4ErrorRecovery = 0x2601A;
}  // namespace bridge_reg
