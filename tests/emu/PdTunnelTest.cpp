// The PD controller and MCU behind an emulated bridge, driven through the bridge
// with 0xEC command blocks as the station hands them over.
#include "emu/PdTunnel.h"

#include <gtest/gtest.h>

#include <vector>

#include "../common/TestSupport.h"
#include "emu/Bridge.h"

namespace {

using emu::ScsiExchange;

class EmuPdTunnel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(emu::Bridge::Create(Folder(), emu::BridgeSetup{})); }
    std::filesystem::path Folder() const { return m_Folder.Path() / "b"; }

    void Set(const std::string& key, const std::string& value)
    {
        std::string error;
        ASSERT_TRUE(emu::PdTunnel::ApplySetting(Folder(), key, value, error)) << error;
    }

    // 0xEC sub A(2) B(2) byte6 byte7, with an optional data phase.
    ScsiExchange Exec(std::array<uint8_t, 8> cdb, bool dataIn, std::vector<uint8_t>& data)
    {
        ScsiExchange exchange;
        std::copy(cdb.begin(), cdb.end(), exchange.cdb.begin());
        exchange.cdbLength = 8;
        exchange.dataIn = dataIn;
        exchange.data = data.data();
        exchange.dataLength = static_cast<uint32_t>(data.size());
        emu::Bridge bridge(Folder());
        bridge.Execute(exchange);
        return exchange;
    }
    uint8_t Status(std::array<uint8_t, 8> cdb)
    {
        std::vector<uint8_t> none;
        return Exec(cdb, false, none).status;
    }
    std::vector<uint8_t> Identify()
    {
        std::vector<uint8_t> answer(16);
        EXPECT_EQ(Exec({0xEC, 0x07, 0x10, 0x00, 0, 0, 0, 0}, true, answer).status, emu::kStatusGood);
        return answer;
    }

    testsupport::TempFolder m_Folder;
};

TEST_F(EmuPdTunnel, IdentificationNeedsTheBusAndReportsTheFittedChips)
{
    Set("vendor", "ccg3");
    Set("mcu", "stm");
    std::vector<uint8_t> answer(16);
    EXPECT_EQ(Exec({0xEC, 0x07, 0x10, 0x00, 0, 0, 0, 0}, true, answer).status, emu::kStatusCheckCondition);
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    answer = Identify();
    EXPECT_EQ(answer[0], 0x5A);
    EXPECT_EQ(answer[1], 4);
    EXPECT_NE(answer[8], 0);
    Set("no_answer", "1");
    EXPECT_NE(Identify()[0], 0x5A);
    std::vector<uint8_t> mode(1);
    ASSERT_EQ(Exec({0xEC, 0x29, 0x01, 0x00, 0, 0, 0, 0}, true, mode).status, emu::kStatusGood);
    EXPECT_EQ(mode[0], 1);
}

TEST_F(EmuPdTunnel, RichtekWordsTravelInTheCommandBlock)
{
    Set("vendor", "richtek");
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    // Writes before the MTP area is open are refused.
    EXPECT_EQ(Status({0xEC, 0x01, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44}), emu::kStatusCheckCondition);
    ASSERT_EQ(Status({0xEC, 0x00, 0, 0, 0x3F, 0xFF, 0, 0}), emu::kStatusGood);
    ASSERT_EQ(Status({0xEC, 0x01, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44}), emu::kStatusGood);  // word 0x400 = 0x1000
    std::vector<uint8_t> dataPhase(4);
    EXPECT_EQ(Exec({0xEC, 0x01, 0x00, 0x01, 1, 2, 3, 4}, false, dataPhase).status, emu::kStatusCheckCondition);
    std::vector<uint8_t> version(2);
    ASSERT_EQ(Exec({0xEC, 0x03, 0, 0, 0, 0, 0, 0}, true, version).status, emu::kStatusGood);
    EXPECT_EQ(version, (std::vector<uint8_t>{0x11, 0x22}));
    std::vector<uint8_t> block(32);
    ASSERT_EQ(Exec({0xEC, 0x06, 0x10, 0x00, 0x0F, 0xE0, 0, 32}, true, block).status, emu::kStatusGood);
    ASSERT_EQ(Exec({0xEC, 0x06, 0x10, 0x00, 0x10, 0x00, 0, 32}, true, block).status, emu::kStatusGood);
    EXPECT_EQ(block[0], 0x11);
    EXPECT_EQ(block[3], 0x44);
}

TEST_F(EmuPdTunnel, CCG3RowsLowByteFirstAndBankBookkeeping)
{
    Set("vendor", "ccg3");
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    std::vector<uint8_t> row(128, 0x5C);
    EXPECT_EQ(Exec({0xEC, 0x2B, 0x23, 0x01, 0, 0, 0, 0}, false, row).status, emu::kStatusCheckCondition);
    ASSERT_EQ(Status({0xEC, 0x2D, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    ASSERT_EQ(Exec({0xEC, 0x2B, 0x23, 0x01, 0, 0, 0, 0}, false, row).status, emu::kStatusGood);
    EXPECT_EQ(emu::PdTunnel(Folder()).PdMemory(0x0123 * 128, 128), std::string(128, '\x5C'));
    std::vector<uint8_t> back(128);
    ASSERT_EQ(Exec({0xEC, 0x2A, 0x23, 0x01, 0, 0, 0, 0}, true, back).status, emu::kStatusGood);
    EXPECT_EQ(back, row);
    // Row 1023 of bank 1 carries the controller's own stamp.
    ASSERT_EQ(Exec({0xEC, 0x2B, 0xFF, 0x03, 0, 0, 0, 0}, false, row).status, emu::kStatusGood);
    ASSERT_EQ(Exec({0xEC, 0x2A, 0xFF, 0x03, 0, 0, 0, 0}, true, back).status, emu::kStatusGood);
    EXPECT_NE(back, row);
    // After the power cycle it runs bank 2 and answers 0x2C, not 0x21.
    emu::PdTunnel::PowerCycle(Folder());
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    std::vector<uint8_t> version(16);
    EXPECT_EQ(Exec({0xEC, 0x21, 0x10, 0x00, 0, 0, 0, 0}, true, version).status, emu::kStatusCheckCondition);
    EXPECT_EQ(Exec({0xEC, 0x2C, 0x10, 0x00, 0, 0, 0, 0}, true, version).status, emu::kStatusGood);
    EXPECT_EQ(emu::PdTunnel(Folder()).Ccg3Mode(), 2);
}

TEST_F(EmuPdTunnel, CypressRowsAsRowTimes256AndVersionBlock)
{
    Set("vendor", "cypress");
    Set("version_row", "0x40");
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    ASSERT_EQ(Status({0xEC, 0x22, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    std::vector<uint8_t> row(128);
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(Exec({0xEC, 0x23, 0x40, 0x00, 0, 0, 0, 0}, false, row).status, emu::kStatusGood);
    EXPECT_EQ(Exec({0xEC, 0x23, 0x40, 0x01, 0, 0, 0, 0}, false, row).status, emu::kStatusCheckCondition);
    std::vector<uint8_t> version(16);
    ASSERT_EQ(Exec({0xEC, 0x21, 0x10, 0x00, 0, 0, 0, 0}, true, version).status, emu::kStatusGood);
    EXPECT_EQ(version[8], 96);
    EXPECT_EQ(version[15], 103);
}

TEST_F(EmuPdTunnel, MCUNeedsItsBootloaderBeforeTheFlashStep)
{
    Set("mcu", "stm");
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    EXPECT_EQ(Status({0xEC, 0x33, 0, 0, 0, 0, 0, 0}), emu::kStatusCheckCondition);
    ASSERT_EQ(Status({0xEC, 0x32, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    ASSERT_EQ(Status({0xEC, 0x33, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    std::vector<uint8_t> chunk{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(Exec({0xEC, 0x34, 0x08, 0x00, 0xBF, 0xF4, 12, 0}, false, chunk).status, emu::kStatusGood);
    std::vector<uint8_t> thirteen(13);
    EXPECT_EQ(Exec({0xEC, 0x34, 0x08, 0x00, 0, 0, 13, 0}, false, thirteen).status, emu::kStatusCheckCondition);
    std::vector<uint8_t> past(12);
    EXPECT_EQ(Exec({0xEC, 0x34, 0x08, 0x00, 0xBF, 0xF8, 12, 0}, false, past).status, emu::kStatusCheckCondition);
    std::vector<uint8_t> back(12);
    ASSERT_EQ(Exec({0xEC, 0x35, 0x08, 0x00, 0xBF, 0xF4, 12, 0}, true, back).status, emu::kStatusGood);
    EXPECT_EQ(back, chunk);
    emu::PdTunnel::PowerCycle(Folder());
    EXPECT_EQ(Status({0xEC, 0x32, 0, 0, 0, 0, 0, 0}), emu::kStatusCheckCondition);  // bus closed again
}

TEST_F(EmuPdTunnel, FaultsAndSettings)
{
    Set("vendor", "cypress");
    Set("fail", "22");
    Set("fail_count", "1");
    ASSERT_EQ(Status({0xEC, 0x04, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    EXPECT_EQ(Status({0xEC, 0x22, 0, 0, 0, 0, 0, 0}), emu::kStatusCheckCondition);
    ASSERT_EQ(Status({0xEC, 0x22, 0, 0, 0, 0, 0, 0}), emu::kStatusGood);
    Set("corrupt_row", "5");
    std::vector<uint8_t> row(128, 0x00);
    ASSERT_EQ(Exec({0xEC, 0x23, 0x05, 0x00, 0, 0, 0, 0}, false, row).status, emu::kStatusGood);
    EXPECT_EQ(emu::PdTunnel(Folder()).PdMemory(5 * 128, 1), std::string(1, '\xFF'));

    std::string error;
    EXPECT_FALSE(emu::PdTunnel::ApplySetting(Folder(), "colour", "red", error));
    EXPECT_NE(error.find("unknown PD key 'pd.colour'"), std::string::npos);
    EXPECT_FALSE(emu::PdTunnel::ApplySetting(Folder(), "vendor", "ti", error));
    EXPECT_TRUE(emu::PdTunnel::ComesBack(Folder()));
    Set("replug", "never");
    EXPECT_FALSE(emu::PdTunnel::ComesBack(Folder()));
    Set("replug_ms", "3000");
    EXPECT_EQ(emu::PdTunnel::OperatorReplugMs(Folder()), 3000);
}

}  // namespace
