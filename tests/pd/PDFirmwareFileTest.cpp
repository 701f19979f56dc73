// PD and MCU firmware files against fixtures written by independent tools
// (srec_cat, python3-intelhex; see fixtures/make-fixtures.sh) and hand-made rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "pd/PDFirmwareFile.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace pd;

std::string Fixture(const std::string& name) { return std::string(PD_FIXTURES) + "/" + name; }

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Start of line `number` (1-based) in `text`.
size_t LineStart(const std::string& text, int number)
{
    size_t at = 0;
    for (int i = 1; i < number; ++i) at = text.find('\n', at) + 1;
    return at;
}

bool HasFinding(const std::vector<PDFileFinding>& findings, int line, const std::string& part)
{
    for (const auto& f : findings)
        if (f.line == line && f.rule.find(part) != std::string::npos) return true;
    return false;
}

std::string Describe(const std::vector<PDFileFinding>& findings)
{
    std::string text;
    for (const auto& f : findings) text += std::to_string(f.line) + ": " + f.rule + "\n";
    return text;
}

TEST(PDFileKind, ByNameWithCyacdBeforeBin)
{
    EXPECT_EQ(PDFileKindFromPath("fw/pd.bin"), PDFileKind::Richtek);
    EXPECT_EQ(PDFileKindFromPath("fw/pd.bin.cyacd"), PDFileKind::Cypress);
    EXPECT_EQ(PDFileKindFromPath("fw.cyacd/x.bin"), PDFileKind::Cypress);
    EXPECT_EQ(PDFileKindFromPath("mcu.hex"), PDFileKind::STMHex);
    EXPECT_EQ(PDFileKindFromPath("MCU.HEX"), PDFileKind::Unknown);  // the search is case-sensitive
    EXPECT_EQ(PDFileKindFromPath(".bin"), PDFileKind::Unknown);     // only after the first character
    EXPECT_EQ(FileVendorOfKind(PDFileKind::Cypress), kVendorCypress);
    EXPECT_EQ(FileVendorOfKind(PDFileKind::STMHex), kVendorSTM);
}

TEST(RichtekFile, SixteenKiBWithVersionAt0x1001And0x1000)
{
    testsupport::TempFolder folder;
    std::string image(kRichtekImageSize, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 13);
    image[0x1000] = '\x34';
    image[0x1001] = '\x12';
    WriteText(folder.Path() / "rt.bin", image);
    const auto file = LoadPDFirmwareFile((folder.Path() / "rt.bin").string());
    ASSERT_TRUE(file.Accepted()) << Describe(file.findings);
    EXPECT_EQ(file.version, "1234");
    EXPECT_EQ(std::string(file.richtek.begin(), file.richtek.end()), image);
}

TEST(RichtekFile, OneByteShortIsRefused)
{
    testsupport::TempFolder folder;
    WriteText(folder.Path() / "rt.bin", std::string(kRichtekImageSize - 1, '\x5A'));
    const auto file = LoadPDFirmwareFile((folder.Path() / "rt.bin").string());
    EXPECT_FALSE(file.Accepted());
    EXPECT_TRUE(HasFinding(file.findings, 0, "The PD FW file size is uncompatibie!!! [3fff]"));
}

TEST(CypressFile, HandMadeCCG3RowsAndVersion)
{
    const auto file = LoadPDFirmwareFile(Fixture("ccg3_mode1.cyacd"));
    ASSERT_TRUE(file.Accepted()) << Describe(file.findings);
    EXPECT_EQ(file.cypress.header.dwSliconID, 0x1D0411ADu);
    EXPECT_EQ(file.cypress.header.ucSiliconRev, 0);
    ASSERT_EQ(file.cypress.rows.size(), 4u);
    EXPECT_EQ(file.cypress.rows[1].wRowNum, 0x0101);
    EXPECT_EQ(file.cypress.rows[3].wRowNum, 0x03FF);
    EXPECT_EQ(file.cypress.rows[0].ucData[1], (0x100 * 3 + 5) & 0xFF);
    EXPECT_EQ(file.cypress.rows[0].ucFileChkSum, file.cypress.rows[0].ucCalcChkSum);
    EXPECT_FALSE(file.cypress.bLowRows);
    // Header 1D0411AD0000 takes characters 488..503.
    EXPECT_EQ(file.version, "000521071D0411AD");
}

TEST(CypressFile, LowRowsAndOtherArrayIDs)
{
    const auto file = LoadPDFirmwareFile(Fixture("cypress_low.cyacd"));
    ASSERT_TRUE(file.Accepted()) << Describe(file.findings);
    EXPECT_TRUE(file.cypress.bLowRows);
    EXPECT_EQ(file.cypress.rows.back().ucArrayID, 0x01);
    EXPECT_EQ(file.version.size(), 16u);
}

TEST(CypressFile, HeaderOutsideTheTableGivesNoVersion)
{
    std::string text = ReadText(Fixture("ccg3_mode1.cyacd"));
    text.replace(0, 12, "2E0511BE0000");
    EXPECT_EQ(CypressFileVersion(text), "");
}

TEST(CypressFile, RowOf268CharactersIsRefusedWithItsLength)
{
    std::string text = ReadText(Fixture("ccg3_mode1.cyacd"));
    text.erase(LineStart(text, 3) + 100, 1);
    std::vector<PDFileFinding> findings;
    ParseCypressFile(text, findings);
    EXPECT_TRUE(HasFinding(findings, 3, "The FW ROW length too short..[268]")) << Describe(findings);
}

TEST(CypressFile, EveryMalformedRowNamesItsLine)
{
    std::string text = ReadText(Fixture("ccg3_mode1.cyacd"));
    text[LineStart(text, 2) + 40] ^= 0x01;  // a data digit changes: checksum differs
    text[LineStart(text, 3) + 20] = 'G';    // not a hex digit
    text[LineStart(text, 4) + 9] = '4';     // data length 0x0040
    std::vector<PDFileFinding> findings;
    ParseCypressFile(text, findings);
    EXPECT_TRUE(HasFinding(findings, 2, "row checksum")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 3, "bad hex digit 'G' at column 21")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 4, "row data length 0x0040")) << Describe(findings);
    EXPECT_EQ(findings.size(), 4u) << Describe(findings);  // line 4's checksum breaks as well
}

TEST(CypressFile, RowsOutOfOrderAndBeyondTheTableAreRefused)
{
    const std::string text = ReadText(Fixture("ccg3_mode1.cyacd"));
    const size_t row2 = LineStart(text, 3), row3 = LineStart(text, 4);
    const std::string swapped = text.substr(0, row2) + text.substr(row3, LineStart(text, 5) - row3) +
                                text.substr(row2, row3 - row2) + text.substr(LineStart(text, 5));
    std::vector<PDFileFinding> findings;
    ParseCypressFile(swapped, findings);
    EXPECT_TRUE(HasFinding(findings, 4, "rows must ascend")) << Describe(findings);

    // 257 rows: the last one finds no room.
    std::string many = "1D0411AD0000\n";
    const std::string rowLine = text.substr(LineStart(text, 2), LineStart(text, 3) - LineStart(text, 2));
    for (int i = 0; i < 257; ++i) many += rowLine;
    findings.clear();
    const auto file = ParseCypressFile(many, findings);
    EXPECT_EQ(file.rows.size(), kCypressRowCount);
    EXPECT_TRUE(HasFinding(findings, 258, "row beyond the table of 256 rows")) << Describe(findings);
}

TEST(CypressFile, MissingHeaderOrRowsIsRefused)
{
    std::vector<PDFileFinding> findings;
    ParseCypressFile("1D0411AD0000\r\n", findings);
    EXPECT_TRUE(HasFinding(findings, 0, "no row lines"));
    findings.clear();
    const std::string text = ReadText(Fixture("ccg3_mode1.cyacd"));
    ParseCypressFile(text.substr(LineStart(text, 2)), findings);
    EXPECT_TRUE(HasFinding(findings, 1, "row line before the header line")) << Describe(findings);
}

// The image from each independent writer equals that writer's own binary.
void ExpectImageEqualsBinary(const std::string& hex, const std::string& bin, uint16_t upper)
{
    const auto file = LoadPDFirmwareFile(Fixture(hex));
    ASSERT_TRUE(file.Accepted()) << Describe(file.findings);
    const auto image = BuildMCUImage(file.mcu);
    const std::string expected = ReadText(Fixture(bin));
    ASSERT_EQ(image.length, expected.size());
    EXPECT_EQ(image.upperAddress, upper);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.bytes.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_TRUE(std::all_of(image.bytes.begin() + image.length, image.bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST(MCUHexFile, SrecCatFileBuildsItsImage)
{
    ExpectImageEqualsBinary("mcu_srec.hex", "mcu_srec.bin", 0x0800);
    const auto file = LoadPDFirmwareFile(Fixture("mcu_srec.hex"));
    EXPECT_EQ(file.mcu.records.front().ucDataType, kHexExtendedLinearAddress);
    EXPECT_EQ(file.mcu.records[file.mcu.records.size() - 2].ucDataType, kHexStartLinearAddress);
    EXPECT_EQ(file.mcu.records.back().ucDataType, kHexEndOfFile);
}

TEST(MCUHexFile, IntelHexFileWithGapAndStartSegmentBuildsItsImage)
{
    ExpectImageEqualsBinary("mcu_intelhex.hex", "mcu_intelhex.bin", 0x0000);
    const auto file = LoadPDFirmwareFile(Fixture("mcu_intelhex.hex"));
    EXPECT_EQ(file.mcu.records.front().ucDataType, kHexStartSegmentAddress);
    EXPECT_EQ(file.mcu.records[1].ucByteCount, 32);
}

TEST(MCUHexFile, RecordTypeNames)
{
    EXPECT_STREQ(HexRecordTypeName(0), "Data");
    EXPECT_STREQ(HexRecordTypeName(1), "End Of File");
    EXPECT_STREQ(HexRecordTypeName(2), "Extended Segment Address");
    EXPECT_STREQ(HexRecordTypeName(3), "Start Segment Address");
    EXPECT_STREQ(HexRecordTypeName(4), "Extended Linear Address");
    EXPECT_STREQ(HexRecordTypeName(5), "Start Linear Address");
    EXPECT_STREQ(HexRecordTypeName(6), "unknown");
}

TEST(MCUHexFile, MalformedRecordsAreRefusedWithTheirLines)
{
    const std::string text = ReadText(Fixture("mcu_srec.hex"));
    std::string bad = text;
    bad[LineStart(bad, 2) + 12] ^= 0x01;  // checksum differs
    bad[LineStart(bad, 3) + 5] = 'x';     // not a hex digit
    bad.insert(LineStart(bad, 4), ":02000004080AE8\n");  // moves the upper address
    std::vector<PDFileFinding> findings;
    ParseMCUHexFile(bad, findings);
    EXPECT_TRUE(HasFinding(findings, 2, "record checksum")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 3, "bad hex digit 'x' at column 6")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 4, "Extended Linear Address 0x080A differs")) << Describe(findings);
    EXPECT_EQ(findings.size(), 3u) << Describe(findings);
}

TEST(MCUHexFile, EndRecordAndImageLimitsAreChecked)
{
    std::vector<PDFileFinding> findings;
    ParseMCUHexFile(":0400000001020304F2\n", findings);
    EXPECT_TRUE(HasFinding(findings, 0, "no End Of File record")) << Describe(findings);

    findings.clear();
    ParseMCUHexFile(":04BFFE000102030435\n:00000001FF\n:0400000001020304F2\n", findings);
    EXPECT_TRUE(HasFinding(findings, 1, "0xBFFE..0xC001 beyond the 48 KiB MCU image")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 3, "record after the End Of File record")) << Describe(findings);

    findings.clear();
    ParseMCUHexFile(":0100000701F7\n:03000004080000F1\n:020000020100FB\n:00000001FF\n", findings);
    EXPECT_TRUE(HasFinding(findings, 1, "unknown record type 0x07")) << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 2, "Extended Linear Address record with byte count 3, 2 expected"))
        << Describe(findings);
    EXPECT_TRUE(HasFinding(findings, 3, "Extended Segment Address 0x0100")) << Describe(findings);

    findings.clear();
    ParseMCUHexFile(":0400000001020304\n", findings);  // checksum missing
    EXPECT_TRUE(HasFinding(findings, 1, "byte count 4 needs a line of 19 characters, not 17")) << Describe(findings);
}

TEST(MCUHexFile, RecordsBeyondTheTableAreRefused)
{
    std::string text;
    for (size_t i = 0; i <= kMCURecordCount; ++i) text += ":0100000055AA\n";
    text += ":00000001FF\n";
    std::vector<PDFileFinding> findings;
    const auto file = ParseMCUHexFile(text, findings);
    EXPECT_EQ(file.records.size(), kMCURecordCount);
    EXPECT_TRUE(HasFinding(findings, 4097, "record beyond the table of 4096 records")) << Describe(findings);
}

TEST(MCUImage, FurthestRecordEndSetsTheLength)
{
    std::vector<PDFileFinding> findings;
    const auto file = ParseMCUHexFile(":02010000AABB98\n:0100000011EE\n:00000001FF\n", findings);
    ASSERT_TRUE(findings.empty()) << Describe(findings);
    const auto image = BuildMCUImage(file);
    EXPECT_EQ(image.length, 0x102u);
    EXPECT_EQ(image.bytes[0], 0x11);
    EXPECT_EQ(image.bytes[0x100], 0xAA);
    EXPECT_EQ(image.bytes[0x101], 0xBB);
}

TEST(PDFirmwareFile, MissingAndUnknownFilesAreRefused)
{
    testsupport::TempFolder folder;
    EXPECT_TRUE(HasFinding(LoadPDFirmwareFile((folder.Path() / "none.bin").string()).findings, 0, "not exist"));
    WriteText(folder.Path() / "fw.txt", "x");
    EXPECT_TRUE(HasFinding(LoadPDFirmwareFile((folder.Path() / "fw.txt").string()).findings, 0, "Unknow"));
    // A folder opens like a file but reads as none: refused in words, never thrown.
    std::filesystem::create_directory(folder.Path() / "pd.bin");
    const auto inFolder = LoadPDFirmwareFile((folder.Path() / "pd.bin").string());
    EXPECT_TRUE(HasFinding(inFolder.findings, 0, "not a regular file"));
    EXPECT_FALSE(inFolder.Accepted());
    EXPECT_EQ(FindingText("a.hex", {3, "rule"}), "a.hex:3: rule");
    EXPECT_EQ(FindingText("a.hex", {0, "rule"}), "a.hex: rule");
}

}  // namespace
