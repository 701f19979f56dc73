// What the Linux station reads back from the system's tools: partition tables
// from "sfdisk --json" (recorded from an MBR and a GPT disk), the file systems
// blkid finds (recorded "blkid -p -o udev" of NTFS, exFAT and FAT32 volumes),
// and the JSON reader under both.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../RecordedFixture.h"
#include "../../common/TestSupport.h"
#include "platform/linux/FileSystemProbe.h"
#include "platform/linux/JsonText.h"
#include "platform/linux/PartitionTable.h"

namespace {

using namespace platform;
using namespace platform::linuxst;

// A tool runner that answers every call with `answer` and keeps the calls.
struct RecordingRunner {
    ToolRun answer;
    std::vector<std::vector<std::string>> calls;
    std::vector<int64_t> limits;
    LimitedToolRunner Runner()
    {
        return [this](const std::vector<std::string>& argv, int64_t limit) {
            calls.push_back(argv);
            limits.push_back(limit);
            return answer;
        };
    }
};

constexpr uint64_t MiB = 1024 * 1024;

TEST(JsonText, ValuesEscapesAndNesting)
{
    const auto value = ParseJson(R"( {"a": [1, -2.5e3, true, false, null], "s": "q\"\\\/\n\u00c4\ud83d\ude00", "o": {}} )");
    ASSERT_TRUE(value);
    const JsonValue* a = value->Find("a");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->items.size(), 5u);
    EXPECT_EQ(a->items[0].Unsigned(), 1u);
    EXPECT_EQ(a->items[1].text, "-2.5e3");
    EXPECT_EQ(a->items[1].Unsigned(), std::nullopt);
    EXPECT_TRUE(a->items[2].boolean);
    EXPECT_EQ(a->items[4].kind, JsonValue::Kind::kNull);
    EXPECT_EQ(value->Find("s")->text, "q\"\\/\n\xC3\x84\xF0\x9F\x98\x80");
    EXPECT_EQ(value->Find("o")->kind, JsonValue::Kind::kObject);
    EXPECT_EQ(value->Find("missing"), nullptr);
    EXPECT_EQ(ParseJson("18446744073709551615")->Unsigned(), 18446744073709551615ull);
    EXPECT_EQ(ParseJson("18446744073709551616")->Unsigned(), std::nullopt);
}

TEST(JsonText, WhatIsNotJsonIsRefused)
{
    for (const char* text : {"", "{", "[1,]", "{\"a\" 1}", "{\"a\":1} x", "\"\\ud800\"", "\"\\udc00\"", "\"\\x\"",
                             "\"open", "01x", "-", "1.", "1e", "tru", "\"a\nb\""})
        EXPECT_FALSE(ParseJson(text)) << text;
    EXPECT_TRUE(ParseJson(std::string(64, '[') + std::string(64, ']')));
    EXPECT_FALSE(ParseJson(std::string(100000, '[') + std::string(100000, ']')));  // no stack overflow
}

TEST(SfdiskJson, RecordedMbrDisk)
{
    const auto table = ParseSfdiskJson(Recorded("sfdisk-mbr.json"));
    ASSERT_TRUE(table);
    EXPECT_EQ(table->style, PartitionStyle::kMbr);
    EXPECT_EQ(table->identifier, "0x5e1f0a2b");
    EXPECT_EQ(table->mbrSignature, 0x5e1f0a2bu);
    EXPECT_EQ(table->sectorSize, 512u);
    ASSERT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(table->entries[0].number, 1u);
    EXPECT_EQ(table->entries[0].mbrType, 0x0C);
    EXPECT_TRUE(table->entries[0].bootable);
    EXPECT_EQ(table->entries[0].startBytes, 1 * MiB);
    EXPECT_EQ(table->entries[0].lengthBytes, 8 * MiB);
    EXPECT_EQ(table->entries[1].number, 2u);
    EXPECT_EQ(table->entries[1].type, "7");
    EXPECT_EQ(table->entries[1].mbrType, 0x07);
    EXPECT_FALSE(table->entries[1].bootable);
    EXPECT_EQ(table->entries[1].startBytes, 18432ull * 512);
    EXPECT_EQ(table->entries[1].lengthBytes, 505856ull * 512);
}

TEST(SfdiskJson, RecordedGptDisk)
{
    const auto table = ParseSfdiskJson(Recorded("sfdisk-gpt.json"));
    ASSERT_TRUE(table);
    EXPECT_EQ(table->style, PartitionStyle::kGpt);
    EXPECT_EQ(table->identifier, "3E2F6B1A-0C4D-4F7E-9A21-5B8C7D6E5F40");
    ASSERT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(table->entries[0].type, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
    EXPECT_EQ(table->entries[0].name, "Microsoft reserved partition");
    EXPECT_EQ(table->entries[0].startBytes, 1 * MiB);
    EXPECT_EQ(table->entries[0].lengthBytes, 16 * MiB);
    EXPECT_EQ(table->entries[1].number, 2u);
    EXPECT_EQ(table->entries[1].type, "EBD0A0A2-B9E5-4433-87C0-68B9B6B4C7C7");
    EXPECT_EQ(table->entries[1].uuid, "684058B5-FA36-B841-ABB7-1CBA830BC91F");
    EXPECT_EQ(table->entries[1].name, "Basic data partition");
    EXPECT_EQ(table->entries[1].startBytes, 17 * MiB);
    EXPECT_EQ(table->entries[1].lengthBytes, 487424ull * 512);
    EXPECT_EQ(table->entries[1].mbrType, 0);
}

TEST(SfdiskJson, EntriesAndTablesThatDoNotHoldTogetherAreRefused)
{
    const std::string mbr = Recorded("sfdisk-mbr.json");
    auto changed = [&](const std::string& from, const std::string& to) {
        std::string text = mbr;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    EXPECT_TRUE(ParseSfdiskJson(changed("\"sectorsize\": 512", "\"sectorsize\": 4096")));
    EXPECT_EQ(ParseSfdiskJson(changed("\"sectorsize\": 512", "\"sectorsize\": 4096"))->entries[0].startBytes, 8 * MiB);
    EXPECT_FALSE(ParseSfdiskJson(changed("\"sectorsize\": 512", "\"sectorsize\": 1000")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"unit\": \"sectors\"", "\"unit\": \"bytes\"")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"label\": \"dos\"", "\"label\": \"sun\"")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"type\": \"c\"", "\"type\": \"1cf\"")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"id\": \"0x5e1f0a2b\"", "\"id\": \"0x15e1f0a2b\"")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"start\": 2048", "\"start\": -1")));
    EXPECT_FALSE(ParseSfdiskJson(changed("\"start\": 2048", "\"start\": 36028797018963968")));  // past 2^64 bytes
    EXPECT_FALSE(ParseSfdiskJson(changed("\"/dev/sdd1\"", "\"/dev/sdd\"")));
    EXPECT_FALSE(ParseSfdiskJson(mbr.substr(0, mbr.size() / 2)));
    EXPECT_FALSE(ParseSfdiskJson("{\"partitiontable\": []}"));
}

class ReadBack : public ::testing::Test {
protected:
    std::string Node(const std::string& name, bool bootSignature)
    {
        std::string sector(4096, '\0');
        if (bootSignature) {
            sector[510] = '\x55';
            sector[511] = '\xAA';
        }
        const auto path = m_Folder.Path() / name;
        std::ofstream(path, std::ios::binary) << sector;
        return path.string();
    }
    testsupport::TempFolder m_Folder;
    RecordingRunner m_Tool;
};

TEST_F(ReadBack, TheTableOfADiskComesFromSfdisk)
{
    m_Tool.answer = {true, 0, Recorded("sfdisk-gpt.json")};
    std::string error;
    const auto table = ReadPartitionTable(m_Tool.Runner(), "/dev/sdd", error);
    ASSERT_TRUE(table) << error;
    EXPECT_EQ(table->style, PartitionStyle::kGpt);
    ASSERT_EQ(m_Tool.calls.size(), 1u);
    EXPECT_EQ(m_Tool.calls[0], (std::vector<std::string>{"sfdisk", "--json", "/dev/sdd"}));
    EXPECT_EQ(m_Tool.limits[0], kPartitionReadTimeLimitMs);
}

TEST_F(ReadBack, ADiskWithoutATableIsRawButAFailedReadIsAFailure)
{
    m_Tool.answer = {true, 1, "sfdisk: /dev/sdd: does not contain a recognized partition table\n"};
    std::string error;
    const auto raw = ReadPartitionTable(m_Tool.Runner(), Node("blank", false), error);
    ASSERT_TRUE(raw) << error;
    EXPECT_EQ(raw->style, PartitionStyle::kRaw);
    EXPECT_TRUE(raw->entries.empty());
    // A disk that has a boot signature, or that cannot be read, is not taken for a blank one.
    EXPECT_FALSE(ReadPartitionTable(m_Tool.Runner(), Node("signed", true), error));
    EXPECT_NE(error.find("failed (exit 1)"), std::string::npos) << error;
    EXPECT_FALSE(ReadPartitionTable(m_Tool.Runner(), (m_Folder.Path() / "gone").string(), error));
    m_Tool.answer = {false, -1, "sfdisk: not found"};
    EXPECT_FALSE(ReadPartitionTable(m_Tool.Runner(), Node("blank", false), error));
    m_Tool.answer = {true, 0, "{\"partitiontable\": {\"label\": \"dos\", \"id\": \"x\"}}"};
    EXPECT_FALSE(ReadPartitionTable(m_Tool.Runner(), Node("blank", false), error));
}

TEST(BlkidProbe, RecordedVolumesGiveTheNamesTheToolReports)
{
    const auto ntfs = FileSystemOf(ParseBlkidUdev(Recorded("blkid-ntfs.txt")));
    ASSERT_TRUE(ntfs);
    EXPECT_EQ(ntfs->fileSystem, "NTFS");
    EXPECT_EQ(ntfs->label, "Lager \xC3\x84 1");
    EXPECT_EQ(ntfs->serial, 0x03483F77u);  // the low half of the 64-bit NTFS serial
    const auto exfat = FileSystemOf(ParseBlkidUdev(Recorded("blkid-exfat.txt")));
    ASSERT_TRUE(exfat);
    EXPECT_EQ(exfat->fileSystem, "exFAT");
    EXPECT_EQ(exfat->label, "SHIPPED");
    EXPECT_EQ(exfat->serial, 0xFF9DB6C6u);
    const auto fat32 = FileSystemOf(ParseBlkidUdev(Recorded("blkid-fat32.txt")));
    ASSERT_TRUE(fat32);
    EXPECT_EQ(fat32->fileSystem, "FAT32");
    EXPECT_EQ(fat32->label, "FAT32VOL");
    EXPECT_EQ(fat32->serial, 0x6C66EDBEu);
}

TEST(BlkidProbe, OtherFileSystemsAndEncodings)
{
    EXPECT_EQ(FileSystemOf({{"ID_FS_TYPE", "vfat"}, {"ID_FS_VERSION", "FAT16"}})->fileSystem, "FAT");
    EXPECT_FALSE(FileSystemOf({{"ID_FS_TYPE", "ext4"}, {"ID_FS_LABEL_ENC", "root"}}));
    EXPECT_FALSE(FileSystemOf({}));
    EXPECT_EQ(FileSystemOf({{"ID_FS_TYPE", "ntfs"}, {"ID_FS_UUID", "not-hex"}})->serial, 0u);
    EXPECT_EQ(DecodeBlkidValue("a\\x20b\\x5c\\x2"), "a b\\\\x2");
    EXPECT_EQ(DecodeBlkidValue("\\x41\\xzz"), "A\\xzz");
    const auto fields = ParseBlkidUdev("ID_FS_LABEL_ENC=A\\x3dB\nnoise\n=x\nID_FS_TYPE=exfat\n");
    EXPECT_EQ(fields.at("ID_FS_LABEL_ENC"), "A\\x3dB");
    EXPECT_EQ(FileSystemOf(fields)->label, "A=B");
}

TEST(BlkidProbe, TheProbeAsksBlkidLowLevel)
{
    RecordingRunner tool;
    tool.answer = {true, 0, Recorded("blkid-exfat.txt")};
    std::string error;
    const auto facts = ProbeFileSystem(tool.Runner(), "/dev/sdd2", error);
    ASSERT_TRUE(facts) << error;
    EXPECT_EQ(tool.calls.at(0), (std::vector<std::string>{"blkid", "-p", "-o", "udev", "/dev/sdd2"}));
    EXPECT_EQ(tool.limits.at(0), kProbeTimeLimitMs);
    tool.answer = {true, 2, ""};  // nothing found
    EXPECT_FALSE(ProbeFileSystem(tool.Runner(), "/dev/sdd2", error));
    EXPECT_NE(error.find("exit 2"), std::string::npos) << error;
    tool.answer = {true, 0, "ID_FS_TYPE=ext4\n"};
    EXPECT_FALSE(ProbeFileSystem(tool.Runner(), "/dev/sdd2", error));
    EXPECT_NE(error.find("ext4"), std::string::npos) << error;
}

}  // namespace
