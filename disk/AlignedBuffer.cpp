// Page-aligned, zero-filled buffers for whole-sector transfers.
#include <cstdlib>
#include <cstring>

#include "disk/SectorDevice.h"

namespace disk {

namespace {
constexpr size_t kPageSize = 4096;
}

AlignedBuffer::AlignedBuffer(size_t size)
{
    if (size == 0) return;
    const size_t rounded = (size + kPageSize - 1) / kPageSize * kPageSize;
    auto* memory = static_cast<uint8_t*>(std::aligned_alloc(kPageSize, rounded));
    if (memory == nullptr) return;
    std::memset(memory, 0, rounded);
    m_pData.reset(memory);
    m_nSize = size;
}

void AlignedBuffer::Free::operator()(uint8_t* p) const { std::free(p); }

}  // namespace disk
