// Files on a bridge's volume: through mtools on an emulated FAT32 volume (read
// back with mtools directly), and through the file system at a mount point.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>

#include "../common/TestSupport.h"
#include "device/host/DiskHost.h"
#include "emu/NvmeDisk.h"
#include "platform/emu/EmuStation.h"
#include "platform/emu/EmuVolumeFiles.h"
#include "platform/linux/MountedVolumeFiles.h"

namespace {

namespace fs = std::filesystem;
constexpr uint64_t kVolumeStart = 2048 * 512;

using testsupport::Shell;

TEST(VolumePath, OnlyPathsInsideTheVolume)
{
    EXPECT_TRUE(platform::IsVolumePath("a"));
    EXPECT_TRUE(platform::IsVolumePath("a/b c/d.bin"));
    for (const char* bad : {"", "/a", "a/", "a//b", "..", "a/../b", "./a", "a/."})
        EXPECT_FALSE(platform::IsVolumePath(bad)) << bad;
}

class EmuVolumeFilesTest : public ::testing::Test {
protected:
    EmuVolumeFilesTest() : m_Station(m_Folder.Path() / "station") {}
    void SetUp() override
    {
        ASSERT_TRUE(m_Station.World().Init(2));
        m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("disk_size_mib", "100"); });
        m_Station.ModifyBridge(2, [](emu::Bridge& b) { b.Set("disk_size_mib", "100"); });
        m_Image = emu::NvmeDisk(m_Station.World().BridgeFolder(1)).ImagePath().string();
        // Partitioned and formatted by the system's tools, not ours.
        int status = 0;
        Shell("truncate -s 100M " + m_Image, status);
        ASSERT_EQ(status, 0);
        Shell("echo 'start=2048, type=c' | sfdisk -q " + m_Image, status);
        ASSERT_EQ(status, 0);
        const std::string mkfs = Shell("mkfs.fat -F 32 -S 512 -s 1 --offset 2048 " + m_Image, status);
        ASSERT_EQ(status, 0) << mkfs;
        std::string error;
        m_Files = device::host::OpenVolumeFiles(m_Station, "D:\\", error);
        ASSERT_TRUE(m_Files) << error;
    }
    // An mtools command on the volume: "mdir -b" + " -i IMAGE@@OFFSET " + `args`.
    std::string Mtools(const std::string& command, const std::string& args)
    {
        int status = 0;
        return Shell("MTOOLS_SKIP_CHECK=1 " + command + " -i " + m_Image + "@@" + std::to_string(kVolumeStart) + " " +
                         args,
                     status);
    }
    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Station;
    std::string m_Image;
    std::unique_ptr<platform::IVolumeFiles> m_Files;
};

TEST_F(EmuVolumeFilesTest, AFileWrittenInChunksIsWhatMtoolsReads)
{
    ASSERT_TRUE(m_Files->MakeDirectory("Docs"));
    ASSERT_TRUE(m_Files->MakeDirectory("Docs"));  // already there
    ASSERT_TRUE(m_Files->MakeDirectory("Docs/Empty"));
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
    ASSERT_TRUE(m_Files->WriteFile("Docs/Data.bin", 0, data.data(), 100000));
    ASSERT_TRUE(m_Files->WriteFile("Docs/Data.bin", 100000, data.data() + 100000, 200000));
    EXPECT_FALSE(m_Files->WriteFile("Docs/Data.bin", 5, data.data(), 1));  // not where the data ends
    ASSERT_TRUE(m_Files->Flush());
    const fs::path out = m_Folder.Path() / "out.bin";
    int status = 0;
    Shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + m_Image + "@@" + std::to_string(kVolumeStart) + " ::/Docs/Data.bin " +
              out.string(),
          status);
    ASSERT_EQ(status, 0);
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), data);
    EXPECT_NE(Mtools("mdir -b", "::/Docs").find("::/Docs/Empty"), std::string::npos) << Mtools("mdir -b", "::/Docs");
    // Read back through the view, at an offset, past the end.
    std::string back(10, '\0');
    uint64_t read = 0;
    ASSERT_TRUE(m_Files->ReadFile("Docs/Data.bin", 299995, back.data(), back.size(), read));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(back.substr(0, 5), data.substr(299995));
    uint64_t size = 0;
    ASSERT_TRUE(m_Files->FileSize("Docs/Data.bin", size));
    EXPECT_EQ(size, data.size());
}

TEST_F(EmuVolumeFilesTest, DeletingAndFreeSpace)
{
    uint64_t before = 0, during = 0, after = 0;
    ASSERT_TRUE(m_Files->FreeSpace(before));
    const std::string data(1 << 20, 'x');
    ASSERT_TRUE(m_Files->WriteFile("big", 0, data.data(), data.size()));
    ASSERT_TRUE(m_Files->FreeSpace(during));
    EXPECT_EQ(before - during, data.size());
    ASSERT_TRUE(m_Files->DeleteFile("big"));
    ASSERT_TRUE(m_Files->DeleteFile("big"));  // gone already
    ASSERT_TRUE(m_Files->FreeSpace(after));
    EXPECT_EQ(after, before);
    uint64_t size = 0;
    EXPECT_FALSE(m_Files->FileSize("big", size));
}

TEST_F(EmuVolumeFilesTest, NoPathLeavesTheVolumeAndNoOtherVolumeIsOpened)
{
    EXPECT_FALSE(m_Files->WriteFile("../x", 0, "a", 1));
    EXPECT_FALSE(m_Files->MakeDirectory("/abs"));
    std::string error;
    EXPECT_FALSE(device::host::OpenVolumeFiles(m_Station, "C:\\", error));
    EXPECT_NE(error.find("system volume"), std::string::npos) << error;
    EXPECT_FALSE(device::host::OpenVolumeFiles(m_Station, "Q:\\", error));
    EXPECT_FALSE(device::host::OpenVolumeFiles(m_Station, "D:", error));
    // Bridge 2's disk has no volume: nothing to open at E:.
    EXPECT_FALSE(device::host::OpenVolumeFiles(m_Station, "E:\\", error));
}

TEST_F(EmuVolumeFilesTest, AnUnpluggedBridgeTakesItsFilesAlong)
{
    ASSERT_TRUE(m_Station.SetBridgePlugged(1, false));
    EXPECT_FALSE(m_Files->MakeDirectory("late"));
    EXPECT_NE(m_Files->Error().find("gone"), std::string::npos) << m_Files->Error();
}

TEST(MountedVolumeFilesTest, FilesAtTheMountPoint)
{
    testsupport::TempFolder folder;
    platform::MountedVolumeFiles files(folder.Path());
    ASSERT_TRUE(files.MakeDirectory("a"));
    ASSERT_TRUE(files.MakeDirectory("a"));
    ASSERT_TRUE(files.WriteFile("a/f", 0, "hello ", 6));
    ASSERT_TRUE(files.WriteFile("a/f", 6, "world", 5));
    ASSERT_TRUE(files.Flush());
    std::ifstream in(folder.Path() / "a" / "f");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "hello world");
    char back[4] = {};
    uint64_t read = 0;
    ASSERT_TRUE(files.ReadFile("a/f", 6, back, 4, read));
    EXPECT_EQ(std::string(back, read), "worl");
    uint64_t free = 0;
    EXPECT_TRUE(files.FreeSpace(free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(files.WriteFile("../escape", 0, "x", 1));
    EXPECT_FALSE(fs::exists(folder.Path().parent_path() / "escape"));
    ASSERT_TRUE(files.DeleteFile("a/f"));
    EXPECT_FALSE(fs::exists(folder.Path() / "a" / "f"));
}

}  // namespace
