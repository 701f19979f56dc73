#include "engine/ResultTable.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RecordingObserver.h"
#include "engine/StepResults.h"

using namespace engine;
using enginetest::RecordingObserver;

namespace {

constexpr CellColours kGreen{{0, 200, 0}, {255, 255, 255}};
constexpr CellColours kRed{{255, 0, 0}, {255, 255, 255}};
constexpr CellColours kBlue{{0, 0, 255}, {255, 255, 255}};
constexpr CellColours kOrange{{255, 165, 0}, {255, 255, 255}};
constexpr CellColours kPurple{{180, 0, 180}, {255, 255, 255}};
constexpr CellColours kPlain{{255, 255, 255}, {0, 0, 0}};

// A present bridge as discovery leaves it.
DeviceInfo Bridge(uint8_t index, const std::string& speed, uint8_t u4Mode, uint8_t u4Speed = 255)
{
    DeviceInfo d;
    d.m_ucDevIdx = index;
    d.m_strUsbConnectionStatus = speed;
    d.m_strVID = "1D6B";
    d.m_strPID = "7951";
    d.m_strSerialNumber = "000000000042";
    d.m_strFWVersion = "0102a3840506";
    d.m_ucCCOrientation = 0;
    d.m_ucU4Mode = u4Mode;
    d.m_ucLinkSpeed = u4Speed;
    d.m_iDiskSizeLow = 0;  // 512 GiB
    d.m_iDiskSizeHigh = 0x80;
    return d;
}

int32_t Low(uint64_t bytes) { return static_cast<int32_t>(static_cast<uint32_t>(bytes)); }
int32_t High(uint64_t bytes) { return static_cast<int32_t>(static_cast<uint32_t>(bytes >> 32)); }

class ResultTableTest : public ::testing::Test {
protected:
    RecordingObserver observer;
    CResultTable table{&observer};
    DeviceList list;
};

}  // namespace

TEST(ResultColumns, TitlesAndWidths)
{
    const std::vector<std::pair<std::string, int>> expected{
        {"Port#", 45},     {"Status", 80},   {"VID", 48},       {"PID", 48},     {"Serial Number", 154},
        {"FW Version", 112}, {"CC", 32},     {"U4 Mode", 100},  {"Capacity", 70}, {"Update", 74},
        {"ReLink", 74},    {"Partition", 110}, {"R/W Test", 70}, {"Preload", 70}, {"PD", 65},
        {"", 60},          {"", 60},         {"", 60},          {"", 60}};
    ASSERT_EQ(kResultColumns.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(kResultColumns[i].title, expected[i].first) << "column " << i;
        EXPECT_EQ(kResultColumns[i].width, expected[i].second) << "column " << i;
    }
}

TEST(CellColours, ModeTable)
{
    EXPECT_EQ(CellColoursFor(1, "anything"), kGreen);
    EXPECT_EQ(CellColoursFor(2, "anything"), kRed);
    EXPECT_EQ(CellColoursFor(3, "x"), kBlue);
    EXPECT_EQ(CellColoursFor(4, "x"), kOrange);
    EXPECT_EQ(CellColoursFor(5, "x"), kPurple);
    EXPECT_EQ(CellColoursFor(6, "x"), kPlain);
    EXPECT_EQ(CellColoursFor(0, "x"), kPlain);
    EXPECT_EQ(CellColoursFor(7, "x"), kPlain);
}

TEST(CellColours, PassTextIsGreenWhateverTheMode)
{
    for (int mode : {0, 2, 3, 4, 5, 6, 99})
        for (const char* text : {"PASS", "pass", "Pass", "pAsS"}) EXPECT_EQ(CellColoursFor(mode, text), kGreen);
}

TEST(CellColours, FailTextIsRedUnlessModeOne)
{
    for (int mode : {0, 3, 4, 5, 6}) {
        EXPECT_EQ(CellColoursFor(mode, "FAIL"), kRed);
        EXPECT_EQ(CellColoursFor(mode, "fail"), kRed);
    }
    EXPECT_EQ(CellColoursFor(1, "FAIL"), kGreen);
    // Only whole words count.
    EXPECT_EQ(CellColoursFor(6, "PASSED"), kPlain);
    EXPECT_EQ(CellColoursFor(6, "FAIL "), kPlain);
}

TEST(IdentityTexts, Capacity)
{
    EXPECT_EQ(strCapacityText(Low(1024ull << 20), High(1024ull << 20)), "1024 MB");
    EXPECT_EQ(strCapacityText(Low(1025ull << 20), High(1025ull << 20)), "1 GB");
    EXPECT_EQ(strCapacityText(0, 0), "0 MB");
    EXPECT_EQ(strCapacityText(-1, -1), "");
    const uint64_t twoTB = 2000398934016ull;
    EXPECT_EQ(strCapacityText(Low(twoTB), High(twoTB)), "1863 GB");
    // 8 PiB: the MB figure no longer fits 32 bits.
    const uint64_t eightPiB = 8ull << 50;
    EXPECT_EQ(strCapacityText(Low(eightPiB), High(eightPiB)), "8388608 GB");
}

TEST(IdentityTexts, CCByte)
{
    EXPECT_EQ(strCCText(0), "1");
    EXPECT_EQ(strCCText(1), "2");
    EXPECT_EQ(strCCText(15), "10");
    EXPECT_EQ(strCCText(254), "ff");
    EXPECT_EQ(strCCText(255), "X");
}

TEST(IdentityTexts, ColourModeByLink)
{
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "HIGH", 255)), kModeOrange);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "SUPER", 255)), kModeBlue);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "SUPER x2", 255)), kModeBlue);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "PLUS", 0)), kModeBlue);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "HIGH", 1)), kModeBlue);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "HIGH", 3)), kModeBlue);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "SUPER", 2)), kModePurple);
    EXPECT_EQ(iIdentityColourMode(Bridge(0, "", 0)), kModeOrange);
}

TEST_F(ResultTableTest, SetUpWritesRowNumbers)
{
    table.vUpdateMainResultItemTable(3, kColVID, "old", kModeBlue);
    table.vSetMainResultItemTable();
    for (int row = 0; row < kResultRows; ++row) {
        EXPECT_EQ(table.GetCell(row, kColPort).text, std::to_string(row));
        for (int column = 1; column < kResultColumnCount; ++column)
            EXPECT_EQ(table.GetCell(row, column).text, "") << row << "," << column;
    }
    EXPECT_EQ(observer.LastCell(15, 0)->text, "15");
}

TEST_F(ResultTableTest, CellUpdateStoresAndNotifies)
{
    table.vUpdateMainResultItemTable(2, kColUpdate, "pass", kModePlain);
    const auto call = observer.LastCell(2, kColUpdate);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->text, "pass");
    EXPECT_EQ(call->colourMode, kModePlain);
    EXPECT_EQ(call->colours, kGreen);
    EXPECT_EQ(table.GetCell(2, kColUpdate).text, "pass");
}

TEST_F(ResultTableTest, OutOfRangeCellsAreIgnored)
{
    table.vUpdateMainResultItemTable(-1, 0, "x", 1);
    table.vUpdateMainResultItemTable(16, 0, "x", 1);
    table.vUpdateMainResultItemTable(0, -1, "x", 1);
    table.vUpdateMainResultItemTable(0, 19, "x", 1);
    EXPECT_TRUE(observer.cells.empty());
    EXPECT_EQ(table.GetCell(16, 0).text, "");
}

TEST_F(ResultTableTest, RefreshOfAUsb2Device)
{
    list.Devs[0] = Bridge(0, "HIGH", 255);
    list.DevNums = 1;
    table.vUpdateMainResultSubItemTable(list, 0);
    EXPECT_EQ(table.GetCell(0, kColStatus).text, "HIGH");
    EXPECT_EQ(observer.LastCell(0, kColStatus)->colours, kOrange);
    EXPECT_EQ(table.GetCell(0, kColVID).text, "1D6B");
    EXPECT_EQ(table.GetCell(0, kColPID).text, "7951");
    EXPECT_EQ(table.GetCell(0, kColSerialNumber).text, "000000000042");
    EXPECT_EQ(table.GetCell(0, kColFWVersion).text, "0102a3840506");
    EXPECT_EQ(table.GetCell(0, kColCC).text, "1");
    EXPECT_EQ(table.GetCell(0, kColCC).colourMode, kModeOrange);
    EXPECT_EQ(table.GetCell(0, kColCapacity).text, "512 GB");
    EXPECT_EQ(table.GetCell(0, kColCapacity).colourMode, kModePlain);
    // Unknown U4 mode: the U4 mode column is not touched.
    EXPECT_FALSE(observer.LastCell(0, kColU4Mode));
    // Absent positions are not touched either.
    EXPECT_FALSE(observer.LastCell(1, kColStatus));
}

TEST_F(ResultTableTest, RefreshOfUsb4DevicesShowsTheU4Speed)
{
    list.Devs[0] = Bridge(0, "SUPER", 1, 7);  // TBT3
    list.Devs[1] = Bridge(1, "SUPER", 2, 4);  // PCIe tunnel
    list.Devs[2] = Bridge(2, "PLUS", 0, 6);   // legacy USB3 link
    list.Devs[3] = Bridge(3, "HIGH", 3, 9);   // U3 tunnel, unknown speed code
    list.DevNums = 4;
    table.vUpdateMainResultSubItemTable(list, 0);

    EXPECT_EQ(table.GetCell(0, kColStatus).text, "Gen3x2");
    EXPECT_EQ(table.GetCell(0, kColU4Mode).text, "TBT3");
    EXPECT_EQ(observer.LastCell(0, kColStatus)->colours, kBlue);
    EXPECT_EQ(observer.LastCell(0, kColVID)->colours, kBlue);
    EXPECT_EQ(list.Devs[0].m_strUsbConnectionStatus, "Gen3x2");

    EXPECT_EQ(table.GetCell(1, kColStatus).text, "Gen2x1");
    EXPECT_EQ(table.GetCell(1, kColU4Mode).text, "PCIE TNL");
    EXPECT_EQ(observer.LastCell(1, kColStatus)->colours, kPurple);
    EXPECT_EQ(observer.LastCell(1, kColCC)->colours, kPurple);

    EXPECT_EQ(table.GetCell(2, kColStatus).text, "PLUS");
    EXPECT_EQ(table.GetCell(2, kColU4Mode).text, "Legacy");
    EXPECT_EQ(observer.LastCell(2, kColU4Mode)->colours, kBlue);
    EXPECT_EQ(list.Devs[2].m_strUsbConnectionStatus, "PLUS");

    EXPECT_EQ(table.GetCell(3, kColStatus).text, "UNKNOW");
    EXPECT_EQ(table.GetCell(3, kColU4Mode).text, "U3 TNL");
    EXPECT_EQ(observer.LastCell(3, kColStatus)->colours, kBlue);

    // A second refresh keeps the colours although the speed text changed.
    table.vUpdateMainResultSubItemTable(list, 0);
    EXPECT_EQ(observer.LastCell(0, kColStatus)->colours, kBlue);
    EXPECT_EQ(observer.LastCell(1, kColStatus)->colours, kPurple);
}

TEST_F(ResultTableTest, ClearingRefreshEmptiesStalePositionsAndSteps)
{
    list.Devs[0] = Bridge(0, "SUPER", 255);
    list.Devs[5] = Bridge(5, "HIGH", 255);
    list.DevNums = 2;
    table.vUpdateMainResultSubItemTable(list, 1);
    table.vUpdateMainResultItemTable(0, kColUpdate, PassText, kModePlain);
    table.vUpdateMainResultItemTable(5, kColPreload, FailText, kModePlain);
    table.vUpdateMainResultItemTable(5, kColPD, "pd", kModePlain);
    table.vShowAverageProgress(40);

    // Without clearing, a position that became empty keeps its texts.
    list.Devs[5] = DeviceInfo{};
    list.DevNums = 1;
    table.vUpdateMainResultSubItemTable(list, 0);
    EXPECT_EQ(table.GetCell(5, kColVID).text, "1D6B");
    EXPECT_EQ(table.GetCell(0, kColUpdate).text, PassText);

    table.vUpdateMainResultSubItemTable(list, 1);
    EXPECT_EQ(table.GetCell(5, kColVID).text, "");
    EXPECT_EQ(table.GetCell(5, kColPD).text, "");
    EXPECT_EQ(table.GetCell(5, kColPreload).text, "");
    EXPECT_EQ(table.GetCell(0, kColUpdate).text, "");
    EXPECT_EQ(table.GetCell(0, kColVID).text, "1D6B");
    EXPECT_EQ(table.GetCell(0, kColPort).text, "");  // column 0 is never touched by a refresh
    EXPECT_EQ(table.strProgressText(), "0%");
    EXPECT_EQ(observer.progressTexts.back(), "0%");
    EXPECT_EQ(observer.positions.back(), 0);
}

TEST_F(ResultTableTest, ClearingRefreshWithoutDevicesKeepsStepColumns)
{
    table.vUpdateMainResultItemTable(4, kColReLink, FailText, kModePlain);
    table.vUpdateMainResultItemTable(4, kColVID, "1D6B", kModeBlue);
    table.vUpdateMainResultSubItemTable(list, 1);
    EXPECT_EQ(table.GetCell(4, kColVID).text, "");
    EXPECT_EQ(table.GetCell(4, kColReLink).text, FailText);
}

TEST_F(ResultTableTest, StatusClearEmptiesOnlyStepColumns)
{
    for (int column = 1; column < kResultColumnCount; ++column)
        table.vUpdateMainResultItemTable(7, column, "t", kModeBlue);
    table.vClearMainResultSubItemStatusTable();
    for (int column = 1; column < kResultColumnCount; ++column) {
        const bool step = column >= kColUpdate && column <= kColPreload;
        EXPECT_EQ(table.GetCell(7, column).text, step ? "" : "t") << column;
        if (step) {
            EXPECT_EQ(table.GetCell(7, column).colourMode, kModePlain);
        }
    }
    table.vClearMainResultSubItemTable();
    for (int column : {1, 2, 3, 4, 5, 6, 7, 8, 14}) EXPECT_EQ(table.GetCell(7, column).text, "") << column;
    for (int column : {15, 16, 17, 18}) EXPECT_EQ(table.GetCell(7, column).text, "t") << column;
}

TEST_F(ResultTableTest, Counters)
{
    table.vCountDevice(true);
    table.vCountDevice(false);
    table.vCountDevice(true);
    EXPECT_EQ(observer.counters, (std::vector<enginetest::Counters>{{1, 0, 1}, {1, 1, 2}, {2, 1, 3}}));
    EXPECT_EQ(table.PassCount(), 2u);
    EXPECT_EQ(table.FailCount(), 1u);
    EXPECT_EQ(table.TotalCount(), 3u);
    table.vClearCount();
    EXPECT_EQ(observer.counters.back(), (enginetest::Counters{0, 0, 0}));
    EXPECT_EQ(table.TotalCount(), 0u);
}

TEST_F(ResultTableTest, ProgressActivityCyclesAndAverageText)
{
    table.vSetProgressPosition(99);
    EXPECT_EQ(table.iAdvanceProgressActivity(), 100);
    EXPECT_EQ(table.iAdvanceProgressActivity(), 0);
    EXPECT_EQ(table.iAdvanceProgressActivity(), 1);
    table.vSetProgressPosition(250);
    EXPECT_EQ(table.iGetProgressPosition(), 100);
    table.vSetProgressPosition(-3);
    EXPECT_EQ(table.iGetProgressPosition(), 0);

    table.vShowAverageProgress(7);
    EXPECT_EQ(observer.progressTexts.back(), "  7 %");
    table.vShowAverageProgress(100);
    EXPECT_EQ(observer.progressTexts.back(), "100 %");
    table.vResetProgress();
    EXPECT_EQ(observer.progressTexts.back(), "0%");
}

TEST_F(ResultTableTest, RunColoursAndIndicators)
{
    table.vSetRunStartBarColour("HIGH");
    table.vSetRunStartBarColour("super");
    table.vSetRunStartBarColour("PLUS");
    table.vSetRunStartBarColour("SUPER x2");  // not the plain word: orange
    EXPECT_EQ(observer.barColours, (std::vector<Rgb>{kBarRunning, kBarRunningUsb3, kBarRunningUsb3, kBarRunning}));
    EXPECT_EQ(kBarRunning, (Rgb{255, 165, 0}));
    EXPECT_EQ(kBarRunningUsb3, (Rgb{0, 0, 255}));

    observer.Clear();
    table.vHideResultIndicators();
    table.vShowRunResult(kRunPass);
    table.vShowRunResult(kRunFail);
    EXPECT_EQ(observer.indicators,
              (std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {false, true}}));
    EXPECT_EQ(observer.barColours, (std::vector<Rgb>{{0, 255, 0}, {255, 0, 0}}));
}

TEST_F(ResultTableTest, WorkersWriteTheirRowsConcurrently)
{
    std::vector<std::jthread> workers;
    for (int row = 0; row < kResultRows; ++row)
        workers.emplace_back([this, row] {
            for (int step = 0; step < 50; ++step)
                table.vUpdateMainResultItemTable(row, kColUpdate + step % 5, step % 2 ? PassText : FailText,
                                                 kModePlain);
        });
    workers.clear();
    EXPECT_EQ(observer.cells.size(), 16u * 50u);
    for (int row = 0; row < kResultRows; ++row) EXPECT_EQ(table.GetCell(row, kColPreload).text, PassText);
}
