// The engineering dialogs' device side on the emulated station: register and
// table access over USB and PCIe, their failures, and the texts shown.
#include <gtest/gtest.h>

#include "../StationFixture.h"
#include "device/debug/DebugAccess.h"
#include "emu/Bridge.h"

namespace {

using testsupport::EmulatedStationTest;

class DebugAccess : public EmulatedStationTest {
protected:
    DebugAccess() : m_Pcie(m_Station) {}
    void SetUp() override { ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0); }
    DebugDevice Target(uint8_t record, uint8_t image = 0) { return {m_Dev, m_Pcie, m_List, record, image}; }
    void Poke(int id, uint32_t address, uint8_t value)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& b) { b.WriteRegister(address, value); });
    }
    // Puts bridge `id` in PCIe-tunnel mode and lists it after the USB bridges.
    uint8_t ListOverPcie(int id)
    {
        m_Emu.ModifyBridge(id, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::PcieTunnel); });
        EXPECT_EQ(m_Pcie.InitPcie(), 1);
        m_List = {};
        EXPECT_EQ(m_Dev.Open(m_List, "0", 2), 0);
        const uint32_t usb = m_List.DevNums;
        EXPECT_GE(m_Pcie.ScanPcie(0x2C7A, 0x7953, m_List, usb), 1);
        return static_cast<uint8_t>(usb);
    }

    CBrv795xPcieCtrl m_Pcie;
    DeviceList m_List;
};

TEST(DebugTexts, HexFieldsTakeHexDigitsUpToTheirLimit)
{
    EXPECT_EQ(ParseHexField("c890", 0x1FFFF), 0xC890u);
    EXPECT_EQ(ParseHexField(" 2601A ", 0xFFFFF), 0x2601Au);
    EXPECT_EQ(ParseHexField("0", 0xFFFF), 0u);
    EXPECT_FALSE(ParseHexField("", 0xFFFF));
    EXPECT_FALSE(ParseHexField("   ", 0xFFFF));
    EXPECT_FALSE(ParseHexField("12G", 0xFFFF));
    EXPECT_FALSE(ParseHexField("0x10", 0xFFFF));
    EXPECT_FALSE(ParseHexField("10000", 0xFFFF));
    EXPECT_FALSE(ParseHexField("FFFFFFFFFFFFFFFFFFFF", 0xFFFFFFFF));  // no overflow into a small value
}

TEST(DebugTexts, HexLinesBreakAfterEverySixteenthByte)
{
    std::vector<uint8_t> bytes(18);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    const std::string text = strHexLines(bytes.data(), bytes.size());
    EXPECT_EQ(text, "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\nB0 B1");
    EXPECT_EQ(strHexLines(bytes.data(), 16), "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n");
    EXPECT_EQ(strHexLines(bytes.data(), 0), "");
}

TEST(DebugTexts, IdleTimerTexts)
{
    EXPECT_EQ(strIdleTimerText(0xF1), "3 min");
    EXPECT_EQ(strIdleTimerText(0xF6), "30 min");
    EXPECT_EQ(strIdleTimerText(0xFB), "5 hr");
    EXPECT_EQ(strIdleTimerText(0xFF), "Never");
    EXPECT_EQ(strIdleTimerText(0x00), "NULL");
    EXPECT_EQ(strIdleTimerText(0xF0), "NULL");
    EXPECT_EQ(strIdleTimerText(0xFC), "NULL");
}

TEST(DebugTexts, OptionBitsFillTheColumnsFromCSToSE)
{
    const auto row = ConfigSettingRow(0b10110001, 0xFF);
    EXPECT_EQ(row[0], "Status");
    const char* expected[] = {"X", "O", "O", "O", "X", "X", "O", "X"};  // bits 0..7
    for (int bit = 0; bit < 8; ++bit) EXPECT_EQ(row[1 + bit], expected[bit]) << kConfigSettingColumns[1 + bit];
    EXPECT_EQ(row[9], "Never");
}

TEST(DebugTexts, UUIDTakesBytes59Down54WithoutTheFirstDigit)
{
    std::array<uint8_t, CONFIG_BIN_SIZE> image{};
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};  // at 0x59, 0x58, .. 0x54
    for (int i = 0; i < 6; ++i) image[0x59 - i] = bytes[i];
    EXPECT_EQ(strU4UUID(image), "2B9D-23456789ABC-0");
}

TEST(DebugTexts, DeviceCodeMarksTheFamilyAndTheUASPSupport)
{
    // Variant bits 6..4 = 011: "4-"; bit 1 set: "2" at the end.
    std::string text = strDeviceCodeText(0x00, 0b00110010, 0x80, 7);
    EXPECT_NE(text.find("4-"), std::string::npos) << text;
    EXPECT_NE(text.find("2\n\nSupport UASP : Yes \n\nEnable UASP : Yes \n"), std::string::npos) << text;
    // Bits 5 and 4 clear: "1-" whatever bit 6 says; the low nibble 5 closes the code.
    text = strDeviceCodeText(0x04, 0b01000101, 0x00, 7);
    EXPECT_NE(text.find("1-"), std::string::npos) << text;
    EXPECT_NE(text.find("5\n\nSupport UASP : No \n\nEnable UASP : No \n"), std::string::npos) << text;
    // No UASP: bits 5, 4 clear, bit 1 of the variant and bit 1 of the features set.
    EXPECT_NE(strDeviceCodeText(0x02, 0x02, 0, 1).find("Support UASP : No"), std::string::npos);
    EXPECT_NE(strDeviceCodeText(0x02, 0x12, 0, 1).find("Support UASP : Yes"), std::string::npos);
    // The same seed gives the same code.
    EXPECT_EQ(strDeviceCodeText(0, 0x30, 0, 42), strDeviceCodeText(0, 0x30, 0, 42));
}

TEST(DebugTexts, USBModeByChipId)
{
    EXPECT_EQ(strUSBModeText("7951"), "USB Mode: Legacy");
    EXPECT_EQ(strUSBModeText("7956"), "USB Mode: Tunnel");
    EXPECT_EQ(strUSBModeText("6837"), "");
}

TEST_F(DebugAccess, ReadsAndWritesRegistersOfTheChosenBridge)
{
    Poke(2, 0x9100, 0x5C);
    DebugAnswer answer = ReadRegister(Target(1), 0x9100, 1);
    EXPECT_EQ(answer.result, kCommandSuccess);
    EXPECT_EQ(answer.text, "5C");
    EXPECT_TRUE(answer.message.empty());

    answer = WriteRegister(Target(1), 0xC000, 0xA7);
    EXPECT_EQ(answer.result, kCommandSuccess);
    EXPECT_EQ(Bridge(2).ReadRegister(0xC000), 0xA7);
    EXPECT_NE(Bridge(1).ReadRegister(0xC000), 0xA7);  // only the chosen bridge
    EXPECT_EQ(ReadRegister(Target(1), 0xBFFF, 3).text.substr(3, 2), "A7");
}

TEST_F(DebugAccess, LengthZeroShowsNothingAndAboveTheLimitFails)
{
    const int before = m_Station.m_Opens;
    DebugAnswer answer = ReadRegister(Target(0), 0x9100, 0);
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(answer.message, "");
    EXPECT_EQ(m_Station.m_Opens, before);  // nothing touched

    answer = ReadRegister(Target(0), 0x0, 257);
    EXPECT_EQ(answer.result, kCommandInvalidArgument);
    EXPECT_EQ(answer.message, "Access Device is Failed ! (-10)");
    EXPECT_EQ(answer.text, "");
}

TEST_F(DebugAccess, AFailedReadIsShownWithItsResult)
{
    Fault(1, 0xE4, emu::FaultMode::CheckCondition, 1);
    const DebugAnswer answer = ReadRegister(Target(0), 0x9100, 1);
    EXPECT_NE(answer.result, kCommandSuccess);
    EXPECT_EQ(answer.message, "Access Device is Failed ! (" + std::to_string(answer.result) + ")");
}

TEST_F(DebugAccess, ADeviceThatDoesNotOpenSaysSo)
{
    m_List.Devs[0].m_ucPhysicalAddress = 99;
    EXPECT_EQ(ReadRegister(Target(0), 0x9100, 1).message, "OpenDev Fail");
    EXPECT_EQ(WriteRegister(Target(0), 0x9100, 1).message, "OpenDev Fail");
}

TEST_F(DebugAccess, TablesOfTheChosenImageAsEightLinesOfSixteen)
{
    for (uint8_t type : {kConfigTypeTable, kConfigTypeU4Block})
        for (uint8_t image : {0, 1}) {
            const DebugAnswer answer = ReadConfigArea(Target(2, image), type);
            const auto table = Bridge(3).ConfigTable(image, type);
            EXPECT_EQ(answer.result, kCommandSuccess);
            EXPECT_EQ(answer.text, strHexLines(table.data(), table.size()));
            EXPECT_EQ(std::count(answer.text.begin(), answer.text.end(), '\n'), 8);
        }
}

TEST_F(DebugAccess, AFailedTableReadShowsTheFillerAndSaysItFailed)
{
    Fault(1, 0xE0, emu::FaultMode::CheckCondition, 100);
    const DebugAnswer answer = ReadConfigArea(Target(0), kConfigTypeTable);
    EXPECT_NE(answer.result, kCommandSuccess);
    std::vector<uint8_t> filler(CONFIG_BIN_SIZE, 0xFF);
    EXPECT_EQ(answer.text, strHexLines(filler.data(), filler.size()));
    EXPECT_FALSE(answer.message.empty());
}

TEST_F(DebugAccess, U4InfoShowsTheUUIDAndTheRecoveryCount)
{
    Poke(1, 0x2601A, 9);
    DebugAnswer answer = U4Info(Target(0));
    EXPECT_EQ(answer.message,
              "U4 info\r\n UUID: " + strU4UUID(m_List.Devs[0].U4ConfigImage) + "\r\n ErrRecovCnt: 9");
    Fault(1, 0xE4, emu::FaultMode::CheckCondition, 100);
    answer = U4Info(Target(0));
    EXPECT_NE(answer.message.find("ErrRecovCnt: 0"), std::string::npos) << answer.message;
}

TEST_F(DebugAccess, DeviceInfoReadsTheTableTheChipAndTheRegisters)
{
    const auto table = Bridge(1).ConfigTable(0, 0);
    const DeviceInfoView view = ReadDeviceInfo(Target(0), 3);
    EXPECT_EQ(view.row, ConfigSettingRow(table[125], table[122]));
    EXPECT_EQ(view.usbMode, strUSBModeText(Bridge(1).ChipId()));
    const emu::Bridge bridge = Bridge(1);
    EXPECT_EQ(view.deviceCode,
              strDeviceCodeText(bridge.ReadRegister(0xC890), bridge.ReadRegister(0xC8FF), bridge.ReadRegister(0x9000), 3));
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(DebugAccess, DeviceInfoNamesTheRegisterThatFailed)
{
    Fault(1, 0xE4, emu::FaultMode::CheckCondition, 100);
    const DeviceInfoView view = ReadDeviceInfo(Target(0), 3);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].rfind("Access Device is Failed ! (", 0), 0u) << view.messages[0];
    EXPECT_TRUE(view.deviceCode.empty());
}

TEST_F(DebugAccess, APcieRecordGoesOverThePciePath)
{
    const uint8_t record = ListOverPcie(2);
    ASSERT_EQ(m_List.Devs[record].IsPcie, 1);
    Poke(2, 0x9100, 0x3D);
    EXPECT_EQ(ReadRegister(Target(record), 0x9100, 1).text, "3D");
    EXPECT_EQ(WriteRegister(Target(record), 0xC001, 0x11).result, kCommandSuccess);
    EXPECT_EQ(Bridge(2).ReadRegister(0xC001), 0x11);
    const auto table = Bridge(2).ConfigTable(1, 1);
    EXPECT_EQ(ReadConfigArea(Target(record, 1), kConfigTypeU4Block).text, strHexLines(table.data(), table.size()));
}

}  // namespace
