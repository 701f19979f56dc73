// The emulated bridge, driven with command blocks as the station hands them over.
#include "emu/Bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../common/TestSupport.h"
#include "emu/Sha256.h"
#include "emu/World.h"

namespace {

using emu::ScsiExchange;

class EmuBridge : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(emu::Bridge::Create(m_Folder.Path() / "b", emu::BridgeSetup{})); }

    ScsiExchange Exec(std::vector<uint8_t> cdb, bool dataIn, std::vector<uint8_t>& data)
    {
        ScsiExchange exchange;
        std::copy(cdb.begin(), cdb.end(), exchange.cdb.begin());
        exchange.cdbLength = static_cast<uint8_t>(cdb.size());
        exchange.dataIn = dataIn;
        exchange.data = data.data();
        exchange.dataLength = static_cast<uint32_t>(data.size());
        emu::Bridge bridge(m_Folder.Path() / "b");
        bridge.Execute(exchange);
        return exchange;
    }
    emu::Bridge Open() { return emu::Bridge(m_Folder.Path() / "b"); }

    testsupport::TempFolder m_Folder;
};

TEST_F(EmuBridge, InquiryCarriesChipIdOfTheMode)
{
    std::vector<uint8_t> data(38);
    auto ex = Exec({0x12, 0, 0, 0, 38, 0, 0, 0, 0, 0, 0, 0}, true, data);
    ASSERT_EQ(ex.status, emu::kStatusGood);
    EXPECT_EQ(data[37], 0x79);
    EXPECT_EQ(data[36], 0x51);
    auto bridge = Open();
    bridge.SetMode(emu::U4Mode::PcieTunnel);
    bridge.Save();
    Exec({0x12, 0, 0, 0, 38, 0, 0, 0, 0, 0, 0, 0}, true, data);
    EXPECT_EQ(data[36], 0x56);
    EXPECT_EQ(Open().ReadRegister(emu::reg::kU4Link), 0x02);
    EXPECT_EQ(Open().ReadRegister(emu::reg::kU4Tunnel), 0x80);
}

TEST_F(EmuBridge, RegisterBanksAreSeparateAndWritesTakeByteOne)
{
    std::vector<uint8_t> none;
    ASSERT_EQ(Exec({0xE5, 0xAB, 0x51, 0x00, 0x00, 0x00}, false, none).status, emu::kStatusGood);
    ASSERT_EQ(Exec({0xE5, 0xCD, 0x50, 0x00, 0x00, 0x00}, false, none).status, emu::kStatusGood);
    std::vector<uint8_t> one(1);
    Exec({0xE4, 0x01, 0x51, 0x00, 0x00, 0x00}, true, one);
    EXPECT_EQ(one[0], 0xAB);
    Exec({0xE4, 0x01, 0x50, 0x00, 0x00, 0x00}, true, one);
    EXPECT_EQ(one[0], 0xCD);
    // The legacy form (bank byte 00) reads the lower bank.
    Exec({0xE4, 0x01, 0x00, 0x00, 0x00, 0x00}, true, one);
    EXPECT_EQ(one[0], 0xCD);
    EXPECT_EQ(Open().ReadRegister(0x20000), 0xAB);
}

TEST_F(EmuBridge, RegisterReadOfNZeroTransfers256Bytes)
{
    std::vector<uint8_t> data(256);
    auto ex = Exec({0xE4, 0x00, 0x50, 0x07, 0x00, 0x00}, true, data);
    ASSERT_EQ(ex.status, emu::kStatusGood);
    EXPECT_EQ(ex.transferred, 256u);
    EXPECT_EQ(data[0xF0], 0x24);  // firmware version register at 0x07F0
    std::vector<uint8_t> wrongLength(16);
    EXPECT_EQ(Exec({0xE4, 0x00, 0x50, 0x07, 0x00, 0x00}, true, wrongLength).status, emu::kStatusCheckCondition);
}

TEST_F(EmuBridge, ConfigAreaHoldsFourTables)
{
    std::vector<uint8_t> table(128);
    for (int image = 0; image < 2; ++image)
        for (int type = 0; type < 2; ++type) {
            std::fill(table.begin(), table.end(), static_cast<uint8_t>(0x10 * image + type + 1));
            ASSERT_EQ(Exec({0xE1, static_cast<uint8_t>(0x50 + image), static_cast<uint8_t>(type), 0, 0, 0}, false,
                          table)
                          .status,
                      emu::kStatusGood);
        }
    auto bridge = Open();
    EXPECT_EQ(bridge.ConfigTable(0, 0)[5], 0x01);
    EXPECT_EQ(bridge.ConfigTable(0, 1)[5], 0x02);
    EXPECT_EQ(bridge.ConfigTable(1, 0)[5], 0x11);
    EXPECT_EQ(bridge.ConfigTable(1, 1)[127], 0x12);
    std::vector<uint8_t> shortTable(127);
    EXPECT_EQ(Exec({0xE1, 0x50, 0x00, 0, 0, 0}, false, shortTable).status, emu::kStatusCheckCondition);
    EXPECT_EQ(Exec({0xE1, 0x52, 0x00, 0, 0, 0}, false, table).status, emu::kStatusCheckCondition);
}

TEST_F(EmuBridge, FirmwareSegmentsJoinAt65280)
{
    std::vector<uint8_t> image(70000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
    std::vector<uint8_t> first(image.begin(), image.begin() + 65280);
    std::vector<uint8_t> rest(image.begin() + 65280, image.end());
    const uint32_t restLength = static_cast<uint32_t>(rest.size());
    ASSERT_EQ(Exec({0xE3, 0x51, 0x00, 0x00, 0xFF, 0x00}, false, first).status, emu::kStatusGood);
    ASSERT_EQ(Exec({0xE3, 0xD1, 0x00, 0x00, static_cast<uint8_t>(restLength >> 8), static_cast<uint8_t>(restLength)},
                  false, rest)
                  .status,
              emu::kStatusGood);
    EXPECT_EQ(Open().FirmwareImage(1), image);
    // The length in the block must match the data phase.
    EXPECT_EQ(Exec({0xE3, 0x50, 0x00, 0x00, 0x10, 0x00}, false, first).status, emu::kStatusCheckCondition);
}

TEST_F(EmuBridge, FirstSegmentStartsANewImageOverALongerOne)
{
    // Written in place, the flash must still end where the new image ends.
    std::vector<uint8_t> small(4096, 0xA5);
    const size_t before = Open().FirmwareImage(0).size();
    ASSERT_GT(before, small.size());
    ASSERT_EQ(Exec({0xE3, 0x50, 0x00, 0x00, 0x10, 0x00}, false, small).status, emu::kStatusGood);
    EXPECT_EQ(Open().FirmwareImage(0), small);
    // A second segment cuts whatever lay beyond it as well.
    std::vector<uint8_t> tail(16, 0x3C);
    ASSERT_EQ(Exec({0xE3, 0xD0, 0x00, 0x00, 0x00, 0x10}, false, tail).status, emu::kStatusGood);
    const auto joined = Open().FirmwareImage(0);
    ASSERT_EQ(joined.size(), 65280u + tail.size());
    EXPECT_TRUE(std::equal(small.begin(), small.end(), joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + 4096, joined.begin() + 65280, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), joined.begin() + 65280));
}

TEST_F(EmuBridge, VerifyNeedsTheKeyTheImageWasMadeFor)
{
    std::vector<uint8_t> answer(1);
    // No key sent yet.
    Exec({0xE9, 0x01, 0x00, 0, 0, 0}, true, answer);
    EXPECT_EQ(answer[0], 0);
    auto key = emu::StandardKey();
    std::vector<uint8_t> keyData(key.begin(), key.end());
    ASSERT_EQ(Exec({0xE9, 0x00, 0x00, 0, 0, 0}, false, keyData).status, emu::kStatusGood);
    Exec({0xE9, 0x01, 0x00, 0, 0, 0}, true, answer);
    EXPECT_EQ(answer[0], 1);
    // A different key does not verify.
    keyData[0] ^= 1;
    Exec({0xE9, 0x00, 0x00, 0, 0, 0}, false, keyData);
    Exec({0xE9, 0x01, 0x01, 0, 0, 0}, true, answer);
    EXPECT_EQ(answer[0], 0);
}

TEST_F(EmuBridge, FaultsFailTheNextRequestsOfTheirOpcodeOnly)
{
    {
        auto bridge = Open();
        bridge.SetFault(0xE4, emu::FaultMode::CallFails, 2);
        bridge.SetFault(0xE0, emu::FaultMode::CheckCondition, 1);
        bridge.Save();
    }
    std::vector<uint8_t> one(1);
    EXPECT_TRUE(Exec({0xE4, 0x01, 0x50, 0, 0, 0}, true, one).callFailed);
    EXPECT_TRUE(Exec({0xE4, 0x01, 0x50, 0, 0, 0}, true, one).callFailed);
    EXPECT_FALSE(Exec({0xE4, 0x01, 0x50, 0, 0, 0}, true, one).callFailed);
    std::vector<uint8_t> table(128);
    const auto check = Exec({0xE0, 0x50, 0x00, 0, 0, 0}, true, table);
    EXPECT_EQ(check.status, emu::kStatusCheckCondition);
    EXPECT_EQ(check.sense[2], emu::kSenseHardwareError);
    EXPECT_EQ(Exec({0xE0, 0x50, 0x00, 0, 0, 0}, true, table).status, emu::kStatusGood);
    EXPECT_TRUE(Open().Faults().empty());
}

TEST_F(EmuBridge, UnknownBlocksGetIllegalRequest)
{
    std::vector<uint8_t> data(8);
    const auto ex = Exec({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, true, data);
    EXPECT_EQ(ex.status, emu::kStatusCheckCondition);
    EXPECT_EQ(ex.sense[2], emu::kSenseIllegalRequest);
    EXPECT_EQ(ex.sense[12], emu::kAscInvalidOpcode);
    std::vector<uint8_t> none;
    EXPECT_EQ(Exec({0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0, 0}, false, none).status, emu::kStatusCheckCondition);
    EXPECT_EQ(Exec({0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0, 0xE7, 0, 0}, false, none).status, emu::kStatusGood);
}

TEST_F(EmuBridge, ResetAndDisconnectTakeTheBridgeOffTheBus)
{
    std::vector<uint8_t> none;
    Exec({0xE8, 0x50, 0, 0, 0, 0}, true, none);
    EXPECT_FALSE(Open().Present());
}

TEST(EmuSha256, KnownDigests)
{
    emu::Sha256 empty;
    const auto e = empty.Final();
    EXPECT_EQ(e[0], 0xe3);
    EXPECT_EQ(e[31], 0x55);
    emu::Sha256 abc;
    abc.Update(reinterpret_cast<const uint8_t*>("abc"), 3);
    const auto d = abc.Final();
    const uint8_t expected[8] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea};
    EXPECT_TRUE(std::equal(expected, expected + 8, d.begin()));
    EXPECT_EQ(d[31], 0xad);
    // A message that spans the padding boundary.
    std::string text(56, 'a');
    emu::Sha256 long56;
    long56.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(long56.Final()[0], 0xb3);
}

TEST(EmuWorld, KeptStateIsReadAgainAfterAChangeThroughAnotherWorld)
{
    testsupport::TempFolder folder;
    emu::World world(folder.Path());
    ASSERT_TRUE(world.Init(2));
    EXPECT_EQ(world.BridgeState(2)->DiskNumber(), 2);
    // Another user of the folder (another process, as far as `world` knows).
    emu::World other(folder.Path());
    emu::Bridge bridge(other.BridgeFolder(2));
    bridge.SetDiskNumber(7);
    ASSERT_TRUE(bridge.Save());
    EXPECT_EQ(world.BridgeState(2)->DiskNumber(), 7);
    const int64_t mark = world.EventCount();
    other.PostEvent("arrival", 7);
    other.PostEvent("removal");
    EXPECT_EQ(world.EventCount(), mark + 2);
    EXPECT_EQ(world.DisksArrivedSince(mark), std::vector<int>{7});
    EXPECT_TRUE(world.DisksArrivedSince(mark + 1).empty());
}

TEST(EmuWorld, InitCreatesBridgesOnDisksOneToN)
{
    testsupport::TempFolder folder;
    emu::World world(folder.Path());
    ASSERT_TRUE(world.Init(3));
    EXPECT_EQ(world.BridgeIds(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(world.BridgeOnDisk(2), 2);
    EXPECT_FALSE(world.BridgeOnDisk(0));
    EXPECT_FALSE(world.BridgeOnDisk(4));
}

// A station keeps real time until told otherwise; its scaled time line goes on
// from where it was when the scale changes, and a new station starts on real time.
TEST(EmuWorld, TimeScaleKeepsTheStationsTimeLineGoingOn)
{
    testsupport::TempFolder folder;
    emu::World world(folder.Path());
    ASSERT_TRUE(world.Init(1));
    EXPECT_FALSE(world.Time().has_value());
    ASSERT_TRUE(world.SetTimeScale(100, 1'000'000));
    auto time = world.Time();
    ASSERT_TRUE(time.has_value());
    EXPECT_EQ(time->scale, 100);
    EXPECT_EQ(time->At(1'000'000), 1'000'000);
    EXPECT_EQ(time->At(1'000'010), 1'001'000);
    ASSERT_TRUE(world.SetTimeScale(10, 1'000'010));  // 1 001 000 on the station then
    time = world.Time();
    EXPECT_EQ(time->At(1'000'010), 1'001'000);
    EXPECT_EQ(time->At(1'000'020), 1'001'100);
    EXPECT_FALSE(world.SetTimeScale(0, 1'000'020));
    EXPECT_FALSE(world.SetTimeScale(emu::kMaxTimeScale + 1, 1'000'020));
    EXPECT_EQ(world.Time()->scale, 10);
    ASSERT_TRUE(world.Init(1));
    EXPECT_FALSE(world.Time().has_value());
}

}  // namespace
