// The emulated station's PCIe functions: the list, configuration space and the
// NVMe controllers' BARs.
#include <gtest/gtest.h>

#include "../common/TestSupport.h"
#include "platform/emu/EmuStation.h"

namespace {

using platform::PcieFunction;
using platform::PcieLocation;

class EmuPcieTest : public ::testing::Test {
protected:
    EmuPcieTest() : m_Station(m_Folder.Path() / "station") {}
    void Tunnel(int bridgeId)
    {
        m_Station.ModifyBridge(bridgeId, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::PcieTunnel); });
    }
    static PcieLocation Bus(int bus) { return {0, static_cast<uint8_t>(bus), 0, 0}; }
    uint32_t ReadConfig(const PcieLocation& location, uint32_t offset, uint32_t size)
    {
        const auto config = m_Station.OpenPcieConfig(location);
        uint32_t value = 0;
        EXPECT_NE(config, nullptr);
        if (config) {
            EXPECT_TRUE(config->Read(offset, size, value));
        }
        return value;
    }

    testsupport::FakeClockScope m_Clock;
    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Station;
};

TEST_F(EmuPcieTest, ListHoldsTheFixedFunctionsAndEveryTunnelledBridgeInOrder)
{
    auto functions = m_Station.PcieFunctions();
    ASSERT_EQ(functions.size(), 9u);
    EXPECT_EQ(functions[0].location, Bus(0));
    EXPECT_EQ(functions[1].location, (PcieLocation{0, 0, 1, 0}));
    EXPECT_EQ(functions[2].location, (PcieLocation{0, 0, 1, 1}));
    EXPECT_EQ(functions[3].location, Bus(1));
    EXPECT_EQ(functions[3].vendorId, 0x1ABC);
    EXPECT_EQ(functions[3].deviceId, 0x7953);
    EXPECT_EQ(functions[8].location, Bus(6));

    Tunnel(2);
    functions = m_Station.PcieFunctions();
    ASSERT_EQ(functions.size(), 12u);
    const int bus = platform::EmuPcie::BridgeBus(2);
    EXPECT_EQ(functions[9].location, Bus(bus));
    EXPECT_EQ(functions[9].vendorId, 0x2C7A);
    EXPECT_EQ(functions[9].classCode, 0x060400u);
    EXPECT_EQ(functions[10].location, Bus(bus + 1));
    EXPECT_EQ(functions[10].deviceId, 0x7950);
    EXPECT_EQ(functions[11].location, Bus(bus + 2));
    EXPECT_EQ(functions[11].classCode, 0x010802u);
    // Every listed identity is what the function's header says.
    for (const PcieFunction& f : functions) {
        EXPECT_EQ(ReadConfig(f.location, 0, 2), f.vendorId);
        EXPECT_EQ(ReadConfig(f.location, 2, 2), f.deviceId);
        EXPECT_EQ(ReadConfig(f.location, 8, 4) >> 8, f.classCode);
    }

    m_Station.ModifyBridge(2, [](emu::Bridge& b) { b.SetPresent(false); });
    EXPECT_EQ(m_Station.PcieFunctions().size(), 9u);
}

TEST_F(EmuPcieTest, ConfigSpaceOfTheBridgePortCarriesTheMailbox)
{
    Tunnel(1);
    const auto config = m_Station.OpenPcieConfig(Bus(platform::EmuPcie::BridgeBus(1)));
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->Size(), 4096u);
    uint32_t value = 0;
    ASSERT_TRUE(config->Read(0x788, 2, value));
    EXPECT_EQ(value, 0x7956u);
    // A register read of the firmware version: command, doorbell, answer.
    const uint8_t command[8] = {0xE4, 0x01, 0x50, 0x07, 0xF0, 0, 0, 0};
    for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(config->Write(0x780 + i, 1, command[i]));
    ASSERT_TRUE(config->Write(0x790, 1, 0x5A));
    ASSERT_TRUE(config->Read(0x790, 1, value));
    EXPECT_EQ(value, 0xA5u);
    ASSERT_TRUE(config->Read(0x700, 1, value));
    EXPECT_EQ(value, emu::Bridge(m_Station.World().BridgeFolder(1)).ReadRegister(0x07F0));
    ASSERT_EQ(m_Station.Pcie().Rings().size(), 1u);
    EXPECT_EQ(m_Station.Pcie().Rings()[0].bridgeId, 1);

    EXPECT_FALSE(config->Read(4094, 4, value));
    EXPECT_FALSE(config->Read(0, 3, value));
    EXPECT_FALSE(config->Write(4096, 1, 0));
}

TEST_F(EmuPcieTest, PlacesWithoutAFunctionReadAllOnes)
{
    for (const PcieLocation& location : {Bus(7), Bus(platform::EmuPcie::BridgeBus(1)), PcieLocation{1, 0, 0, 0},
                                         PcieLocation{0, 0, 1, 2}}) {
        EXPECT_EQ(ReadConfig(location, 0, 4), 0xFFFFFFFFu);
        EXPECT_EQ(ReadConfig(location, 0x788, 2), 0xFFFFu);
    }
}

TEST_F(EmuPcieTest, NvmeControllersHaveARegisterBar)
{
    Tunnel(3);
    for (const PcieLocation& location : {Bus(5), Bus(platform::EmuPcie::BridgeBus(3) + 2)}) {
        const auto bar = m_Station.MapPcieBar(location, 0);
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->Size(), 16384u);
        uint32_t value = 0;
        ASSERT_TRUE(bar->Read(0x08, 4, value));
        EXPECT_EQ(value, 0x00010400u);  // version 1.4
        ASSERT_TRUE(bar->Read(0x00, 2, value));
        EXPECT_EQ(value, 0x03FFu);  // 1024 entries per queue
        EXPECT_TRUE(bar->Write(0x14, 4, 1));
        ASSERT_TRUE(bar->Read(0x14, 4, value));
        EXPECT_EQ(value, 0u);
        EXPECT_FALSE(bar->Read(0x0A, 4, value));  // not aligned
        EXPECT_FALSE(bar->Read(16384, 1, value));
    }
    EXPECT_EQ(m_Station.MapPcieBar(Bus(5), 1), nullptr);
    EXPECT_EQ(m_Station.MapPcieBar(Bus(platform::EmuPcie::BridgeBus(3)), 0), nullptr);  // a switch port
    EXPECT_EQ(m_Station.MapPcieBar(Bus(7), 0), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(EmuPcieTest, UnreachableStationListsAndOpensNothing)
{
    Tunnel(1);
    m_Station.Pcie().SetReachable(false);
    EXPECT_TRUE(m_Station.PcieFunctions().empty());
    EXPECT_EQ(m_Station.OpenPcieConfig(Bus(0)), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_Station.MapPcieBar(Bus(5), 0), nullptr);
}

}  // namespace
