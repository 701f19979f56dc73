#include "pd/PDFirmwareFile.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pd {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes the hex digit pairs of `digits` into bytes; on a bad digit returns
// its 0-based position in `digits`.
std::optional<size_t> DecodeHex(std::string_view digits, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    for (size_t i = 0; i < digits.size(); ++i)
        if (HexDigit(digits[i]) < 0) return i;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
    return std::nullopt;
}

// Two's complement of the byte sum: the checksum rule of both text formats.
uint8_t TwosComplementSum(const uint8_t* data, size_t size)
{
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += data[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

// The lines of a text, without their line ends, numbered from 1.
struct TextLine {
    int number;
    std::string_view text;
};
std::vector<TextLine> SplitLines(const std::string& text)
{
    std::vector<TextLine> lines;
    size_t start = 0;
    int number = 1;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({number++, line});
        start = end + 1;
    }
    return lines;
}

void Add(std::vector<PDFileFinding>& findings, int line, std::string rule)
{
    findings.push_back({line, std::move(rule)});
}

// Decodes a whole record line after its ':'; false (with a finding) on a bad digit.
bool DecodeRecordLine(const TextLine& line, std::vector<uint8_t>& bytes, std::vector<PDFileFinding>& findings)
{
    const std::string_view digits = line.text.substr(1);
    if (const auto bad = DecodeHex(digits, bytes)) {
        Add(findings, line.number, Format("bad hex digit '%c' at column %zu", digits[*bad], *bad + 2));
        return false;
    }
    if (digits.size() % 2 != 0) {
        Add(findings, line.number, "odd number of hex digits");
        return false;
    }
    return true;
}

void ParseCypressHeader(const TextLine& line, CypressFWHeader& header, std::vector<PDFileFinding>& findings)
{
    std::vector<uint8_t> bytes;
    if (line.text.size() != 12) {
        Add(findings, line.number, Format("header of %zu characters, 12 hex digits expected", line.text.size()));
        return;
    }
    if (const auto bad = DecodeHex(line.text, bytes)) {
        Add(findings, line.number, Format("bad hex digit '%c' at column %zu", line.text[*bad], *bad + 1));
        return;
    }
    header.dwSliconID = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    header.ucSiliconRev = bytes[4];
    header.ucCheckSumType = bytes[5];
}

// One row line into `row`; false when it cannot be read.
bool ParseCypressRow(const TextLine& line, CypressFWRow& row, std::vector<PDFileFinding>& findings)
{
    if (line.text.size() < kCypressRowLineLength) {
        Add(findings, line.number,
            Format("The FW ROW length too short..[%zu] (%zu characters expected)", line.text.size(),
                   kCypressRowLineLength));
        return false;
    }
    if (line.text.size() > kCypressRowLineLength) {
        Add(findings, line.number,
            Format("row line of %zu characters, %zu expected", line.text.size(), kCypressRowLineLength));
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!DecodeRecordLine(line, bytes, findings)) return false;
    // array ID, row (2), length (2), 128 data bytes, checksum
    row.ucArrayID = bytes[0];
    row.wRowNum = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
    row.wDataLength = static_cast<uint16_t>(bytes[3] << 8 | bytes[4]);
    std::copy_n(bytes.begin() + 5, kCypressRowSize, row.ucData.begin());
    row.ucFileChkSum = bytes.back();
    row.ucCalcChkSum = TwosComplementSum(bytes.data(), bytes.size() - 1);
    if (row.wDataLength != kCypressRowSize)
        Add(findings, line.number, Format("row data length 0x%04X, 0x%04X expected", row.wDataLength, kCypressRowSize));
    if (row.ucFileChkSum != row.ucCalcChkSum)
        Add(findings, line.number,
            Format("row checksum 0x%02X differs from the computed 0x%02X", row.ucFileChkSum, row.ucCalcChkSum));
    return true;
}

// Byte count each record type must carry (-1: any).
int RequiredByteCount(uint8_t type)
{
    switch (type) {
    case kHexEndOfFile: return 0;
    case kHexExtendedSegmentAddress:
    case kHexExtendedLinearAddress: return 2;
    case kHexStartSegmentAddress:
    case kHexStartLinearAddress: return 4;
    default: return -1;
    }
}

// Rules of one decoded HEX record in its place in the file.
struct HexWalk {
    bool ended = false;
    bool firstRecord = true;
    uint16_t upperAddress = 0;
};

void CheckHexRecord(const TextLine& line, const MCURecord& record, HexWalk& walk,
                    std::vector<PDFileFinding>& findings)
{
    const uint8_t type = record.ucDataType;
    if (walk.ended) Add(findings, line.number, "record after the End Of File record");
    if (type > kHexStartLinearAddress) {
        Add(findings, line.number, Format("unknown record type 0x%02X", type));
        return;
    }
    const int required = RequiredByteCount(type);
    if (required >= 0 && record.ucByteCount != required) {
        Add(findings, line.number,
            Format("%s record with byte count %u, %d expected", HexRecordTypeName(type), record.ucByteCount, required));
        return;
    }
    const uint16_t value = static_cast<uint16_t>(record.ucData[0] << 8 | record.ucData[1]);
    switch (type) {
    case kHexData:
        if (record.ucByteCount == 0)
            Add(findings, line.number, "Data record of byte count 0 before the End Of File record");
        else if (record.wLoadOffset + record.ucByteCount > kMCUImageSize)
            Add(findings, line.number,
                Format("Data record 0x%04X..0x%04X beyond the 48 KiB MCU image", record.wLoadOffset,
                       record.wLoadOffset + record.ucByteCount - 1));
        break;
    case kHexEndOfFile: walk.ended = true; break;
    case kHexExtendedLinearAddress:
        // The image takes its upper address from the first record; any other
        // value would place later data where the image does not look.
        if (walk.firstRecord) walk.upperAddress = value;
        else if (value != walk.upperAddress)
            Add(findings, line.number,
                Format("Extended Linear Address 0x%04X differs from the image's 0x%04X", value, walk.upperAddress));
        break;
    case kHexExtendedSegmentAddress:
        if (value != 0)
            Add(findings, line.number, Format("Extended Segment Address 0x%04X moves data out of the image", value));
        break;
    default: break;
    }
    walk.firstRecord = false;
}

}  // namespace

PDFileKind PDFileKindFromPath(std::string_view path)
{
    const auto contains = [&](std::string_view text) { return path.size() > 1 && path.find(text, 1) != path.npos; };
    if (contains(".cyacd")) return PDFileKind::Cypress;
    if (contains(".bin")) return PDFileKind::Richtek;
    if (contains(".hex")) return PDFileKind::STMHex;
    return PDFileKind::Unknown;
}

const char* PDFileKindName(PDFileKind kind)
{
    switch (kind) {
    case PDFileKind::Richtek: return "Richtek PD image";
    case PDFileKind::Cypress: return "Cypress PD rows";
    case PDFileKind::STMHex: return "STM MCU Intel HEX";
    default: return "unknown";
    }
}

int FileVendorOfKind(PDFileKind kind)
{
    switch (kind) {
    case PDFileKind::Richtek: return kVendorRichtek;
    case PDFileKind::Cypress: return kVendorCypress;
    case PDFileKind::STMHex: return kVendorSTM;
    default: return kVendorUnknown;
    }
}

std::string FindingText(const std::string& path, const PDFileFinding& finding)
{
    if (finding.line == 0) return path + ": " + finding.rule;
    return path + ":" + std::to_string(finding.line) + ": " + finding.rule;
}

const char* HexRecordTypeName(uint8_t type)
{
    switch (type) {
    case kHexData: return "Data";
    case kHexEndOfFile: return "End Of File";
    case kHexExtendedSegmentAddress: return "Extended Segment Address";
    case kHexStartSegmentAddress: return "Start Segment Address";
    case kHexExtendedLinearAddress: return "Extended Linear Address";
    case kHexStartLinearAddress: return "Start Linear Address";
    default: return "unknown";
    }
}

std::optional<std::vector<uint8_t>> ParseRichtekImage(const std::string& bytes, std::vector<PDFileFinding>& findings)
{
    if (bytes.size() != kRichtekImageSize) {
        Add(findings, 0,
            Format("The PD FW file size is uncompatibie!!! [%zx] (0x%X bytes expected)", bytes.size(),
                   kRichtekImageSize));
        return std::nullopt;
    }
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

CypressFile ParseCypressFile(const std::string& text, std::vector<PDFileFinding>& findings)
{
    CypressFile file;
    bool headerSeen = false;
    bool tableFull = false;
    for (const TextLine& line : SplitLines(text)) {
        if (line.text.empty()) continue;
        if (line.text[0] != ':') {
            if (headerSeen) Add(findings, line.number, "a second header line");
            else ParseCypressHeader(line, file.header, findings);
            headerSeen = true;
            continue;
        }
        if (!headerSeen) {
            Add(findings, line.number, "row line before the header line");
            headerSeen = true;
        }
        CypressFWRow row;
        if (!ParseCypressRow(line, row, findings)) continue;
        if (file.rows.size() == kCypressRowCount) {
            if (!tableFull) Add(findings, line.number, "row beyond the table of 256 rows");
            tableFull = true;
            continue;
        }
        // The write walks row numbers upwards, so a row out of order would never be written.
        if (!file.rows.empty() && row.wRowNum <= file.rows.back().wRowNum)
            Add(findings, line.number,
                Format("row 0x%04X after row 0x%04X: rows must ascend", row.wRowNum, file.rows.back().wRowNum));
        if (row.wRowNum < kCypressLowRowLimit) file.bLowRows = true;
        file.rows.push_back(row);
    }
    if (!headerSeen) Add(findings, 0, "no header line");
    if (file.rows.empty() && !tableFull) Add(findings, 0, "no row lines");
    return file;
}

MCUFile ParseMCUHexFile(const std::string& text, std::vector<PDFileFinding>& findings)
{
    MCUFile file;
    HexWalk walk;
    bool tableFull = false;
    for (const TextLine& line : SplitLines(text)) {
        if (line.text.empty()) continue;
        if (line.text[0] != ':') {
            Add(findings, line.number, "line does not start with ':'");
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!DecodeRecordLine(line, bytes, findings)) continue;
        if (bytes.size() < 5) {
            Add(findings, line.number, Format("record of %zu bytes, at least 5 expected", bytes.size()));
            continue;
        }
        if (bytes.size() != 5u + bytes[0]) {
            Add(findings, line.number,
                Format("byte count %u needs a line of %u characters, not %zu", bytes[0], 11u + 2u * bytes[0],
                       line.text.size()));
            continue;
        }
        MCURecord record;
        record.ucByteCount = bytes[0];
        record.wLoadOffset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
        record.ucDataType = bytes[3];
        std::copy_n(bytes.begin() + 4, record.ucByteCount, record.ucData.begin());
        record.ucChkSum = bytes.back();
        const uint8_t computed = TwosComplementSum(bytes.data(), bytes.size() - 1);
        if (computed != record.ucChkSum)
            Add(findings, line.number,
                Format("record checksum 0x%02X differs from the computed 0x%02X", record.ucChkSum, computed));
        CheckHexRecord(line, record, walk, findings);
        if (file.records.size() == kMCURecordCount) {
            if (!tableFull) Add(findings, line.number, "record beyond the table of 4096 records");
            tableFull = true;
            continue;
        }
        file.records.push_back(record);
    }
    if (!walk.ended) Add(findings, 0, "no End Of File record");
    return file;
}

MCUImage BuildMCUImage(const MCUFile& file)
{
    MCUImage image;
    image.bytes.assign(kMCUImageSize, 0);
    if (!file.records.empty() && file.records[0].ucDataType == kHexExtendedLinearAddress &&
        file.records[0].ucByteCount == 2)
        image.upperAddress = static_cast<uint16_t>(file.records[0].ucData[0] << 8 | file.records[0].ucData[1]);
    for (const MCURecord& record : file.records) {
        if (record.ucByteCount == 0) break;
        if (record.ucDataType != kHexData) continue;
        const uint32_t end = std::min<uint32_t>(record.wLoadOffset + record.ucByteCount, kMCUImageSize);
        if (end <= record.wLoadOffset) continue;
        std::copy_n(record.ucData.begin(), end - record.wLoadOffset, image.bytes.begin() + record.wLoadOffset);
        // The furthest end, so records out of address order still all go out.
        image.length = std::max(image.length, end);
    }
    return image;
}

std::string RichtekFileVersion(const std::vector<uint8_t>& image)
{
    if (image.size() <= kRichtekVersionOffset + 1) return {};
    return Format("%02x%02x", image[kRichtekVersionOffset + 1], image[kRichtekVersionOffset]);
}

std::string CypressFileVersion(const std::string& text)
{
    struct VersionPlace {
        const char* header;
        size_t offset;
    };
    static constexpr VersionPlace kPlaces[] = {
        {"140411A40000", 567}, {"1D0311AD0000", 488}, {"1D0411AD0000", 488}, {"1F0111AF0000", 473}};
    for (const auto& place : kPlaces)
        if (text.compare(0, 12, place.header) == 0 && text.size() >= place.offset + 16)
            return text.substr(place.offset, 16);
    return {};
}

PDFirmwareFile LoadPDFirmwareFile(const std::string& path)
{
    PDFirmwareFile file;
    file.path = path;
    file.kind = PDFileKindFromPath(path);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    std::ifstream in;
    if (std::filesystem::exists(status)) in.open(path, std::ios::binary);
    if (!in.is_open()) {
        Add(file.findings, 0, "The PD FW file is not exist");
        return file;
    }
    // A folder or device opens like a file on Linux but cannot be read as one.
    if (!std::filesystem::is_regular_file(status)) {
        Add(file.findings, 0, "The PD FW file is not a regular file (a folder or a device)");
        return file;
    }
    std::string content;
    try {
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        in.setstate(std::ios::badbit);
    }
    file.readable = !in.bad();
    if (!file.readable) {
        Add(file.findings, 0, "The PD FW file cannot be read");
        return file;
    }
    file.fileSize = content.size();
    switch (file.kind) {
    case PDFileKind::Richtek:
        if (auto image = ParseRichtekImage(content, file.findings)) {
            file.richtek = std::move(*image);
            file.version = RichtekFileVersion(file.richtek);
        }
        break;
    case PDFileKind::Cypress:
        file.cypress = ParseCypressFile(content, file.findings);
        file.version = CypressFileVersion(content);
        break;
    case PDFileKind::STMHex: file.mcu = ParseMCUHexFile(content, file.findings); break;
    default: Add(file.findings, 0, "The PD FW file is Unknow (name ends in none of .bin, .cyacd, .hex)"); break;
    }
    return file;
}

}  // namespace pd
