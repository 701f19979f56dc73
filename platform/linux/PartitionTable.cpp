#include "platform/linux/PartitionTable.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "platform/linux/JsonText.h"

namespace platform::linuxst {

namespace {

// "c" -> 0x0C; nullopt for anything that is not one hexadecimal byte.
std::optional<uint8_t> TypeByte(const std::string& text)
{
    if (text.empty() || text.size() > 2) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (!end || *end != '\0') return std::nullopt;
    return static_cast<uint8_t>(value);
}

// A sector count times the sector size, when it fits 64 bits.
std::optional<uint64_t> Bytes(const JsonValue* sectors, uint32_t sectorSize)
{
    const auto count = sectors ? sectors->Unsigned() : std::nullopt;
    if (!count || *count > std::numeric_limits<uint64_t>::max() / sectorSize) return std::nullopt;
    return *count * sectorSize;
}

std::string Text(const JsonValue* value)
{
    return value && value->kind == JsonValue::Kind::kString ? value->text : std::string();
}

std::optional<PartitionTableEntry> Entry(const JsonValue& item, const PartitionTable& table)
{
    PartitionTableEntry entry;
    const std::string node = Text(item.Find("node"));
    // The number is the node's trailing digits ("/dev/sdb2", "/dev/nvme0n1p2").
    size_t digits = node.size();
    while (digits > 0 && node[digits - 1] >= '0' && node[digits - 1] <= '9') --digits;
    if (digits == node.size() || node.size() - digits > 3) return std::nullopt;
    entry.number = static_cast<uint32_t>(std::strtoul(node.c_str() + digits, nullptr, 10));
    const auto start = Bytes(item.Find("start"), table.sectorSize);
    const auto length = Bytes(item.Find("size"), table.sectorSize);
    if (entry.number == 0 || !start || !length || *start > std::numeric_limits<uint64_t>::max() - *length)
        return std::nullopt;
    entry.startBytes = *start;
    entry.lengthBytes = *length;
    entry.type = Text(item.Find("type"));
    if (table.style == PartitionStyle::kMbr) {
        const auto type = TypeByte(entry.type);
        if (!type) return std::nullopt;
        entry.mbrType = *type;
        const JsonValue* bootable = item.Find("bootable");
        entry.bootable = bootable && bootable->kind == JsonValue::Kind::kBool && bootable->boolean;
    } else {
        entry.name = Text(item.Find("name"));
        entry.uuid = Text(item.Find("uuid"));
    }
    return entry;
}

// Whether the first sector of `node` can be read and lacks the boot signature
// that every MBR and every GPT's protective MBR carries.
bool ReadsWithoutBootSignature(const std::string& node)
{
    std::ifstream in(node, std::ios::binary);
    std::array<char, 512> sector{};
    if (!in.read(sector.data(), sector.size())) return false;
    return !(static_cast<uint8_t>(sector[510]) == 0x55 && static_cast<uint8_t>(sector[511]) == 0xAA);
}

}  // namespace

std::optional<PartitionTable> ParseSfdiskJson(const std::string& text)
{
    const auto document = ParseJson(text);
    const JsonValue* root = document ? document->Find("partitiontable") : nullptr;
    if (!root || root->kind != JsonValue::Kind::kObject) return std::nullopt;
    PartitionTable table;
    const std::string label = Text(root->Find("label"));
    if (label == "dos") table.style = PartitionStyle::kMbr;
    else if (label == "gpt") table.style = PartitionStyle::kGpt;
    else return std::nullopt;
    if (const JsonValue* unit = root->Find("unit"); unit && Text(unit) != "sectors") return std::nullopt;
    if (const JsonValue* size = root->Find("sectorsize")) {
        const auto bytes = size->Unsigned();
        if (!bytes || *bytes < 512 || *bytes > 65536 || (*bytes & (*bytes - 1)) != 0) return std::nullopt;
        table.sectorSize = static_cast<uint32_t>(*bytes);
    }
    table.identifier = Text(root->Find("id"));
    if (table.style == PartitionStyle::kMbr) {
        char* end = nullptr;
        const unsigned long long signature = std::strtoull(table.identifier.c_str(), &end, 16);
        if (table.identifier.rfind("0x", 0) != 0 || !end || *end != '\0' || signature > 0xFFFFFFFFull)
            return std::nullopt;
        table.mbrSignature = static_cast<uint32_t>(signature);
    }
    if (const JsonValue* partitions = root->Find("partitions")) {
        if (partitions->kind != JsonValue::Kind::kArray) return std::nullopt;
        for (const JsonValue& item : partitions->items) {
            auto entry = Entry(item, table);
            if (!entry) return std::nullopt;
            table.entries.push_back(std::move(*entry));
        }
    }
    std::sort(table.entries.begin(), table.entries.end(),
              [](const PartitionTableEntry& a, const PartitionTableEntry& b) { return a.number < b.number; });
    return table;
}

std::optional<PartitionTable> ReadPartitionTable(const LimitedToolRunner& run, const std::string& node,
                                                 std::string& error)
{
    const ToolRun result = run({"sfdisk", "--json", node}, kPartitionReadTimeLimitMs);
    // sfdisk fails alike on a disk without a table and on one it cannot read;
    // its words depend on the locale, the first sector does not.
    if (result.started && !result.timedOut && result.exitCode == 1 && ReadsWithoutBootSignature(node))
        return PartitionTable{};
    if (!result.Succeeded()) {
        error = "sfdisk --json " + node + " failed (exit " + std::to_string(result.exitCode) + "): " + result.output;
        return std::nullopt;
    }
    auto table = ParseSfdiskJson(result.output);
    if (!table) error = "sfdisk --json " + node + " printed no partition table: " + result.output;
    return table;
}

}  // namespace platform::linuxst
