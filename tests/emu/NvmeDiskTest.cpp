// The NVMe disk behind an emulated bridge: identify data through the bridge's
// pass-through blocks, and the sparse disk image.
#include <gtest/gtest.h>

#include <filesystem>

#include "../common/TestSupport.h"
#include "emu/Bridge.h"
#include "emu/NvmeDisk.h"
#include "emu/World.h"

namespace {

using Bytes = std::vector<uint8_t>;

class NvmeDiskTest : public ::testing::Test {
protected:
    NvmeDiskTest() : m_World(m_Folder.Path()) { m_World.Init(2); }

    emu::ScsiExchange Send(int id, Bytes cdb, Bytes& data)
    {
        emu::ScsiExchange exchange;
        std::copy(cdb.begin(), cdb.end(), exchange.cdb.begin());
        exchange.cdbLength = static_cast<uint8_t>(cdb.size());
        exchange.dataIn = true;
        exchange.data = data.data();
        exchange.dataLength = static_cast<uint32_t>(data.size());
        emu::Bridge(m_World.BridgeFolder(id)).Execute(exchange);
        return exchange;
    }
    static std::string Text(const Bytes& data, size_t at, size_t n)
    {
        return std::string(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    }

    testsupport::TempFolder m_Folder;
    emu::World m_World;
};

const Bytes kIdentifyController{0xE6, 0x06, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kAtaIdentify{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xEC, 0x00, 0x00};

TEST_F(NvmeDiskTest, IdentifyControllerCarriesSerialAndFirmwarePaddedWithSpaces)
{
    Bytes data(4096);
    const auto answer = Send(2, kIdentifyController, data);
    ASSERT_EQ(answer.status, emu::kStatusGood);
    EXPECT_EQ(answer.transferred, 4096u);
    EXPECT_EQ(Text(data, 4, 20), "NVME0002            ");
    EXPECT_EQ(Text(data, 64, 8), "EMU00002");
    Bytes other(4096);
    Send(1, kIdentifyController, other);
    EXPECT_EQ(Text(other, 4, 20), "NVME0001            ");
}

TEST_F(NvmeDiskTest, IdentifyNamespaceGivesTheSectorCount)
{
    Bytes cdb = kIdentifyController;
    cdb[3] = 0x00;
    Bytes data(4096);
    ASSERT_EQ(Send(1, cdb, data).status, emu::kStatusGood);
    uint64_t sectors = 0;
    for (int i = 7; i >= 0; --i) sectors = sectors << 8 | data[static_cast<size_t>(i)];
    EXPECT_EQ(sectors, (uint64_t{64} << 30) / 512);
}

TEST_F(NvmeDiskTest, MalformedIdentifyBlocksAreRefused)
{
    Bytes data(4096);
    Bytes cdb = kIdentifyController;
    cdb[3] = 0x02;  // namespace list: not modelled
    EXPECT_EQ(Send(1, cdb, data).status, emu::kStatusCheckCondition);
    Bytes shortData(512);
    EXPECT_EQ(Send(1, kIdentifyController, shortData).status, emu::kStatusCheckCondition);
    Bytes sixBytes(kIdentifyController.begin(), kIdentifyController.begin() + 6);
    EXPECT_EQ(Send(1, sixBytes, data).status, emu::kStatusCheckCondition);
}

TEST_F(NvmeDiskTest, AtaIdentifySwapsTheBytesOfEachWordAndSumsToZero)
{
    Bytes data(512);
    ASSERT_EQ(Send(1, kAtaIdentify, data).status, emu::kStatusGood);
    EXPECT_EQ(Text(data, 20, 8), "VNEM0010");  // "NVME0001" in ATA word order
    EXPECT_EQ(Text(data, 46, 8), "ME0U0010");  // "EMU00001"
    uint8_t sum = 0;
    for (uint8_t b : data) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(data[510], 0xA5);
    EXPECT_EQ(sum, 0);
}

TEST_F(NvmeDiskTest, ImageIsSparseAtFullSizeAndCreatedOnFirstWrite)
{
    const emu::NvmeDisk disk(m_World.BridgeFolder(1));
    EXPECT_FALSE(std::filesystem::exists(disk.ImagePath()));
    Bytes back(1024, 0xAA);
    ASSERT_TRUE(disk.Read(1 << 20, back.data(), back.size()));
    EXPECT_EQ(back, Bytes(1024, 0));
    const Bytes data(512, 0x5C);
    ASSERT_TRUE(disk.Write((uint64_t{64} << 30) - 512, data.data(), data.size()));
    EXPECT_EQ(std::filesystem::file_size(disk.ImagePath()), uint64_t{64} << 30);
    ASSERT_TRUE(disk.Read((uint64_t{64} << 30) - 512, back.data(), 512));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 512), data);
    // Nothing beyond the end of the disk.
    EXPECT_FALSE(disk.Write(uint64_t{64} << 30, data.data(), 512));
    EXPECT_FALSE(disk.Read((uint64_t{64} << 30) - 256, back.data(), 512));
}

TEST_F(NvmeDiskTest, SizeComesFromTheBridgeSettings)
{
    emu::KeyValueFile ini;
    const auto path = m_World.BridgeFolder(2) / "bridge.ini";
    ini.Load(path);
    ini.SetInt("disk_size_mib", 8);
    ini.Save(path);
    EXPECT_EQ(emu::NvmeDisk(m_World.BridgeFolder(2)).SizeBytes(), 8u << 20);
    EXPECT_EQ(emu::NvmeDisk(m_World.BridgeFolder(1)).SizeBytes(), uint64_t{64} << 30);
}

}  // namespace
