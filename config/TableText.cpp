#include "config/TableText.h"

#include <cstdarg>
#include <cstdio>

#include "config/U4ConfigTable.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Characters of a text field up to its first 0xFF (or 0x00), quoted; other bytes
// that are not printable are shown as \xNN.
std::string Text(const TableBytes& t, size_t offset, size_t length)
{
    std::string text = "\"";
    for (size_t i = offset; i < offset + length; ++i) {
        const uint8_t c = t[i];
        if (c == 0xFF || c == 0x00) break;
        text += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? std::string(1, static_cast<char>(c))
                                                                 : Format("\\x%02X", c);
    }
    return text + "\"";
}

uint32_t LE(const TableBytes& t, size_t offset, size_t width)
{
    uint32_t value = 0;
    for (size_t i = width; i-- > 0;) value = (value << 8) | t[offset + i];
    return value;
}

TableField Field(const char* name, size_t first, size_t last, const std::string& value)
{
    return {name, first, last, value};
}

std::string Lines(const std::string& title, const std::vector<TableField>& fields)
{
    std::string text = title + "\n";
    for (const auto& f : fields) {
        const std::string range = f.first == f.last ? Format("[%zu]", f.first) : Format("[%zu..%zu]", f.first, f.last);
        text += Format("%-24s %-11s %s\n", f.name.c_str(), range.c_str(), f.value.c_str());
    }
    return text;
}

std::string Hex16(const TableBytes& t, size_t offset)
{
    return Format("%04X", LE(t, offset, 2));
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

std::string OptionBits(uint8_t byte, const char* const names[8])
{
    std::string text = Format("0x%02X ", byte);
    for (int bit = 0; bit < 8; ++bit)
        text += Format("%s%s %s", bit ? ", " : "", names[bit], OnOff(!(byte & (1u << bit))));
    return text;
}

}  // namespace

std::string strTableHexLines(const TableBytes& table)
{
    std::string text;
    for (size_t row = 0; row < 8; ++row) {
        for (size_t col = 0; col < 16; ++col) text += Format(col ? " %02X" : "%02X", table[row * 16 + col]);
        text += "\n";
    }
    return text;
}

TableKind GuessTableKind(const TableBytes& table)
{
    if (table[u4_table::kSignature] == u4_table::kSignatureValue) return TableKind::kU4Config;
    if (table[config_table::kSignature] != config_table::kSignatureValue) return TableKind::kUnknown;
    bool format4Bytes = table[config_table::kPcie] != 0xFF;
    for (size_t i = config_table::kManufacturerT10; i < config_table::kProduct; ++i) format4Bytes |= table[i] != 0xFF;
    for (size_t i = config_table::kProductT10; i < config_table::kVendorId; ++i) format4Bytes |= table[i] != 0xFF;
    return format4Bytes ? TableKind::kConfigFormat4 : TableKind::kConfigFormat1;
}

const char* TableKindName(TableKind kind)
{
    switch (kind) {
    case TableKind::kConfigFormat1: return "ConfigTable (format 1)";
    case TableKind::kConfigFormat4: return "ConfigTable (format 4)";
    case TableKind::kU4Config: return "U4ConfigTable";
    default: return "unknown table";
    }
}

std::vector<TableField> DecodeConfigTableFields(const TableBytes& t, uint8_t ucConfigFormat)
{
    using namespace config_table;
    const bool format4 = ucConfigFormat == kConfigFormat4;
    std::vector<TableField> fields;
    fields.push_back(Field("(not used)", 0, 3, Format("%02X %02X %02X %02X", t[0], t[1], t[2], t[3])));
    fields.push_back(Field("serial number", 4, 23, Text(t, kSerialNumber, 20)));
    fields.push_back(Field("manufacturer string", 24, 59, Text(t, kManufacturer, 36)));
    if (format4) fields.push_back(Field("SCSI vendor id", 60, 67, Text(t, kManufacturerT10, 8)));
    fields.push_back(Field("product string", 68, 99, Text(t, kProduct, 32)));
    if (format4) fields.push_back(Field("SCSI product id", 100, 115, Text(t, kProductT10, 16)));
    fields.push_back(Field("idVendor", 116, 117, Hex16(t, kVendorId)));
    fields.push_back(Field("idProduct", 118, 119, Hex16(t, kProductId)));
    fields.push_back(Field("bcdDevice", 120, 121, Hex16(t, kDeviceRevision)));
    const uint8_t b122 = t[kPowerOrStandby];
    const unsigned standby = (b122 & 0x0F) >= 1 && (b122 & 0x0F) <= 11 ? b122 & 0x0Fu : 0u;
    if (format4) {
        fields.push_back(Field("power byte", 122, 122,
                     Format("0x%02X standby_timer %u, LP if Idle %u, LP if U3 %u", b122, standby, (b122 >> 4) & 3u,
                            (b122 >> 6) & 3u)));
        const uint8_t b123 = t[kPcie];
        fields.push_back(Field("PCIe byte", 123, 123,
                     Format("0x%02X PCIE ASPM %u, Force PCIE Speed %u, Force PCIE Lane %u", b123, b123 & 3u,
                            (b123 >> 2) & 3u, (b123 >> 4) & 3u)));
    } else {
        fields.push_back(Field("standby byte", 122, 122,
                     Format("0x%02X standby_timer %u, WTG %s", b122, standby, OnOff(!(b122 & 0x10)))));
    }
    fields.push_back(Field("fixed", 124, 124, Format("0x%02X (expected 0x02)", t[kFixed02])));
    static const char* const names4[8] = {"USB removable", "Eup", "Two LEDS", "WTG",
                                          "U1/U2", "Low Power Mode", "2TB", "Slow Enumeration"};
    static const char* const names1[8] = {"reserved", "Eup", "Two LEDS", "hdd_standby",
                                          "U1/U2", "Low Power Mode", "2TB", "Slow Enumeration"};
    fields.push_back(Field("option bits", 125, 125, OptionBits(t[kOptions], format4 ? names4 : names1)));
    fields.push_back(Field("signature", 126, 126,
                 Format("0x%02X (%s)", t[kSignature], t[kSignature] == kSignatureValue ? "ok" : "expected 0x5A")));
    ConfigTable table;
    std::copy(t.begin(), t.end(), table.begin());
    const uint8_t sum = ucConfigTableChecksum(table);
    fields.push_back(Field("checksum", 127, 127,
                 Format("0x%02X (%s, sum of bytes 4..126 is 0x%02X)", t[kChecksum], sum == t[kChecksum] ? "ok" : "BAD",
                        sum)));
    return fields;
}

std::vector<TableField> DecodeU4ConfigTableFields(const TableBytes& t)
{
    using namespace u4_table;
    U4ConfigTable block;
    std::copy(t.begin(), t.end(), block.begin());
    std::vector<TableField> fields;
    fields.push_back(Field("(not used)", 0, 3, Format("%02X %02X %02X %02X", t[0], t[1], t[2], t[3])));
    fields.push_back(Field("vendor name", 4, 43, Text(t, kVendorName, kNameCapacity)));
    fields.push_back(Field("model name", 44, 83, Text(t, kModelName, kNameCapacity)));
    fields.push_back(Field("component ID", 84, 89, strComponentIdFromU4Config(block)));
    const uint8_t b89 = t[kComponentIdHigh];
    fields.push_back(Field("U4 mode / 20G / x2", 89, 89,
                 Format("U4 mode %u, 20G %s, x2 %s", (b89 >> 4) & 3u, OnOff(b89 & 0x40), OnOff(b89 & 0x80))));
    fields.push_back(Field("CL mode", 90, 90, Format("0x%02X CL mode %u", t[kCLMode], t[kCLMode] & 3u)));
    fields.push_back(Field("USB4 vendor ID", 92, 93, Hex16(t, kVendorId)));
    fields.push_back(Field("USB4 product ID", 94, 95, Hex16(t, kProductId)));
    fields.push_back(Field("USB4 test ID", 96, 99, Format("%08X", LE(t, kTestId, 4))));
    fields.push_back(Field("BCD product FW", 100, 101, Hex16(t, kBcdProductFW)));
    fields.push_back(Field("product HW", 102, 102, Format("%02X", t[kProductHW])));
    fields.push_back(Field("MinFW", 103, 103, Format("%02X", t[kMinFW])));
    fields.push_back(Field("TBT3 vendor ID", 108, 109, Hex16(t, kTBT3VendorId)));
    fields.push_back(Field("TBT3 model ID", 110, 111, Hex16(t, kTBT3ModelId)));
    fields.push_back(Field("TBT3 model revision", 112, 112, Format("%02X", t[kTBT3ModelRevision])));
    fields.push_back(Field("PCI vendor ID", 116, 117, Hex16(t, kPciVendorId)));
    fields.push_back(Field("PCI device ID", 118, 119, Hex16(t, kPciDeviceId)));
    fields.push_back(Field("relink signature", 124, 125,
                 Format("worker count %u, device index %u", t[kRelinkWorkerCount], t[kRelinkDeviceIndex])));
    fields.push_back(Field("signature", 126, 126,
                 Format("0x%02X (%s)", t[kSignature], t[kSignature] == kSignatureValue ? "ok" : "expected 0xA5")));
    const uint8_t sum = ucU4ConfigChecksum(block);
    fields.push_back(Field("checksum", 127, 127,
                 Format("0x%02X (%s, sum of bytes 0..122 is 0x%02X)", t[kChecksum], sum == t[kChecksum] ? "ok" : "BAD",
                        sum)));
    return fields;
}

std::string strDecodeConfigTable(const TableBytes& table, uint8_t ucConfigFormat)
{
    const int format = ucConfigFormat == kConfigFormat4 ? 4 : 1;
    return Lines(Format("ConfigTable (format %d)", format), DecodeConfigTableFields(table, ucConfigFormat));
}

std::string strDecodeU4ConfigTable(const TableBytes& table)
{
    return Lines("U4ConfigTable", DecodeU4ConfigTableFields(table));
}
