#include "platform/emu/VolumeProbe.h"

#include <bit>
#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr uint32_t kNtfsVolumeRecord = 3;  // $Volume
constexpr uint32_t kNtfsBitmapRecord = 6;  // $Bitmap
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr uint32_t kFixupStride = 512;
constexpr uint8_t kExfatBitmapEntry = 0x81;
constexpr uint8_t kExfatLabelEntry = 0x83;
constexpr size_t kLargestBitmap = size_t{1} << 30;

uint64_t Le(const uint8_t* p, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// UTF-16LE code units to UTF-8.
std::string Utf8(const uint8_t* p, size_t units)
{
    std::string text;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = static_cast<uint32_t>(Le(p + 2 * i, 2));
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const auto low = static_cast<uint32_t>(Le(p + 2 * i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | c >> 12);
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | c >> 18);
            text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// Clear bits among the first `bits` of `bitmap`.
uint64_t ClearBits(const std::vector<uint8_t>& bitmap, uint64_t bits)
{
    uint64_t set = 0;
    const uint64_t whole = std::min<uint64_t>(bits / 8, bitmap.size());
    for (uint64_t i = 0; i < whole; ++i) set += static_cast<uint64_t>(std::popcount(bitmap[i]));
    for (uint64_t bit = whole * 8; bit < bits && bit / 8 < bitmap.size(); ++bit) set += bitmap[bit / 8] >> (bit % 8) & 1;
    return bits - set;
}

class Ntfs {
public:
    Ntfs(const VolumeReader& read, uint64_t length) : m_Read(read), m_Length(length) {}

    std::optional<ProbedVolume> Probe()
    {
        uint8_t boot[512];
        if (!m_Read(0, boot, sizeof boot) || std::memcmp(boot + 3, "NTFS    ", 8) != 0 || boot[510] != 0x55 ||
            boot[511] != 0xAA)
            return std::nullopt;
        ProbedVolume volume;
        volume.fileSystem = "NTFS";
        volume.bytesPerSector = static_cast<uint32_t>(Le(boot + 11, 2));
        const uint8_t spc = boot[13];
        volume.sectorsPerCluster = spc <= 0x80 ? spc : 1u << (256 - spc);
        if (volume.bytesPerSector < 256 || !std::has_single_bit(volume.bytesPerSector) || volume.sectorsPerCluster == 0)
            return std::nullopt;
        m_ClusterSize = uint64_t{volume.bytesPerSector} * volume.sectorsPerCluster;
        volume.totalClusters = Le(boot + 40, 8) / volume.sectorsPerCluster;
        const auto perRecord = static_cast<int8_t>(boot[64]);
        m_RecordSize = perRecord > 0 ? static_cast<uint64_t>(perRecord) * m_ClusterSize : uint64_t{1} << -perRecord;
        m_MftAt = Le(boot + 48, 8) * m_ClusterSize;
        volume.serial = static_cast<uint32_t>(Le(boot + 72, 4));
        if (volume.totalClusters * m_ClusterSize > m_Length || m_RecordSize < kFixupStride || m_RecordSize > 65536)
            return std::nullopt;

        std::vector<uint8_t> record;
        const uint8_t* name = nullptr;
        if (!Record(kNtfsVolumeRecord, record) || !(name = Attribute(record, kAttrVolumeName))) return std::nullopt;
        // A resident value: its length at 16, its offset at 20.
        const uint64_t nameLength = Le(name + 16, 4), nameAt = Le(name + 20, 2);
        if (name - record.data() + nameAt + nameLength > record.size()) return std::nullopt;
        volume.label = Utf8(name + nameAt, nameLength / 2);

        std::vector<uint8_t> bitmap;
        if (!Record(kNtfsBitmapRecord, record) || !NonResidentData(record, bitmap)) return std::nullopt;
        volume.freeClusters = ClearBits(bitmap, volume.totalClusters);
        return volume;
    }

private:
    // MFT record `number` with its update sequence applied. The first records of
    // the MFT lie together at its start.
    bool Record(uint32_t number, std::vector<uint8_t>& record)
    {
        record.assign(m_RecordSize, 0);
        if (!m_Read(m_MftAt + number * m_RecordSize, record.data(), record.size()) ||
            std::memcmp(record.data(), "FILE", 4) != 0)
            return false;
        const uint64_t usaAt = Le(&record[4], 2), usaCount = Le(&record[6], 2);
        if (usaCount == 0 || usaCount - 1 != m_RecordSize / kFixupStride || usaAt + 2 * usaCount > m_RecordSize)
            return false;
        for (uint64_t i = 1; i < usaCount; ++i) {
            uint8_t* end = &record[i * kFixupStride - 2];
            if (std::memcmp(end, &record[usaAt], 2) != 0) return false;  // a torn record
            std::memcpy(end, &record[usaAt + 2 * i], 2);
        }
        return true;
    }

    // The first unnamed attribute of `type` in `record`; nullptr when none.
    static const uint8_t* Attribute(const std::vector<uint8_t>& record, uint32_t type)
    {
        for (uint64_t at = Le(&record[20], 2); at + 24 <= record.size();) {
            const uint8_t* a = &record[at];
            const uint64_t attrType = Le(a, 4), length = Le(a + 4, 4);
            if (attrType == kAttrEnd || length < 24 || at + length > record.size()) return nullptr;
            if (attrType == type && a[9] == 0) return a;
            at += length;
        }
        return nullptr;
    }

    // The whole value of the record's non-resident $DATA attribute, by its run list.
    bool NonResidentData(const std::vector<uint8_t>& record, std::vector<uint8_t>& data)
    {
        const uint8_t* a = Attribute(record, kAttrData);
        if (!a || a[8] == 0) return false;
        const uint64_t size = Le(a + 48, 8), attrLength = Le(a + 4, 4);
        if (size > kLargestBitmap) return false;
        data.assign(size, 0);
        const uint8_t* run = a + Le(a + 32, 2);
        const uint8_t* end = a + attrLength;
        int64_t lcn = 0;
        uint64_t filled = 0;
        while (run < end && *run != 0 && filled < size) {
            const int lengthBytes = *run & 0x0F, offsetBytes = *run >> 4;
            if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || run + 1 + lengthBytes + offsetBytes > end)
                return false;
            const uint64_t clusters = Le(run + 1, lengthBytes);
            if (offsetBytes > 0) {
                uint64_t delta = Le(run + 1 + lengthBytes, offsetBytes);
                if (offsetBytes < 8 && (run[lengthBytes + offsetBytes] & 0x80)) delta |= ~uint64_t{0} << (8 * offsetBytes);
                lcn += static_cast<int64_t>(delta);
            }
            const uint64_t bytes = std::min<uint64_t>(clusters * m_ClusterSize, size - filled);
            // A sparse run (no offset) reads as zeros.
            if (offsetBytes > 0 &&
                (lcn < 0 || !m_Read(static_cast<uint64_t>(lcn) * m_ClusterSize, &data[filled], bytes)))
                return false;
            filled += bytes;
            run += 1 + lengthBytes + offsetBytes;
        }
        return filled == size;
    }

    const VolumeReader& m_Read;
    uint64_t m_Length;
    uint64_t m_ClusterSize = 0;
    uint64_t m_RecordSize = 0;
    uint64_t m_MftAt = 0;
};

std::optional<ProbedVolume> ProbeExfat(const VolumeReader& read, uint64_t length)
{
    uint8_t boot[512];
    if (!read(0, boot, sizeof boot) || std::memcmp(boot + 3, "EXFAT   ", 8) != 0 || boot[510] != 0x55 ||
        boot[511] != 0xAA || boot[108] < 9 || boot[108] > 12 || boot[108] + boot[109] > 25)
        return std::nullopt;
    ProbedVolume volume;
    volume.fileSystem = "exFAT";
    volume.bytesPerSector = 1u << boot[108];
    volume.sectorsPerCluster = 1u << boot[109];
    const uint64_t clusterSize = uint64_t{volume.bytesPerSector} * volume.sectorsPerCluster;
    const uint64_t heapAt = Le(boot + 88, 4) * volume.bytesPerSector;
    volume.totalClusters = Le(boot + 92, 4);
    volume.serial = static_cast<uint32_t>(Le(boot + 100, 4));
    const uint64_t root = Le(boot + 96, 4);
    if (Le(boot + 72, 8) * volume.bytesPerSector > length || root < 2 || root - 2 >= volume.totalClusters ||
        heapAt + volume.totalClusters * clusterSize > length)
        return std::nullopt;
    auto clusterAt = [&](uint64_t cluster) { return heapAt + (cluster - 2) * clusterSize; };

    // The label and the allocation bitmap are entries of the root directory's
    // first cluster.
    std::vector<uint8_t> dir(clusterSize);
    if (!read(clusterAt(root), dir.data(), dir.size())) return std::nullopt;
    bool bitmapFound = false;
    for (size_t e = 0; e + 32 <= dir.size() && dir[e] != 0; e += 32) {
        const uint8_t* entry = &dir[e];
        if (entry[0] == kExfatLabelEntry) volume.label = Utf8(entry + 2, std::min<size_t>(entry[1], 11));
        if (entry[0] != kExfatBitmapEntry || bitmapFound) continue;
        const uint64_t first = Le(entry + 20, 4), size = Le(entry + 24, 8);
        if (first < 2 || first - 2 >= volume.totalClusters || size > kLargestBitmap ||
            size < (volume.totalClusters + 7) / 8)
            return std::nullopt;
        std::vector<uint8_t> bitmap(size);
        if (!read(clusterAt(first), bitmap.data(), bitmap.size())) return std::nullopt;
        volume.freeClusters = ClearBits(bitmap, volume.totalClusters);
        bitmapFound = true;
    }
    if (!bitmapFound) return std::nullopt;
    return volume;
}

}  // namespace

std::optional<ProbedVolume> ProbeNtfsOrExfat(const VolumeReader& read, uint64_t length)
{
    if (auto ntfs = Ntfs(read, length).Probe()) return ntfs;
    return ProbeExfat(read, length);
}

}  // namespace platform
