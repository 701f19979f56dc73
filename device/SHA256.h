#pragma once
// The SHA-256 key the bridges are provisioned with, and the two key commands.
// The key is the initial hash value H0..H7 of SHA-256; a CSHA256 object lives for
// one command.
#include <array>
#include <cstdint>

#include "device/PassThrough.h"

constexpr uint32_t kSha256KeySize = 32;

class CSHA256 {
public:
    static constexpr std::array<uint32_t, 8> kKeyWords = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

    explicit CSHA256(const CPassThrough& transport) : m_Transport(transport) {}

    // K1..K8, each most significant byte first.
    static std::array<uint8_t, kSha256KeySize> KeyWireForm();

    CommandResult SCSI8306_SHA256_SendKey(HANDLE hDev, const uint8_t* key);
    // `result` receives the bridge's one-byte answer for image K.
    CommandResult SCSI8306_SHA256_VerifyKey(HANDLE hDev, uint8_t& result, uint8_t K);

private:
    const CPassThrough& m_Transport;
};
