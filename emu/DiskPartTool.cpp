// The emulated partitioning tool: script commands on MBR and GPT disk images.
#include "emu/DiskPartTool.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <sstream>

#include "emu/KeyValueFile.h"

namespace emu {

namespace {

using Guid = std::array<uint8_t, 16>;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kMbrSlots = 4;
constexpr uint32_t kGptEntries = 128;
constexpr uint32_t kGptEntrySize = 128;
constexpr uint32_t kGptHeaderSize = 92;
constexpr uint64_t kMsrBytes = 16 * kMiB;
constexpr uint8_t kTypeNoFileSystem = 0x06;
constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr uint64_t kMaxMbrLba = 0xFFFFFFFF;

// Partition type GUIDs in their on-disk byte order.
constexpr Guid kMsrType = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                           0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
constexpr Guid kBasicDataType = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

void Put16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v)
{
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}
uint32_t Get32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t Get64(const uint8_t* p) { return uint64_t{Get32(p)} | uint64_t{Get32(p + 4)} << 32; }

uint32_t Crc32(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Reproducible identifiers: the emulated station is deterministic.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

Guid MakeGuid(int disk, uint32_t slot)
{
    Guid guid{};
    Put64(guid.data(), Mix(uint64_t(disk) << 32 | slot));
    Put64(guid.data() + 8, Mix(~(uint64_t(disk) << 32 | slot)));
    guid[7] = static_cast<uint8_t>((guid[7] & 0x0F) | 0x40);  // version 4
    guid[8] = static_cast<uint8_t>((guid[8] & 0x3F) | 0x80);  // variant 1
    return guid;
}

struct Partition {
    uint64_t first = 0;  // sectors, inclusive
    uint64_t last = 0;
    uint8_t mbrType = 0;
    Guid type{};
};

struct Table {
    enum class Style { kRaw, kMbr, kGpt } style = Style::kRaw;
    std::vector<std::optional<Partition>> slots;
};

class Disk {
public:
    explicit Disk(const DiskPartDisk& disk) : m_Disk(disk), m_Sectors(disk.sizeBytes / disk.bytesPerSector) {}

    int Number() const { return m_Disk.number; }
    uint64_t SectorsPerMiB() const { return kMiB / m_Disk.bytesPerSector; }

    Table Read() const
    {
        Table table;
        const auto mbr = ReadSectors(0, 1);
        if (mbr[510] != 0x55 || mbr[511] != 0xAA) return table;
        if (mbr[446 + 4] == kTypeGptProtective) {
            const auto header = ReadSectors(1, 1);
            if (std::memcmp(header.data(), "EFI PART", 8) != 0) return table;
            table.style = Table::Style::kGpt;
            const auto entries = ReadSectors(Get64(&header[72]), EntrySectors());
            for (uint32_t i = 0; i < kGptEntries; ++i) {
                const uint8_t* e = &entries[size_t{i} * kGptEntrySize];
                Guid type;
                std::copy(e, e + 16, type.begin());
                if (type == Guid{}) {
                    table.slots.emplace_back();
                    continue;
                }
                table.slots.push_back(Partition{Get64(e + 32), Get64(e + 40), 0, type});
            }
            return table;
        }
        table.style = Table::Style::kMbr;
        for (uint32_t i = 0; i < kMbrSlots; ++i) {
            const uint8_t* e = &mbr[446 + i * 16];
            if (e[4] == 0) {
                table.slots.emplace_back();
                continue;
            }
            table.slots.push_back(Partition{Get32(e + 8), uint64_t{Get32(e + 8)} + Get32(e + 12) - 1, e[4], {}});
        }
        return table;
    }

    bool Write(const Table& table) const
    {
        return table.style == Table::Style::kGpt ? WriteGpt(table) : WriteMbr(table);
    }

    // Zeroes the first and the last MiB, where the partition tables live.
    bool Clean() const
    {
        const std::vector<uint8_t> zeros(std::min<uint64_t>(kMiB, m_Disk.sizeBytes), 0);
        return WriteBlobRange(m_Disk.image, 0, zeros.data(), zeros.size()) &&
               WriteBlobRange(m_Disk.image, m_Disk.sizeBytes - zeros.size(), zeros.data(), zeros.size());
    }

    // Sectors a new partition may use: [first usable, last usable].
    uint64_t FirstUsable(const Table& table) const
    {
        return table.style == Table::Style::kGpt ? 2 + EntrySectors() : 1;
    }
    uint64_t LastUsable(const Table& table) const
    {
        return table.style == Table::Style::kGpt ? m_Sectors - 2 - EntrySectors() : m_Sectors - 1;
    }

private:
    uint64_t EntrySectors() const
    {
        return (kGptEntries * kGptEntrySize + m_Disk.bytesPerSector - 1) / m_Disk.bytesPerSector;
    }

    std::vector<uint8_t> ReadSectors(uint64_t lba, uint64_t count) const
    {
        std::vector<uint8_t> bytes(count * m_Disk.bytesPerSector);
        ReadBlobRange(m_Disk.image, lba * m_Disk.bytesPerSector, bytes.data(), bytes.size());
        return bytes;
    }
    bool WriteSectors(uint64_t lba, const std::vector<uint8_t>& bytes) const
    {
        return WriteBlobRange(m_Disk.image, lba * m_Disk.bytesPerSector, bytes.data(), bytes.size());
    }

    static void PutChs(uint8_t* p, uint64_t lba)
    {
        constexpr uint64_t kHeads = 255, kSectorsPerTrack = 63;
        uint64_t cylinder = lba / (kHeads * kSectorsPerTrack);
        uint64_t head = lba / kSectorsPerTrack % kHeads;
        uint64_t sector = lba % kSectorsPerTrack + 1;
        if (cylinder > 1023) cylinder = 1023, head = 254, sector = 63;
        p[0] = static_cast<uint8_t>(head);
        p[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
        p[2] = static_cast<uint8_t>(cylinder);
    }

    static void PutMbrEntry(uint8_t* e, uint64_t first, uint64_t count, uint8_t type)
    {
        PutChs(e + 1, first);
        e[4] = type;
        PutChs(e + 5, first + count - 1);
        Put32(e + 8, static_cast<uint32_t>(first));
        Put32(e + 12, static_cast<uint32_t>(count));
    }

    std::vector<uint8_t> MbrSector() const
    {
        std::vector<uint8_t> mbr(m_Disk.bytesPerSector, 0);
        Put32(&mbr[440], static_cast<uint32_t>(Mix(uint64_t(m_Disk.number)) | 1));  // disk signature
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        return mbr;
    }

    bool WriteMbr(const Table& table) const
    {
        auto mbr = MbrSector();
        for (uint32_t i = 0; i < kMbrSlots && i < table.slots.size(); ++i) {
            if (!table.slots[i]) continue;
            const Partition& p = *table.slots[i];
            PutMbrEntry(&mbr[446 + i * 16], p.first, p.last - p.first + 1, p.mbrType);
        }
        return WriteSectors(0, mbr);
    }

    bool WriteGpt(const Table& table) const
    {
        auto mbr = MbrSector();
        PutMbrEntry(&mbr[446], 1, std::min<uint64_t>(m_Sectors - 1, kMaxMbrLba), kTypeGptProtective);
        std::vector<uint8_t> entries(EntrySectors() * m_Disk.bytesPerSector, 0);
        static const char16_t* const kMsrName = u"Microsoft reserved partition";
        static const char16_t* const kDataName = u"Basic data partition";
        for (uint32_t i = 0; i < kGptEntries && i < table.slots.size(); ++i) {
            if (!table.slots[i]) continue;
            const Partition& p = *table.slots[i];
            uint8_t* e = &entries[size_t{i} * kGptEntrySize];
            std::copy(p.type.begin(), p.type.end(), e);
            const Guid unique = MakeGuid(m_Disk.number, i + 1);
            std::copy(unique.begin(), unique.end(), e + 16);
            Put64(e + 32, p.first);
            Put64(e + 40, p.last);
            const char16_t* name = p.type == kMsrType ? kMsrName : kDataName;
            for (size_t c = 0; name[c] != 0 && c < 36; ++c) Put16(e + 56 + 2 * c, name[c]);
        }
        const uint32_t entriesCrc = Crc32(entries.data(), entries.size());
        const uint64_t last = m_Sectors - 1;
        const uint64_t backupEntries = last - EntrySectors();
        const auto header = [&](uint64_t self, uint64_t other, uint64_t entriesLba) {
            std::vector<uint8_t> h(m_Disk.bytesPerSector, 0);
            std::memcpy(h.data(), "EFI PART", 8);
            Put32(&h[8], 0x00010000);
            Put32(&h[12], kGptHeaderSize);
            Put64(&h[24], self);
            Put64(&h[32], other);
            Put64(&h[40], FirstUsable(table));
            Put64(&h[48], LastUsable(table));
            const Guid diskGuid = MakeGuid(m_Disk.number, 0);
            std::copy(diskGuid.begin(), diskGuid.end(), &h[56]);
            Put64(&h[72], entriesLba);
            Put32(&h[80], kGptEntries);
            Put32(&h[84], kGptEntrySize);
            Put32(&h[88], entriesCrc);
            Put32(&h[16], Crc32(h.data(), kGptHeaderSize));
            return h;
        };
        return WriteSectors(0, mbr) && WriteSectors(1, header(1, last, 2)) && WriteSectors(2, entries) &&
               WriteSectors(backupEntries, entries) && WriteSectors(last, header(last, 1, backupEntries));
    }

    DiskPartDisk m_Disk;
    uint64_t m_Sectors;
};

uint64_t AlignUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// The run of one script: the focus and what was printed.
class Session {
public:
    explicit Session(const std::vector<DiskPartDisk>& disks) : m_Disks(disks) {}

    DiskPartOutcome Run(const std::string& script)
    {
        std::istringstream in(script);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> words;
            std::istringstream split(line);
            for (std::string word; split >> word;) {
                std::transform(word.begin(), word.end(), word.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                words.push_back(word);
            }
            if (words.empty()) continue;
            const bool noerr = std::find(words.begin(), words.end(), "noerr") != words.end();
            if (noerr) words.erase(std::remove(words.begin(), words.end(), "noerr"), words.end());
            const std::string error = Execute(words);
            if (error.empty()) continue;
            Print("DiskPart has encountered an error: " + error);
            if (!noerr) return Finish(false);
        }
        return Finish(true);
    }

private:
    DiskPartOutcome Finish(bool ok)
    {
        m_Outcome.ok = ok;
        m_Outcome.partitionNumber = m_iPartition;
        return m_Outcome;
    }

    void Print(const std::string& text) { m_Outcome.messages += text + "\n"; }

    // Empty when the command succeeded, else the error text.
    std::string Execute(const std::vector<std::string>& w)
    {
        const auto is = [&](std::initializer_list<const char*> expected) {
            if (w.size() < expected.size()) return false;
            size_t i = 0;
            for (const char* word : expected)
                if (w[i++] != word) return false;
            return true;
        };
        if (is({"list", "disk"})) return ListDisks();
        if (is({"select", "disk"}) && w.size() == 3) return SelectDisk(w[2]);
        if (is({"online", "disk"})) return m_pDisk ? "This disk is already online." : NoDisk();
        if (is({"attributes", "disk", "clear", "readonly"}))
            return m_pDisk ? (Print("Disk attributes cleared successfully."), "") : NoDisk();
        if (is({"clean"})) return Clean();
        if (is({"convert", "mbr"})) return Convert(Table::Style::kMbr);
        if (is({"convert", "gpt"})) return Convert(Table::Style::kGpt);
        if (is({"create", "partition", "primary"})) return CreatePrimary(w);
        if (is({"select", "partition"}) && w.size() == 3) return SelectPartition(w[2]);
        if (is({"assign"}) && w.size() == 2 && w[1].rfind("letter=", 0) == 0 && w[1].size() == 8)
            return Assign(w[1][7]);
        return "The arguments specified for this command are not valid.";
    }

    static std::string NoDisk() { return "There is no disk selected."; }

    std::string ListDisks()
    {
        for (const auto& d : m_Disks)
            Print("Disk " + std::to_string(d.number) + "    Online    " + std::to_string(d.sizeBytes / kMiB) + " MB");
        return "";
    }

    std::string SelectDisk(const std::string& number)
    {
        for (const auto& d : m_Disks) {
            if (std::to_string(d.number) != number) continue;
            m_pDisk.emplace(d);
            m_iPartition = 0;
            Print("Disk " + number + " is now the selected disk.");
            return "";
        }
        return "The disk you specified is not valid.";
    }

    std::string Clean()
    {
        if (!m_pDisk) return NoDisk();
        if (!m_pDisk->Clean()) return "The device is not ready.";
        m_iPartition = 0;
        Print("DiskPart succeeded in cleaning the disk.");
        return "";
    }

    std::string Convert(Table::Style style)
    {
        if (!m_pDisk) return NoDisk();
        if (m_pDisk->Read().style != Table::Style::kRaw) return "The specified disk is not convertible.";
        Table table;
        table.style = style;
        if (style == Table::Style::kMbr) {
            table.slots.resize(kMbrSlots);
        } else {
            table.slots.resize(kGptEntries);
            const uint64_t first = m_pDisk->SectorsPerMiB();
            table.slots[0] = Partition{first, first + kMsrBytes / (kMiB / m_pDisk->SectorsPerMiB()) - 1, 0, kMsrType};
        }
        if (!m_pDisk->Write(table)) return "The device is not ready.";
        Print(std::string("DiskPart successfully converted the selected disk to ") +
              (style == Table::Style::kMbr ? "MBR" : "GPT") + " format.");
        return "";
    }

    std::string CreatePrimary(const std::vector<std::string>& w)
    {
        if (!m_pDisk) return NoDisk();
        Table table = m_pDisk->Read();
        if (table.style == Table::Style::kRaw) return "The disk is not initialized.";
        const uint64_t perMiB = m_pDisk->SectorsPerMiB();
        const uint64_t sectorBytes = kMiB / perMiB;
        uint64_t start = m_pDisk->FirstUsable(table);
        for (const auto& slot : table.slots)
            if (slot) start = std::max(start, slot->last + 1);
        start = AlignUp(start, perMiB);
        for (size_t i = 3; i < w.size(); ++i) {
            if (w[i].rfind("offset=", 0) != 0) return "The arguments specified for this command are not valid.";
            const std::string kib = w[i].substr(7);
            if (kib.empty() || kib.find_first_not_of("0123456789") != std::string::npos || kib.size() > 12)
                return "The arguments specified for this command are not valid.";
            start = AlignUp(std::stoull(kib) * 1024, sectorBytes) / sectorBytes;
        }
        uint64_t last = m_pDisk->LastUsable(table);
        const auto freeSlot = std::find_if(table.slots.begin(), table.slots.end(), [](const auto& s) { return !s; });
        if (freeSlot == table.slots.end()) return "There is not enough usable space for this operation.";
        for (const auto& slot : table.slots)
            if (slot && slot->last >= start && slot->first <= last)
                return "There is not enough usable space for this operation.";
        Partition partition;
        partition.first = start;
        if (table.style == Table::Style::kMbr) {
            if (start > kMaxMbrLba) return "There is not enough usable space for this operation.";
            last = std::min(last, start + kMaxMbrLba - 1);  // a 32-bit sector count
            partition.mbrType = kTypeNoFileSystem;
        } else {
            partition.type = kBasicDataType;
        }
        if (start > last) return "There is not enough usable space for this operation.";
        partition.last = last;
        *freeSlot = partition;
        if (!m_pDisk->Write(table)) return "The device is not ready.";
        m_iPartition = static_cast<int>(freeSlot - table.slots.begin()) + 1;
        Print("DiskPart succeeded in creating the specified partition.");
        return "";
    }

    std::string SelectPartition(const std::string& number)
    {
        if (!m_pDisk) return NoDisk();
        const Table table = m_pDisk->Read();
        for (size_t i = 0; i < table.slots.size(); ++i) {
            if (!table.slots[i] || std::to_string(i + 1) != number) continue;
            m_iPartition = static_cast<int>(i) + 1;
            Print("Partition " + number + " is now the selected partition.");
            return "";
        }
        return "The partition you specified is not valid.";
    }

    std::string Assign(char letter)
    {
        if (m_iPartition == 0) return "There is no volume selected.";
        if (letter < 'a' || letter > 'z') return "The arguments specified for this command are not valid.";
        m_Outcome.assignedLetter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        Print("DiskPart successfully assigned the drive letter or mount point.");
        return "";
    }

    const std::vector<DiskPartDisk>& m_Disks;
    std::optional<Disk> m_pDisk;
    int m_iPartition = 0;
    DiskPartOutcome m_Outcome;
};

}  // namespace

DiskPartOutcome RunDiskPartScript(const std::string& script, const std::vector<DiskPartDisk>& disks)
{
    return Session(disks).Run(script);
}

}  // namespace emu
