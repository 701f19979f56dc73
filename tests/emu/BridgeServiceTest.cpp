// The standard block commands a bridge's disk answers on the wire (the gadget
// server's), and the vendor commands that go on to the bridge model.
#include "emu/BridgeService.h"

#include <gtest/gtest.h>

#include <vector>

#include "../common/TestSupport.h"

namespace {

class BridgeService : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(emu::Bridge::Create(Folder(), emu::BridgeSetup{}));
        emu::Bridge bridge(Folder());
        bridge.Set("disk_size_mib", "16");
        ASSERT_TRUE(bridge.Save());
    }
    std::filesystem::path Folder() const { return m_Folder.Path() / "bridge1"; }
    emu::ScsiExchange Command(std::vector<uint8_t> cdb, std::vector<uint8_t>& data, bool in)
    {
        emu::ScsiExchange exchange;
        std::copy(cdb.begin(), cdb.end(), exchange.cdb.begin());
        exchange.cdbLength = static_cast<uint8_t>(cdb.size());
        exchange.dataIn = in;
        exchange.data = data.data();
        exchange.dataLength = static_cast<uint32_t>(data.size());
        emu::ServeDiskCommand(Folder(), exchange, m_Sense);
        return exchange;
    }
    testsupport::TempFolder m_Folder;
    emu::PendingSense m_Sense;
};

TEST_F(BridgeService, CapacityWritesReadsAndSense)
{
    std::vector<uint8_t> capacity(8);
    auto e = Command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, capacity, true);
    EXPECT_EQ(e.status, emu::kStatusGood);
    EXPECT_EQ(e.transferred, 8u);
    EXPECT_EQ(capacity[2] << 8 | capacity[3], 0x7FFF);  // 32768 sectors, the last is 0x7FFF
    EXPECT_EQ(capacity[6] << 8 | capacity[7], 512);

    std::vector<uint8_t> sectors(1024);
    for (size_t i = 0; i < sectors.size(); ++i) sectors[i] = static_cast<uint8_t>(i * 7);
    e = Command({0x2A, 0, 0, 0, 0, 10, 0, 0, 2, 0}, sectors, false);
    EXPECT_EQ(e.status, emu::kStatusGood);
    EXPECT_EQ(e.transferred, 1024u);
    std::vector<uint8_t> back(1024);
    e = Command({0x88, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 2, 0, 0}, back, true);
    EXPECT_EQ(e.transferred, 1024u);
    EXPECT_EQ(back, sectors);

    // Past the end: CHECK CONDITION, and REQUEST SENSE gives that sense once.
    e = Command({0x28, 0, 0, 0, 0x80, 0, 0, 0, 1, 0}, back, true);
    EXPECT_EQ(e.status, emu::kStatusCheckCondition);
    EXPECT_EQ(e.transferred, 0u);
    std::vector<uint8_t> sense(18);
    e = Command({0x03, 0, 0, 0, 18, 0}, sense, true);
    EXPECT_EQ(sense[2], emu::kSenseIllegalRequest);
    EXPECT_EQ(sense[12], 0x21);  // logical block address out of range
    e = Command({0x03, 0, 0, 0, 18, 0}, sense, true);
    EXPECT_EQ(sense[2], 0);

    // A data phase that runs the wrong way moves nothing.
    e = Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, back, false);
    EXPECT_EQ(e.status, emu::kStatusCheckCondition);
}

TEST_F(BridgeService, VendorCommandsReachTheBridgeAndAnInjectedFaultTheDisk)
{
    std::vector<uint8_t> inquiry(38);
    auto e = Command({0x12, 0, 0, 0, 38, 0}, inquiry, true);
    EXPECT_EQ(e.status, emu::kStatusGood);
    EXPECT_EQ(inquiry[37] << 8 | inquiry[36], 0x7951);  // the chip ID
    {
        emu::Bridge bridge(Folder());
        bridge.SetFault(0x28, emu::FaultMode::NoAnswer, 1);
        ASSERT_TRUE(bridge.Save());
    }
    std::vector<uint8_t> sector(512);
    e = Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, sector, true);
    EXPECT_TRUE(e.noAnswer);
    e = Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, sector, true);
    EXPECT_FALSE(e.noAnswer);
    EXPECT_EQ(e.transferred, 512u);
    // Off the bus: the call fails.
    {
        emu::Bridge bridge(Folder());
        bridge.SetPresent(false);
        ASSERT_TRUE(bridge.Save());
    }
    e = Command({0x00, 0, 0, 0, 0, 0}, sector, false);
    EXPECT_TRUE(e.callFailed);
}

}  // namespace
