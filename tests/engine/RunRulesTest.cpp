#include "engine/RunRules.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "../common/TestSupport.h"
#include "RecordingObserver.h"
#include "util/USBUtility.h"

using namespace engine;
using enginetest::RecordingObserver;

namespace {

IniSettings ReloadSettings(uint8_t reload, uint8_t update, uint32_t u4Mode)
{
    IniSettings s = DefaultIniSettings();
    s.fw_reload = reload;
    s.fw_enable = update;
    s.USB4_U4Mode = u4Mode;
    return s;
}

// A device list of bridges with these FW version texts; PCIe entries are simply
// the entries after the first `usb`.
DeviceList Bridges(std::initializer_list<std::string> fwVersions, uint32_t usb)
{
    DeviceList list;
    uint8_t i = 0;
    for (const std::string& fw : fwVersions) {
        list.Devs[i].m_ucDevIdx = i;
        list.Devs[i].m_strFWVersion = fw;
        list.Devs[i].m_strSerialNumber = "00000000000" + std::to_string(i + 1);
        ++i;
    }
    list.DevNums = usb;
    return list;
}

const std::string kImage82 = "/opt/fw/BR_USB4_7951PD_82.bin";
const std::string kImage80 = "/opt/fw/BR_USB4_7951PD_80.bin";
const std::string kImage02 = "/opt/fw/BR_USB4_7951PD_02.bin";
const std::string kImage00 = "/opt/fw/BR_USB4_7951PD_00.bin";

}  // namespace

TEST(ReloadRule, SwitchedOffIsAlwaysAccepted)
{
    for (uint32_t mode = 0; mode < 4; ++mode) {
        EXPECT_TRUE(CheckReloadAvailable(ReloadSettings(0, 0, mode), 3, 2).bAccepted);
        EXPECT_TRUE(CheckReloadAvailable(ReloadSettings(0, 1, mode), 3, 2).bAccepted);
    }
}

TEST(ReloadRule, NeedsFirmwareUpdateEvenWithoutDevices)
{
    const RuleVerdict v = CheckReloadAvailable(ReloadSettings(1, 0, 1), 0, 0);
    EXPECT_FALSE(v.bAccepted);
    EXPECT_EQ(v.strMessage, "Cannot reload without FW update");
}

TEST(ReloadRule, TruthTableOfDeviceMixAndUSB4Mode)
{
    struct Row {
        uint32_t usb, pcie, mode;
        const char* refusal;  // null: accepted
    };
    const Row rows[] = {
        {0, 0, 0, nullptr}, {0, 0, 1, nullptr}, {0, 0, 2, nullptr}, {0, 0, 3, nullptr},
        {2, 0, 0, kMsgReloadUsbU4Mode}, {2, 0, 1, nullptr}, {2, 0, 2, nullptr}, {2, 0, 3, kMsgReloadUsbU4Mode},
        {0, 1, 0, nullptr}, {0, 1, 1, kMsgReloadPcieU4Mode}, {0, 1, 2, kMsgReloadPcieU4Mode}, {0, 1, 3, nullptr},
        {1, 1, 0, kMsgReloadMixedDevices}, {1, 1, 1, kMsgReloadMixedDevices}, {1, 1, 2, kMsgReloadMixedDevices},
        {1, 1, 3, kMsgReloadMixedDevices},
    };
    for (const Row& r : rows) {
        const RuleVerdict v = CheckReloadAvailable(ReloadSettings(1, 1, r.mode), r.usb, r.pcie);
        SCOPED_TRACE(testing::Message() << "usb " << r.usb << " pcie " << r.pcie << " mode " << r.mode);
        EXPECT_EQ(v.bAccepted, r.refusal == nullptr);
        EXPECT_EQ(v.strMessage, r.refusal ? r.refusal : "");
    }
}

TEST(ReloadRule, MessageTexts)
{
    EXPECT_STREQ(kMsgReloadMixedDevices, "Cannot reload with USB & PCIE device in the same time");
    EXPECT_STREQ(kMsgReloadUsbU4Mode, "Cannot reload with USB4 setting:\r\n0:PD+PCIe or\r\n3:auto");
    EXPECT_STREQ(kMsgReloadPcieU4Mode, "Cannot reload with USB4 setting:\r\n1:PD+PCIe+Legacy or\r\n2:PD+U3+Legacy");
}

TEST(ReloadRule, RefusalIsShownAsInformation)
{
    RecordingObserver observer;
    EXPECT_FALSE(bIsReloadAvailable(ReloadSettings(1, 0, 1), 1, 0, &observer, true));
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_EQ(observer.messages[0].first, "Cannot reload without FW update");
    EXPECT_EQ(observer.messages[0].second, kMsgInformation);

    EXPECT_TRUE(bIsReloadAvailable(ReloadSettings(1, 1, 1), 1, 0, &observer, true));
    EXPECT_EQ(observer.messages.size(), 1u);
}

TEST(ReloadRule, CommandLineRefusalGoesToTheMessageFile)
{
    testsupport::FakeClockScope clock;
    testsupport::TempFolder folder;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder.Path().c_str()), 0);
    RecordingObserver observer;
    const bool accepted = bIsReloadAvailable(ReloadSettings(1, 1, 3), 2, 0, &observer, false);
    ASSERT_EQ(chdir(previous), 0);

    EXPECT_FALSE(accepted);
    EXPECT_TRUE(observer.messages.empty());
    std::ifstream file(folder.Path() / "ProgramMSG.txt", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), std::string(kMsgReloadUsbU4Mode) + "\r\n");
}

TEST(PDTypeRule, PDByteOfTheFirmwarePath)
{
    EXPECT_EQ(ucPDByteFromFWPath(kImage82), 0x82);
    // The last occurrence counts.
    EXPECT_EQ(ucPDByteFromFWPath("/BR_USB4_7951PD_80/BR_USB4_7951PD_02.bin"), 0x02);
    EXPECT_EQ(ucPDByteFromFWPath("/fw/BR_USB4BR_USB4_7951PD_c2.bin"), 0xC2);
    // Without the tag the path's own characters 15 and 16 are read.
    EXPECT_EQ(ucPDByteFromFWPath("/opt/firmware/x80abc.bin"), 0x80);
    // Too short or not hexadecimal: what converts, else 0.
    EXPECT_EQ(ucPDByteFromFWPath("BR_USB4_7951PD_"), 0);
    EXPECT_EQ(ucPDByteFromFWPath("BR_USB4_7951PD_8"), 0x08);
    EXPECT_EQ(ucPDByteFromFWPath("BR_USB4_7951PD_zz.bin"), 0);
    EXPECT_EQ(ucPDByteFromFWPath("BR_USB4_7951PD_8z.bin"), 0x08);
    EXPECT_EQ(ucPDByteFromFWPath(""), 0);
}

TEST(PDTypeRule, PDByteOfTheFWVersion)
{
    EXPECT_EQ(ucPDByteFromFWVersion("0102a3840506"), 0x84);
    EXPECT_EQ(ucPDByteFromFWVersion("000000820000"), 0x82);
    EXPECT_EQ(ucPDByteFromFWVersion("0000008"), 0x08);
    EXPECT_EQ(ucPDByteFromFWVersion(""), 0);
}

TEST(PDTypeRule, ImageWithPDAndExternalMatchesOnlySuchDevices)
{
    EXPECT_TRUE(CheckFWmatchPDtype(kImage82, Bridges({"000000820000", "000000860000", "000000ff0000"}, 3), 0)
                    .bAccepted);
    EXPECT_FALSE(CheckFWmatchPDtype(kImage82, Bridges({"000000820000", "000000800000"}, 2), 0).bAccepted);
    EXPECT_FALSE(CheckFWmatchPDtype(kImage82, Bridges({"000000020000"}, 1), 0).bAccepted);
}

TEST(PDTypeRule, TruthTableOfImageAndDeviceBits)
{
    const struct {
        std::string image;
        const char* device;
        bool match;
    } rows[] = {
        {kImage82, "000000820000", true},  {kImage82, "000000800000", false}, {kImage82, "000000020000", false},
        {kImage82, "000000000000", false}, {kImage80, "000000800000", true},  {kImage80, "000000820000", false},
        {kImage02, "000000020000", true},  {kImage02, "000000820000", false}, {kImage02, "000000000000", false},
        {kImage00, "000000000000", true},  {kImage00, "000000020000", false}, {kImage00, "000000800000", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(CheckFWmatchPDtype(r.image, Bridges({r.device}, 1), 0).bAccepted, r.match)
            << r.image << " / " << r.device;
}

TEST(PDTypeRule, NoDeviceAndBlankSerialNumbersPass)
{
    EXPECT_TRUE(CheckFWmatchPDtype(kImage82, DeviceList{}, 0).bAccepted);
    DeviceList list = Bridges({"000000820000", "000000000000"}, 2);
    list.Devs[1].m_strSerialNumber = kBlankSerialNumber;
    EXPECT_TRUE(CheckFWmatchPDtype(kImage82, list, 0).bAccepted);
    const PdTypeCounts counts = CountPdTypes(kImage82, list, 0);
    EXPECT_EQ(counts.iPDCount + counts.iPDXCount, 1);
}

TEST(PDTypeRule, PcieBridgesFollowTheUsbDevices)
{
    // One USB device and one PCIe bridge; the PCIe one has the other build.
    const DeviceList list = Bridges({"000000820000", "000000000000"}, 1);
    EXPECT_TRUE(CheckFWmatchPDtype(kImage82, list, 0).bAccepted);
    const RuleVerdict v = CheckFWmatchPDtype(kImage82, list, 1);
    EXPECT_FALSE(v.bAccepted);
    EXPECT_EQ(v.strMessage,
              "please check the FW and device PD type\r\nBin PD mode:1, PD cnt:1, PDX cnt:1\r\n Bin ext PD:1, "
              "internal PD cnt:1, external PD cnt:1");
}

TEST(PDTypeRule, CountsNeverReadPastTheList)
{
    DeviceList list;
    for (auto& d : list.Devs) d.m_strFWVersion = "000000820000";
    list.DevNums = 16;
    const PdTypeCounts counts = CountPdTypes(kImage82, list, 4);
    EXPECT_EQ(counts.iPDCount, 16);
    EXPECT_EQ(counts.iExternalCount, 16);
}

TEST(PDTypeRule, RefusalIsShownAsInformation)
{
    RecordingObserver observer;
    EXPECT_FALSE(bIsFWmatchPDtype(kImage00, Bridges({"000000820000"}, 1), 0, &observer, true));
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_EQ(observer.messages[0].second, kMsgInformation);
    EXPECT_EQ(observer.messages[0].first,
              "please check the FW and device PD type\r\nBin PD mode:0, PD cnt:1, PDX cnt:0\r\n Bin ext PD:0, "
              "internal PD cnt:0, external PD cnt:1");
}
