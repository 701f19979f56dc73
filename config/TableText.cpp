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

std::string Line(const char* name, size_t first, size_t last, const std::string& value)
{
    const std::string range = first == last ? Format("[%zu]", first) : Format("[%zu..%zu]", first, last);
    return Format("%-24s %-11s %s\n", name, range.c_str(), value.c_str());
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

std::string strDecodeConfigTable(const TableBytes& t, uint8_t ucConfigFormat)
{
    using namespace config_table;
    const bool format4 = ucConfigFormat == kConfigFormat4;
    std::string text = Format("ConfigTable (format %d)\n", format4 ? 4 : 1);
    text += Line("(not used)", 0, 3, Format("%02X %02X %02X %02X", t[0], t[1], t[2], t[3]));
    text += Line("serial number", 4, 23, Text(t, kSerialNumber, 20));
    text += Line("manufacturer string", 24, 59, Text(t, kManufacturer, 36));
    if (format4) text += Line("SCSI vendor id", 60, 67, Text(t, kManufacturerT10, 8));
    text += Line("product string", 68, 99, Text(t, kProduct, 32));
    if (format4) text += Line("SCSI product id", 100, 115, Text(t, kProductT10, 16));
    text += Line("idVendor", 116, 117, Hex16(t, kVendorId));
    text += Line("idProduct", 118, 119, Hex16(t, kProductId));
    text += Line("bcdDevice", 120, 121, Hex16(t, kDeviceRevision));
    const uint8_t b122 = t[kPowerOrStandby];
    const unsigned standby = (b122 & 0x0F) >= 1 && (b122 & 0x0F) <= 11 ? b122 & 0x0Fu : 0u;
    if (format4) {
        text += Line("power byte", 122, 122,
                     Format("0x%02X standby_timer %u, LP if Idle %u, LP if U3 %u", b122, standby, (b122 >> 4) & 3u,
                            (b122 >> 6) & 3u));
        const uint8_t b123 = t[kPcie];
        text += Line("PCIe byte", 123, 123,
                     Format("0x%02X PCIE ASPM %u, Force PCIE Speed %u, Force PCIE Lane %u", b123, b123 & 3u,
                            (b123 >> 2) & 3u, (b123 >> 4) & 3u));
    } else {
        text += Line("standby byte", 122, 122,
                     Format("0x%02X standby_timer %u, WTG %s", b122, standby, OnOff(!(b122 & 0x10))));
    }
    text += Line("fixed", 124, 124, Format("0x%02X (expected 0x02)", t[kFixed02]));
    static const char* const names4[8] = {"USB removable", "Eup", "Two LEDS", "WTG",
                                          "U1/U2", "Low Power Mode", "2TB", "Slow Enumeration"};
    static const char* const names1[8] = {"reserved", "Eup", "Two LEDS", "hdd_standby",
                                          "U1/U2", "Low Power Mode", "2TB", "Slow Enumeration"};
    text += Line("option bits", 125, 125, OptionBits(t[kOptions], format4 ? names4 : names1));
    text += Line("signature", 126, 126,
                 Format("0x%02X (%s)", t[kSignature], t[kSignature] == kSignatureValue ? "ok" : "expected 0x5A"));
    ConfigTable table;
    std::copy(t.begin(), t.end(), table.begin());
    const uint8_t sum = ucConfigTableChecksum(table);
    text += Line("checksum", 127, 127,
                 Format("0x%02X (%s, sum of bytes 4..126 is 0x%02X)", t[kChecksum], sum == t[kChecksum] ? "ok" : "BAD",
                        sum));
    return text;
}

std::string strDecodeU4ConfigTable(const TableBytes& t)
{
    using namespace u4_table;
    U4ConfigTable block;
    std::copy(t.begin(), t.end(), block.begin());
    std::string text = "U4ConfigTable\n";
    text += Line("(not used)", 0, 3, Format("%02X %02X %02X %02X", t[0], t[1], t[2], t[3]));
    text += Line("vendor name", 4, 43, Text(t, kVendorName, kNameCapacity));
    text += Line("model name", 44, 83, Text(t, kModelName, kNameCapacity));
    text += Line("component ID", 84, 89, strComponentIdFromU4Config(block));
    const uint8_t b89 = t[kComponentIdHigh];
    text += Line("U4 mode / 20G / x2", 89, 89,
                 Format("U4 mode %u, 20G %s, x2 %s", (b89 >> 4) & 3u, OnOff(b89 & 0x40), OnOff(b89 & 0x80)));
    text += Line("CL mode", 90, 90, Format("0x%02X CL mode %u", t[kCLMode], t[kCLMode] & 3u));
    text += Line("USB4 vendor ID", 92, 93, Hex16(t, kVendorId));
    text += Line("USB4 product ID", 94, 95, Hex16(t, kProductId));
    text += Line("USB4 test ID", 96, 99, Format("%08X", LE(t, kTestId, 4)));
    text += Line("BCD product FW", 100, 101, Hex16(t, kBcdProductFW));
    text += Line("product HW", 102, 102, Format("%02X", t[kProductHW]));
    text += Line("MinFW", 103, 103, Format("%02X", t[kMinFW]));
    text += Line("TBT3 vendor ID", 108, 109, Hex16(t, kTBT3VendorId));
    text += Line("TBT3 model ID", 110, 111, Hex16(t, kTBT3ModelId));
    text += Line("TBT3 model revision", 112, 112, Format("%02X", t[kTBT3ModelRevision]));
    text += Line("PCI vendor ID", 116, 117, Hex16(t, kPciVendorId));
    text += Line("PCI device ID", 118, 119, Hex16(t, kPciDeviceId));
    text += Line("relink signature", 124, 125,
                 Format("worker count %u, device index %u", t[kRelinkWorkerCount], t[kRelinkDeviceIndex]));
    text += Line("signature", 126, 126,
                 Format("0x%02X (%s)", t[kSignature], t[kSignature] == kSignatureValue ? "ok" : "expected 0xA5"));
    const uint8_t sum = ucU4ConfigChecksum(block);
    text += Line("checksum", 127, 127,
                 Format("0x%02X (%s, sum of bytes 0..122 is 0x%02X)", t[kChecksum], sum == t[kChecksum] ? "ok" : "BAD",
                        sum));
    return text;
}
