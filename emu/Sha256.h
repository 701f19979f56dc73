#pragma once
// SHA-256 digest (FIPS 180-4), used by the emulated bridge to check its firmware
// images against the key it holds.
#include <array>
#include <cstddef>
#include <cstdint>

namespace emu {

class Sha256 {
public:
    Sha256();
    void Update(const uint8_t* data, size_t size);
    std::array<uint8_t, 32> Final();

private:
    void Block(const uint8_t* block);
    std::array<uint32_t, 8> m_State;
    std::array<uint8_t, 64> m_Buffer{};
    size_t m_BufferSize = 0;
    uint64_t m_TotalBytes = 0;
};

}  // namespace emu
