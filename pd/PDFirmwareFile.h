#pragma once
// PD and MCU firmware files: the Richtek 16 KiB image (".bin"), the Cypress row
// file (".cyacd") and the STM MCU Intel-HEX file (".hex"). Each parser reads the
// whole text or image, fills its table and lists every finding (line and rule);
// a file with any finding is refused before anything is written to a controller,
// because a file that breaks its own checksums or layout would corrupt the
// controller's firmware.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd {

// PD chip vendor codes (also the file vendor codes of PD files).
constexpr int kVendorUnknown = 0;
constexpr int kVendorRichtek = 1;
constexpr int kVendorCypress = 2;
constexpr int kVendorCCG3 = 4;
constexpr int kVendorCCG3Alt = 5;
// MCU vendor code of an STM microcontroller.
constexpr int kVendorSTM = 20;

constexpr uint32_t kRichtekImageSize = 0x4000;
constexpr uint32_t kRichtekVersionOffset = 0x1000;
constexpr uint32_t kCypressRowSize = 128;
constexpr size_t kCypressRowCount = 256;
constexpr size_t kCypressRowLineLength = 269;  // ":" + 2 + 4 + 4 + 256 + 2
constexpr uint16_t kCypressLowRowLimit = 36;
constexpr size_t kMCURecordCount = 4096;
constexpr uint32_t kMCUImageSize = 0xC000;

enum class PDFileKind { Unknown, Richtek, Cypress, STMHex };

// Kind by the name: ".cyacd" anywhere after the first character makes a Cypress
// file; else ".bin" a Richtek image; else ".hex" an MCU file (case-sensitive).
PDFileKind PDFileKindFromPath(std::string_view path);
const char* PDFileKindName(PDFileKind kind);
// File vendor code of a kind: 1 Richtek, 2 Cypress, 20 STM, 0 otherwise.
int FileVendorOfKind(PDFileKind kind);

// One reason a file is refused: the 1-based line (0 for the whole file) and the rule.
struct PDFileFinding {
    int line = 0;
    std::string rule;
};
// "FILE:LINE: rule" ("FILE: rule" for a finding about the whole file).
std::string FindingText(const std::string& path, const PDFileFinding& finding);

struct CypressFWHeader {
    uint32_t dwSliconID = 0;
    uint8_t ucSiliconRev = 0;
    uint8_t ucCheckSumType = 0;
};

struct CypressFWRow {
    uint8_t ucArrayID = 0xFF;
    uint16_t wRowNum = 0xFFFF;
    uint16_t wDataLength = 0xFFFF;
    std::array<uint8_t, kCypressRowSize> ucData;
    uint8_t ucFileChkSum = 0xFF;
    uint8_t ucCalcChkSum = 0xFF;
    CypressFWRow() { ucData.fill(0xFF); }
};

// Intel-HEX record types.
enum HexRecordType : uint8_t {
    kHexData = 0,
    kHexEndOfFile = 1,
    kHexExtendedSegmentAddress = 2,
    kHexStartSegmentAddress = 3,
    kHexExtendedLinearAddress = 4,
    kHexStartLinearAddress = 5,
};
const char* HexRecordTypeName(uint8_t type);

struct MCURecord {
    uint8_t ucByteCount = 0xFF;
    uint16_t wLoadOffset = 0xFFFF;
    uint8_t ucDataType = 0xFF;
    std::array<uint8_t, 255> ucData;
    uint8_t ucChkSum = 0xFF;
    MCURecord() { ucData.fill(0xFF); }
};

struct CypressFile {
    CypressFWHeader header;
    std::vector<CypressFWRow> rows;  // in file order, at most 256
    bool bLowRows = false;           // a row numbered below 36
};

struct MCUFile {
    std::vector<MCURecord> records;  // in file order, at most 4096, the end record included
};

// The MCU image: 48 KiB, zero-filled, data records at their load offsets up to the
// first record of byte count 0; `length` is the end offset of the last data
// record; `upperAddress` the extended linear address of the first record (0 when
// the file does not start with one).
struct MCUImage {
    std::vector<uint8_t> bytes;
    uint32_t length = 0;
    uint16_t upperAddress = 0;
};

// Parsers. Each returns the table it could build and appends its findings.
std::optional<std::vector<uint8_t>> ParseRichtekImage(const std::string& bytes, std::vector<PDFileFinding>& findings);
CypressFile ParseCypressFile(const std::string& text, std::vector<PDFileFinding>& findings);
MCUFile ParseMCUHexFile(const std::string& text, std::vector<PDFileFinding>& findings);

MCUImage BuildMCUImage(const MCUFile& file);

// Version texts of a file: Richtek "%02x%02x" of bytes 0x1001 and 0x1000;
// Cypress the 16 characters the header selects (empty for another header).
std::string RichtekFileVersion(const std::vector<uint8_t>& image);
std::string CypressFileVersion(const std::string& text);

// A PD or MCU file read and parsed whole.
struct PDFirmwareFile {
    std::string path;
    PDFileKind kind = PDFileKind::Unknown;
    bool readable = false;
    uint64_t fileSize = 0;
    std::vector<uint8_t> richtek;  // Richtek: the 16 KiB image
    CypressFile cypress;
    MCUFile mcu;
    std::string version;  // from the file; empty when the kind has none
    std::vector<PDFileFinding> findings;

    bool Accepted() const { return readable && kind != PDFileKind::Unknown && findings.empty(); }
};

PDFirmwareFile LoadPDFirmwareFile(const std::string& path);

}  // namespace pd
