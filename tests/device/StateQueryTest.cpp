// State queries against register values set in the emulated bridge.
#include <gtest/gtest.h>

#include "StationFixture.h"

namespace {

class StateQueries : public testsupport::EmulatedStationTest {
protected:
    void SetRegister(uint32_t address, uint8_t value)
    {
        m_Emu.ModifyBridge(1, [&](emu::Bridge& b) { b.WriteRegister(address, value); });
    }
    void SetUp() override { m_Handle = OpenDisk(1); }
    void TearDown() override { m_Station.CloseHandle(m_Handle); }
    HANDLE m_Handle = nullptr;
};

TEST_F(StateQueries, DeviceTypeNameRevisionAndChipTypeFromC8FF)
{
    SetRegister(0xC8FF, 0x35);
    DeviceInfo record;
    EXPECT_EQ(m_Dev.ucGet7951DeviceType(m_Handle, record), 8);
    EXPECT_EQ(record.m_ucDevType, 8);
    EXPECT_EQ(record.m_strDevTypeName, "795D");
    EXPECT_EQ(record.m_strChipRevision, "5");
    EXPECT_EQ(m_Dev.strGet7951ChipType(m_Handle), "011");
    EXPECT_EQ(m_Dev.ucGet7951ChipVariant(m_Handle), 3);
    SetRegister(0xC8FF, 0x10);
    EXPECT_EQ(m_Dev.strGet7951ChipType(m_Handle), "001_B0");
    SetRegister(0xC8FF, 0x11);
    EXPECT_EQ(m_Dev.strGet7951ChipType(m_Handle), "001");
    SetRegister(0xC8FF, 0x00);
    EXPECT_EQ(m_Dev.strGet7951ChipType(m_Handle), "00");
    SetRegister(0xC8FF, 0x7A);
    EXPECT_EQ(m_Dev.ucGet7951DeviceType(m_Handle, record), 8);
    EXPECT_EQ(record.m_strDevTypeName, "795H");
    EXPECT_EQ(record.m_strChipRevision, "a");
}

TEST_F(StateQueries, TunnelChipIsNotDefined)
{
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::Usb3Tunnel); });
    DeviceInfo record;
    EXPECT_EQ(m_Dev.ucGet7951DeviceType(m_Handle, record), 255);
    EXPECT_EQ(record.m_strDevTypeName, "Not Defined");
    EXPECT_EQ(record.m_strChipRevision, "0");
}

TEST_F(StateQueries, U4ModeFromLinkAndTunnelRegisters)
{
    const struct {
        uint8_t link, tunnel, mode;
    } cases[] = {{0x06, 0x80, 3}, {0x02, 0x00, 1}, {0x02, 0x80, 2}, {0x04, 0x80, 0}, {0x00, 0x00, 0}};
    for (const auto& c : cases) {
        SetRegister(0x20000, c.link);
        SetRegister(0x22805, c.tunnel);
        EXPECT_EQ(m_Dev.ucGet7951U4Mode(m_Handle), c.mode) << int(c.link) << "/" << int(c.tunnel);
    }
    EXPECT_STREQ(U4ModeText(2), "PCIE TNL");
    EXPECT_STREQ(U4ModeText(255), "UNKNOW");
}

TEST_F(StateQueries, U4Speed)
{
    const struct {
        uint8_t a, c, d, e, speed;
    } cases[] = {{0x10, 0, 0, 0, 6}, {0x00, 0, 0, 0, 4}, {0x10, 1, 2, 2, 7}, {0x00, 1, 2, 2, 5}, {0x10, 1, 2, 1, 6},
                 {0x00, 1, 3, 2, 4}};
    for (const auto& c : cases) {
        SetRegister(0x22865, c.a);
        SetRegister(0x22871, c.c);
        SetRegister(0x228A0, c.d);
        SetRegister(0x228A1, c.e);
        EXPECT_EQ(m_Dev.ucGet7951U4Speed(m_Handle), c.speed);
    }
}

TEST_F(StateQueries, UsbConnectionTextAndSpeedCode)
{
    SetRegister(0x9100, 2);
    SetRegister(0x92F8, 0x14);
    const int64_t start = m_Clock.Now();
    EXPECT_EQ(m_Dev.vGet7951UsbConnectionStatus(m_Handle), "PLUSx2");
    EXPECT_EQ(m_Clock.Now() - start, 500);
    EXPECT_EQ(ucUsb3SpeedFromStatus("PLUSx2"), 5);
    SetRegister(0x92F8, 0x00);
    EXPECT_EQ(m_Dev.vGet7951UsbConnectionStatus(m_Handle), "SUPERx1");
    EXPECT_EQ(ucUsb3SpeedFromStatus("SUPERx1"), 2);
    SetRegister(0x9100, 1);
    EXPECT_EQ(m_Dev.vGet7951UsbConnectionStatus(m_Handle), "HIGH");
    SetRegister(0x9100, 7);
    EXPECT_EQ(m_Dev.vGet7951UsbConnectionStatus(m_Handle), "");
    EXPECT_EQ(ucUsb3SpeedFromStatus(""), 255);
    EXPECT_EQ(ucUsb3SpeedFromStatus("SUPERx2"), 3);
    EXPECT_EQ(ucUsb3SpeedFromStatus("FULL"), 0);
}

TEST_F(StateQueries, UasCcAndUnknownOnFailure)
{
    SetRegister(0x9000, 0x80);
    EXPECT_EQ(m_Dev.ucGet7951USBMode(m_Handle, 8), 1);
    EXPECT_EQ(m_Dev.ucGet7951USBMode(m_Handle, 7), 0);  // type 7 compares with 1
    SetRegister(0x9000, 0x01);
    EXPECT_EQ(m_Dev.ucGet7951USBMode(m_Handle, 7), 1);
    SetRegister(0xC6DB, 0x03);
    EXPECT_EQ(m_Dev.nGet7951CCOrientation(m_Handle), 1);
    EXPECT_EQ(m_Dev.nGet7951CCOrientation(nullptr), 255);
    EXPECT_EQ(m_Dev.strGet7951FWVersion(m_Handle), "240612000105");
    Fault(1, 0xE4, emu::FaultMode::CheckCondition, 4);
    EXPECT_EQ(m_Dev.ucGet7951USBMode(m_Handle, 8), 255);
    EXPECT_EQ(m_Dev.ucGet7951U4Mode(m_Handle), 255);
    EXPECT_EQ(m_Dev.strGet7951ChipType(m_Handle), "0");
    EXPECT_EQ(m_Dev.strGet7951FWVersion(m_Handle), "");
}

}  // namespace
