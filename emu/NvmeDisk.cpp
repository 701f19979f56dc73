#include "emu/NvmeDisk.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace emu {

namespace fs = std::filesystem;

namespace {
constexpr uint8_t kNvmeAdminIdentify = 0x06;
constexpr uint8_t kCnsNamespace = 0x00;
constexpr uint8_t kCnsController = 0x01;
constexpr uint8_t kAtaIdentifyDevice = 0xEC;

int NumberFromFolder(const fs::path& folder)
{
    const std::string name = folder.filename().string();
    size_t start = name.size();
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
    return start < name.size() ? std::atoi(name.c_str() + start) : 0;
}

// Left-justified, space-padded ASCII field.
void PutText(uint8_t* at, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i) at[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

void PutLe(uint8_t* at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// ATA strings: two characters per word, the first in the high byte.
void PutAtaText(uint8_t* data, int firstWord, const std::string& text, int words)
{
    for (int i = 0; i < 2 * words; ++i) {
        const uint8_t c = i < static_cast<int>(text.size()) ? static_cast<uint8_t>(text[static_cast<size_t>(i)]) : ' ';
        data[2 * firstWord + (i ^ 1)] = c;
    }
}
}  // namespace

NvmeDisk::NvmeDisk(fs::path bridgeFolder) : m_Folder(std::move(bridgeFolder)), m_Number(NumberFromFolder(m_Folder))
{
    m_State.Load(m_Folder / "bridge.ini");
}

NvmeDisk::NvmeDisk(fs::path bridgeFolder, KeyValueFile state)
    : m_Folder(std::move(bridgeFolder)), m_State(std::move(state)), m_Number(NumberFromFolder(m_Folder))
{
}

uint64_t NvmeDisk::SizeBytes() const
{
    const int64_t mib = m_State.GetInt("disk_size_mib", kDefaultDiskSizeMiB);
    return mib > 0 ? static_cast<uint64_t>(mib) << 20 : 0;
}

std::string NvmeDisk::Serial() const
{
    char fallback[24];
    std::snprintf(fallback, sizeof fallback, "NVME%04d", m_Number);
    return m_State.Get("nvme_serial", fallback).substr(0, 20);
}

std::string NvmeDisk::Firmware() const
{
    char fallback[24];
    std::snprintf(fallback, sizeof fallback, "EMU%05d", m_Number % 100000);
    return m_State.Get("nvme_firmware", fallback).substr(0, 8);
}

std::string NvmeDisk::Model() const
{
    return m_State.Get("nvme_model", "DEVeda Emulated NVMe SSD").substr(0, 40);
}

bool NvmeDisk::Read(uint64_t offset, uint8_t* out, size_t size) const
{
    const uint64_t total = SizeBytes();
    if (offset > total || size > total - offset) return false;
    ReadBlobRange(ImagePath(), offset, out, size);  // a missing image reads as zeros
    return true;
}

bool NvmeDisk::Write(uint64_t offset, const uint8_t* data, size_t size) const
{
    const uint64_t total = SizeBytes();
    if (offset > total || size > total - offset) return false;
    const fs::path image = ImagePath();
    std::error_code ec;
    if (!fs::exists(image, ec)) std::ofstream(image, std::ios::binary).flush();
    // Sparse: only written ranges take room on the host.
    if (fs::file_size(image, ec) != total || ec) {
        fs::resize_file(image, total, ec);
        if (ec) return false;
    }
    return WriteBlobRange(image, offset, data, size);
}

std::array<uint8_t, kNvmeIdentifySize> NvmeDisk::IdentifyController() const
{
    std::array<uint8_t, kNvmeIdentifySize> data{};
    PutLe(&data[0], 0x1D79, 2);  // PCI vendor ID
    PutLe(&data[2], 0x1D79, 2);  // subsystem vendor ID
    PutText(&data[4], Serial(), 20);
    PutText(&data[24], Model(), 40);
    PutText(&data[64], Firmware(), 8);
    data[72] = 2;                  // recommended arbitration burst
    PutLe(&data[80], 0x10400, 4);  // version 1.4
    data[512] = 0x66;              // submission queue entry size 64
    data[513] = 0x44;              // completion queue entry size 16
    PutLe(&data[516], 1, 4);       // one namespace
    return data;
}

std::array<uint8_t, kNvmeIdentifySize> NvmeDisk::IdentifyNamespace() const
{
    std::array<uint8_t, kNvmeIdentifySize> data{};
    const uint64_t sectors = SectorCount();
    PutLe(&data[0], sectors, 8);   // size
    PutLe(&data[8], sectors, 8);   // capacity
    PutLe(&data[16], sectors, 8);  // utilisation
    data[130] = 9;                 // LBA format 0: 2^9-byte sectors
    return data;
}

std::array<uint8_t, kAtaIdentifySize> NvmeDisk::AtaIdentify() const
{
    std::array<uint8_t, kAtaIdentifySize> data{};
    PutLe(&data[0], 0x0040, 2);  // fixed device
    PutAtaText(data.data(), 10, Serial(), 10);
    PutAtaText(data.data(), 23, Firmware(), 4);
    PutAtaText(data.data(), 27, Model(), 20);
    PutLe(&data[2 * 49], 0x0200, 2);  // LBA supported
    const uint64_t sectors = SectorCount();
    PutLe(&data[2 * 60], std::min<uint64_t>(sectors, 0x0FFFFFFF), 4);
    PutLe(&data[2 * 83], 0x4400, 2);  // 48-bit addressing
    PutLe(&data[2 * 100], sectors, 8);
    // Integrity word: signature A5, then the byte that makes all 512 bytes sum to 0.
    data[510] = 0xA5;
    uint8_t sum = 0;
    for (size_t i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    data[511] = static_cast<uint8_t>(0x100 - sum);
    return data;
}

void NvmeDisk::NvmePassThrough(ScsiExchange& exchange) const
{
    const uint8_t opcode = exchange.cdb[1];
    const uint8_t cns = exchange.cdb[3];
    if (exchange.cdbLength != 16 || opcode != kNvmeAdminIdentify || !exchange.dataIn || !exchange.data ||
        exchange.dataLength != kNvmeIdentifySize || (cns != kCnsController && cns != kCnsNamespace))
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const auto data = cns == kCnsController ? IdentifyController() : IdentifyNamespace();
    std::memcpy(exchange.data, data.data(), data.size());
    exchange.transferred = kNvmeIdentifySize;
}

void NvmeDisk::AtaIdentifyDevice(ScsiExchange& exchange) const
{
    if (exchange.cdbLength != 12 || exchange.cdb[9] != kAtaIdentifyDevice || !exchange.dataIn || !exchange.data ||
        exchange.dataLength != kAtaIdentifySize)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const auto data = AtaIdentify();
    std::memcpy(exchange.data, data.data(), data.size());
    exchange.transferred = kAtaIdentifySize;
}

}  // namespace emu
