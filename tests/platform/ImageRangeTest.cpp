// A tool run on one byte range of a disk image: only what the tool changed in the
// range reaches the image, the rest of the image keeps its bytes and its holes.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>
#include <vector>

#include "../common/TestSupport.h"
#include "../common/DiskTools.h"
#include "platform/emu/ImageRange.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path, uint64_t offset, size_t size)
{
    std::vector<uint8_t> bytes(size);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
}

void WriteBytes(const std::filesystem::path& path, uint64_t offset, const std::vector<uint8_t>& bytes)
{
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ImageRange : public ::testing::Test {
protected:
    void SetUp() override
    {
        disktest::MakeSparseImage(Image(), 64 * MiB);
        WriteBytes(Image(), 0, std::vector<uint8_t>(512, 0x11));            // before the range
        WriteBytes(Image(), 4 * MiB, std::vector<uint8_t>(8192, 0x22));     // inside it
        WriteBytes(Image(), 20 * MiB - 512, std::vector<uint8_t>(512, 0x33));  // its last sector
        WriteBytes(Image(), 20 * MiB, std::vector<uint8_t>(512, 0x44));     // just after it
    }
    std::filesystem::path Image() const { return m_Folder.Path() / "disk.img"; }
    std::filesystem::path Scratch() const { return m_Folder.Path() / "scratch"; }

    testsupport::TempFolder m_Folder;
    const uint64_t m_Offset = 1 * MiB;
    const uint64_t m_Length = 19 * MiB;
};

TEST_F(ImageRange, TheToolSeesTheRangeAndOnlyItsChangesComeBack)
{
    const bool ok = platform::RunOnImageRange(Image(), m_Offset, m_Length, Scratch(), [&](const std::string& file) {
        EXPECT_EQ(std::filesystem::file_size(file), m_Length);
        EXPECT_EQ(ReadBytes(file, 3 * MiB, 8192), std::vector<uint8_t>(8192, 0x22));
        EXPECT_EQ(ReadBytes(file, m_Length - 512, 512), std::vector<uint8_t>(512, 0x33));
        WriteBytes(file, 0, std::vector<uint8_t>(1024, 0x55));
        // Part of the old data made a hole, as a tool discarding blocks does.
        const int fd = ::open(file.c_str(), O_RDWR);
        const bool punched = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 3 * MiB, 4096) == 0;
        ::close(fd);
        return punched;
    });
    ASSERT_TRUE(ok);
    EXPECT_FALSE(std::filesystem::exists(Scratch()));
    EXPECT_EQ(std::filesystem::file_size(Image()), 64 * MiB);
    EXPECT_EQ(ReadBytes(Image(), 0, 512), std::vector<uint8_t>(512, 0x11));
    EXPECT_EQ(ReadBytes(Image(), m_Offset, 1024), std::vector<uint8_t>(1024, 0x55));
    EXPECT_EQ(ReadBytes(Image(), 4 * MiB, 4096), std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(ReadBytes(Image(), 4 * MiB + 4096, 4096), std::vector<uint8_t>(4096, 0x22));
    EXPECT_EQ(ReadBytes(Image(), 20 * MiB - 512, 512), std::vector<uint8_t>(512, 0x33));
    EXPECT_EQ(ReadBytes(Image(), 20 * MiB, 512), std::vector<uint8_t>(512, 0x44));
    // Only written blocks were copied: the image is as sparse as before.
    EXPECT_LT(disktest::AllocatedBytes(Image()), 1 * MiB);
}

TEST_F(ImageRange, AFailingToolWritesNothingBack)
{
    const bool ok = platform::RunOnImageRange(Image(), m_Offset, m_Length, Scratch(), [&](const std::string& file) {
        WriteBytes(file, 3 * MiB, std::vector<uint8_t>(512, 0x66));
        return false;
    });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(std::filesystem::exists(Scratch()));
    EXPECT_EQ(ReadBytes(Image(), 4 * MiB, 512), std::vector<uint8_t>(512, 0x22));
}

TEST_F(ImageRange, AToolThatResizesTheFileWritesNothingBack)
{
    const bool ok = platform::RunOnImageRange(Image(), m_Offset, m_Length, Scratch(), [&](const std::string& file) {
        WriteBytes(file, 3 * MiB, std::vector<uint8_t>(512, 0x66));
        std::filesystem::resize_file(file, m_Length + MiB);
        return true;
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadBytes(Image(), 4 * MiB, 512), std::vector<uint8_t>(512, 0x22));
}

TEST_F(ImageRange, ARangeLeavingTheImageNeverRunsTheTool)
{
    bool ran = false;
    auto tool = [&](const std::string&) { return ran = true; };
    EXPECT_FALSE(platform::RunOnImageRange(Image(), 60 * MiB, 5 * MiB, Scratch(), tool));
    EXPECT_FALSE(platform::RunOnImageRange(Image(), UINT64_MAX - MiB, 2 * MiB, Scratch(), tool));
    EXPECT_FALSE(platform::RunOnImageRange(m_Folder.Path() / "missing.img", 0, MiB, Scratch(), tool));
    EXPECT_FALSE(ran);
}

}  // namespace
