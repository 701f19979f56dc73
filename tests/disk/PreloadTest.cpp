// The preload copy and the write/read test cycles on a volume held in memory.
#include <gtest/gtest.h>

#include <fstream>

#include "../common/TestSupport.h"
#include "MemoryVolume.h"
#include "disk/Preload.h"
#include "disk/WriteReadTest.h"

namespace {

namespace fs = std::filesystem;

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class PreloadCopy : public ::testing::Test {
protected:
    fs::path Source() const { return m_Folder.Path() / "src"; }
    bool Copy()
    {
        disk::CPreloadCopy copy(m_Volume, "E:", [this](uint64_t bytes) { m_Bytes += bytes; });
        const bool copied = copy.Dir_Copy(Source(), "", 3) && copy.Flush();
        m_Error = copy.Error();
        return copied;
    }
    testsupport::TempFolder m_Folder;
    disktest::MemoryVolume m_Volume;
    uint64_t m_Bytes = 0;
    std::string m_Error;
};

TEST_F(PreloadCopy, TheTreeLandsWithItsEmptyFoldersAndEmptyFiles)
{
    WriteBytes(Source() / "a.txt", "alpha");
    WriteBytes(Source() / "sub" / "b.bin", std::string(5000, 'b'));
    WriteBytes(Source() / "sub" / "zero", "");
    fs::create_directories(Source() / "sub" / "empty");
    fs::create_directories(Source() / "empty");
    ASSERT_TRUE(Copy()) << m_Error;
    EXPECT_EQ(m_Volume.folders, (std::set<std::string>{"empty", "sub", "sub/empty"}));
    ASSERT_EQ(m_Volume.files.size(), 3u);
    EXPECT_EQ(std::string(m_Volume.files["a.txt"].begin(), m_Volume.files["a.txt"].end()), "alpha");
    EXPECT_EQ(m_Volume.files["sub/b.bin"], std::vector<uint8_t>(5000, 'b'));
    EXPECT_TRUE(m_Volume.files.count("sub/zero"));
    EXPECT_EQ(m_Bytes, 5005u);
    std::string error;
    EXPECT_EQ(disk::FolderSize(Source(), error), 5005u);
}

TEST_F(PreloadCopy, AnEmptyFolderCopiesNothingAndPasses)
{
    fs::create_directories(Source());
    ASSERT_TRUE(Copy());
    EXPECT_TRUE(m_Volume.writes.empty());
    std::string error;
    EXPECT_EQ(disk::FolderSize(Source(), error), 0u);
}

TEST_F(PreloadCopy, AFolderThatCannotBeReadFailsAndIsNamed)
{
    EXPECT_FALSE(Copy());
    EXPECT_NE(m_Error.find(Source().string()), std::string::npos) << m_Error;
    std::string error;
    EXPECT_FALSE(disk::FolderSize(Source(), error));
    EXPECT_NE(error.find(Source().string()), std::string::npos) << error;
}

TEST_F(PreloadCopy, ALinkToAFolderIsRefusedRatherThanFollowedForEver)
{
    fs::create_directories(Source() / "real");
    fs::create_directory_symlink(Source(), Source() / "real" / "loop");
    EXPECT_FALSE(Copy());
    EXPECT_NE(m_Error.find("loop"), std::string::npos) << m_Error;
}

TEST_F(PreloadCopy, AFileAboveSixtyFourMiBGoesInChunksWithTheSameContent)
{
    const uint64_t size = disk::kCopyChunkBytes + 4097;
    {
        WriteBytes(Source() / "big.bin", "");
        std::ofstream out(Source() / "big.bin", std::ios::binary);
        out.seekp(static_cast<std::streamoff>(disk::kCopyChunkBytes - 1));
        out << "XY";
        out.seekp(static_cast<std::streamoff>(size - 1));
        out << 'Z';
    }
    ASSERT_TRUE(Copy());
    ASSERT_EQ(m_Volume.writes.size(), 2u);
    EXPECT_EQ(m_Volume.writes[0].offset, 0u);
    EXPECT_EQ(m_Volume.writes[0].length, disk::kCopyChunkBytes);
    EXPECT_EQ(m_Volume.writes[1].offset, disk::kCopyChunkBytes);
    EXPECT_EQ(m_Volume.writes[1].length, 4097u);
    const auto& file = m_Volume.files["big.bin"];
    ASSERT_EQ(file.size(), size);
    EXPECT_EQ(file[disk::kCopyChunkBytes - 1], 'X');
    EXPECT_EQ(file[disk::kCopyChunkBytes], 'Y');
    EXPECT_EQ(file[size - 1], 'Z');
    EXPECT_EQ(file[12345], 0);
    EXPECT_GE(m_Volume.flushes, 1);
}

TEST_F(PreloadCopy, AFailingWriteFailsTheCopyNamingTheFile)
{
    WriteBytes(Source() / "a.txt", "alpha");
    m_Volume.refuseWrites = true;
    EXPECT_FALSE(Copy());
    EXPECT_NE(m_Error.find("E:\\a.txt"), std::string::npos) << m_Error;
}

class WrRdCycles : public ::testing::Test {
protected:
    disk::WrRdTestPlan Plan(uint32_t count)
    {
        std::string bytes(70000, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 253);
        WriteBytes(m_Folder.Path() / "rwtest.bin", bytes);
        disk::WrRdTestPlan plan;
        plan.sourcePath = (m_Folder.Path() / "rwtest.bin").string();
        plan.fileName = "rwtest.bin";
        plan.fileSize = static_cast<uint32_t>(bytes.size());
        plan.count = count;
        plan.driveLetter = 'E';
        return plan;
    }
    testsupport::TempFolder m_Folder;
    disktest::MemoryVolume m_Volume;
};

TEST_F(WrRdCycles, CountZeroPassesWithoutWriting)
{
    EXPECT_EQ(disk::RunWrRdCycles(m_Volume, Plan(0), nullptr), "");
    EXPECT_TRUE(m_Volume.writes.empty());
    EXPECT_EQ(m_Volume.deletes, 0);
}

TEST_F(WrRdCycles, EveryCycleWritesReadsBackAndLeavesNoFile)
{
    uint64_t bytes = 0;
    EXPECT_EQ(disk::RunWrRdCycles(m_Volume, Plan(3), [&](uint64_t n) { bytes += n; }), "");
    EXPECT_EQ(m_Volume.writes.size(), 3u);
    EXPECT_TRUE(m_Volume.files.empty());
    EXPECT_EQ(bytes, 3u * 2 * 70000);
}

TEST_F(WrRdCycles, ADamagedWriteFailsTheCompare)
{
    m_Volume.corrupt = true;
    EXPECT_NE(disk::RunWrRdCycles(m_Volume, Plan(2), nullptr).find("did not read back as written"), std::string::npos);
    EXPECT_EQ(m_Volume.writes.size(), 1u);  // the first failure ends the test
    EXPECT_TRUE(m_Volume.files.empty());    // and the damaged file is not left behind
}

TEST_F(WrRdCycles, AMissingSourceFailsBeforeWriting)
{
    auto plan = Plan(1);
    plan.sourcePath += ".gone";
    EXPECT_EQ(disk::RunWrRdCycles(m_Volume, plan, nullptr), "the test file " + plan.sourcePath + " cannot be read");
    EXPECT_TRUE(m_Volume.writes.empty());
}

TEST(WrRdFreeSpace, ExactlyTenTimesTheFilePasses)
{
    const uint32_t size = 3 << 20;  // ten times: 30 MiB
    EXPECT_TRUE(disk::FreeSpaceHoldsTestFile(30, size));
    EXPECT_FALSE(disk::FreeSpaceHoldsTestFile(29, size));
    EXPECT_TRUE(disk::FreeSpaceHoldsTestFile(-1, size));  // unknown free space is not checked
    EXPECT_TRUE(disk::FreeSpaceHoldsTestFile(0, 100000)); // under 1 MiB: 976,562 bytes >> 20 = 0
}

}  // namespace
