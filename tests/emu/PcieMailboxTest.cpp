// The bridge's PCIe mailbox, driven byte by byte as the configuration space
// would drive it.
#include <gtest/gtest.h>

#include <numeric>

#include "../common/TestSupport.h"
#include "emu/PcieMailbox.h"

namespace {

using emu::PcieMailbox;
using Outcome = emu::PcieMailbox::Outcome;

class PcieMailboxTest : public ::testing::Test {
protected:
    PcieMailboxTest()
    {
        emu::BridgeSetup setup;
        setup.mode = emu::U4Mode::PcieTunnel;
        EXPECT_TRUE(emu::Bridge::Create(m_Folder.Path() / "bridge1", setup));
    }
    emu::Bridge Bridge() { return emu::Bridge(m_Folder.Path() / "bridge1"); }
    void Command(std::initializer_list<uint8_t> bytes)
    {
        uint32_t i = 0;
        for (uint8_t b : bytes) m_Mailbox.Write(emu::kMailboxCommand + i++, b);
        for (; i < emu::kMailboxCommandSize; ++i) m_Mailbox.Write(emu::kMailboxCommand + i, 0);
    }
    Outcome Ring(emu::Bridge& bridge, int64_t now = 0)
    {
        EXPECT_TRUE(m_Mailbox.Write(emu::kMailboxDoorbell, emu::kDoorbellRing));
        const Outcome outcome = m_Mailbox.Ring(bridge, now);
        bridge.Save();
        return outcome;
    }
    std::vector<uint8_t> Window(uint32_t n)
    {
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = m_Mailbox.Read(emu::kMailboxData + i);
        return bytes;
    }
    void Fill(const uint8_t* data, uint32_t n)
    {
        for (uint32_t i = 0; i < n; ++i) m_Mailbox.Write(emu::kMailboxData + i, data[i]);
    }

    testsupport::TempFolder m_Folder;
    PcieMailbox m_Mailbox{0x7956};
};

TEST_F(PcieMailboxTest, ChipIdIsReadOnly)
{
    EXPECT_EQ(m_Mailbox.Read(emu::kMailboxChipId), 0x56);
    EXPECT_EQ(m_Mailbox.Read(emu::kMailboxChipId + 1), 0x79);
    EXPECT_FALSE(m_Mailbox.Write(emu::kMailboxChipId, 0x00));
    EXPECT_EQ(m_Mailbox.Read(emu::kMailboxChipId), 0x56);
}

TEST_F(PcieMailboxTest, RegisterReadComesInPiecesOf128)
{
    auto bridge = Bridge();
    for (uint32_t i = 0; i < 200; ++i) bridge.WriteRegister(0x1000 + i, static_cast<uint8_t>(i * 7));
    Command({0xE4, 200, 0x50, 0x10, 0x00});
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    EXPECT_EQ(m_Mailbox.Doorbell(), emu::kDoorbellDone);
    auto first = Window(128);
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    auto second = Window(72);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(first[i], static_cast<uint8_t>(i * 7));
    for (uint32_t i = 0; i < 72; ++i) ASSERT_EQ(second[i], static_cast<uint8_t>((128 + i) * 7));
    // A third ring has nothing left to give.
    EXPECT_EQ(Ring(bridge), Outcome::kRefused);
    EXPECT_EQ(m_Mailbox.Doorbell(), emu::kDoorbellRefused);
}

TEST_F(PcieMailboxTest, ConfigWriteTakesEffectWithItsLastPiece)
{
    auto bridge = Bridge();
    std::array<uint8_t, 128> table;
    std::iota(table.begin(), table.end(), 1);
    Command({0xE1, 0x51, 0x01});
    Fill(table.data(), 128);
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    EXPECT_EQ(Bridge().ConfigTable(1, 1), table);
}

TEST_F(PcieMailboxTest, RegisterWriteRunsAtTheRing)
{
    auto bridge = Bridge();
    Command({0xE5, 0x3C, 0x51, 0x60, 0x1A});
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    EXPECT_EQ(Bridge().ReadRegister(0x2601A), 0x3C);
}

TEST_F(PcieMailboxTest, FirmwareBeyond64KiBGoesInOneCommand)
{
    auto bridge = Bridge();
    const uint32_t length = 0x10000 + 300;
    std::vector<uint8_t> image(length);
    for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    Command({0xE3, 0x51, 0x00, 0x01, 0x01, 0x2C});
    for (uint32_t done = 0; done < length; done += 128) {
        Fill(image.data() + done, std::min<uint32_t>(128, length - done));
        ASSERT_EQ(m_Mailbox.Write(emu::kMailboxDoorbell, emu::kDoorbellRing), true);
        ASSERT_EQ(m_Mailbox.Ring(bridge, 0), Outcome::kDone) << done;
    }
    EXPECT_EQ(Bridge().FirmwareImage(1), image);

    Command({0xE2, 0x51, 0x00, 0x01, 0x01, 0x2C});
    std::vector<uint8_t> back;
    for (uint32_t done = 0; done < length; done += 128) {
        ASSERT_EQ(Ring(bridge), Outcome::kDone);
        const auto piece = Window(std::min<uint32_t>(128, length - done));
        back.insert(back.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(back, image);
}

TEST_F(PcieMailboxTest, RefusedCommandsNeverAnswerDone)
{
    auto bridge = Bridge();
    Command({0xC3});  // not a mailbox command
    EXPECT_EQ(Ring(bridge), Outcome::kRefused);
    Command({0xE2, 0x50, 0x00, 0x10, 0x00, 0x01});  // longer than the flash holds
    EXPECT_EQ(Ring(bridge), Outcome::kRefused);
    Command({0xE0, 0x52, 0x00});  // no image 2
    EXPECT_EQ(Ring(bridge), Outcome::kRefused);
    EXPECT_EQ(m_Mailbox.Doorbell(), emu::kDoorbellRefused);
}

TEST_F(PcieMailboxTest, StuckMailboxKeepsTheRing)
{
    auto bridge = Bridge();
    bridge.Set(emu::kKeyMailboxStuck, "1");
    Command({0xE4, 0x01, 0x50, 0x07, 0xF0});
    EXPECT_EQ(Ring(bridge), Outcome::kNoAnswer);
    EXPECT_EQ(m_Mailbox.Doorbell(), emu::kDoorbellRing);
}

TEST_F(PcieMailboxTest, NewCommandBlockStartsOver)
{
    auto bridge = Bridge();
    bridge.WriteRegister(0x07F0, 0x24);
    Command({0xE4, 0x00, 0x50, 0x07, 0x00});  // 256 bytes
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    Command({0xE4, 0x01, 0x50, 0x07, 0xF0});
    ASSERT_EQ(Ring(bridge), Outcome::kDone);
    EXPECT_EQ(Window(1)[0], 0x24);
}

TEST_F(PcieMailboxTest, ResetTakesTheFunctionAwayForTheRelinkDelay)
{
    auto bridge = Bridge();
    bridge.Set(emu::kKeyPcieRelinkMs, "3000");
    EXPECT_TRUE(emu::PcieFunctionPresent(bridge, 1000));
    Command({0xE8, 0x50});
    EXPECT_EQ(Ring(bridge, 1000), Outcome::kReset);
    EXPECT_FALSE(emu::PcieFunctionPresent(bridge, 1000));
    EXPECT_FALSE(emu::PcieFunctionPresent(bridge, 3999));
    EXPECT_TRUE(emu::PcieFunctionPresent(bridge, 4000));
    // A return time further away than the delay belongs to another clock.
    EXPECT_TRUE(emu::PcieFunctionPresent(bridge, 0));
    // The mailbox starts afresh, its chip ID kept.
    EXPECT_EQ(m_Mailbox.Command()[0], 0x00);
    EXPECT_EQ(m_Mailbox.Read(emu::kMailboxChipId + 1), 0x79);
}

TEST_F(PcieMailboxTest, OnlyPcieTunnelBridgesAppear)
{
    auto bridge = Bridge();
    bridge.SetMode(emu::U4Mode::Usb3Tunnel);
    EXPECT_FALSE(emu::PcieFunctionPresent(bridge, 0));
    bridge.SetMode(emu::U4Mode::PcieTunnel);
    bridge.SetPresent(false);
    EXPECT_FALSE(emu::PcieFunctionPresent(bridge, 0));
}

}  // namespace
