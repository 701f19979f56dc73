// The TI update sequence against the emulated TI controller: command blocks,
// rows and the flashed regions.
#include <gtest/gtest.h>

#include <fstream>

#include "emu/Bridge.h"
#include "emu/TiPdController.h"
#include "pd/TIUpdate.h"
#include "platform/emu/EmuStation.h"
#include "tests/common/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TIUpdate : public ::testing::Test {
protected:
    TIUpdate() : m_Emu(m_Folder.Path() / "station"), m_Ti(m_Emu) {}
    std::string WriteImage(size_t size)
    {
        m_Image.resize(size);
        for (size_t i = 0; i < size; ++i) m_Image[i] = static_cast<char>(i * 3 + 0x40);
        const auto path = (m_Folder.Path() / "ti.bin").string();
        std::ofstream(path, std::ios::binary) << m_Image;
        return path;
    }

    testsupport::FakeClockScope m_Clock;
    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Emu;
    pd::CTIPDUpdate m_Ti;
    std::string m_Image;
    std::vector<std::string> m_Boxes;
};

TEST_F(TIUpdate, BothRegionsTakeTheImageAndTheVersionFollows)
{
    const auto path = WriteImage(5000);  // two 4 KiB sectors, 79 rows, the last one 8 bytes
    ASSERT_EQ(m_Ti.iTI_PD_FWUpdate(1, path, [&](const std::string& text) { m_Boxes.push_back(text); }), 0);
    EXPECT_EQ(m_Ti.m_strVersionBefore, "01000000");
    EXPECT_EQ(m_Ti.m_strVersionAfter, "40434649");
    EXPECT_EQ(m_Boxes.front(), "num of 4k sectors:2");
    const emu::TiPdController ti(m_Emu.World().BridgeFolder(1));
    for (int region : {1, 2}) {
        const std::string flash = ti.Region(region, 8192);
        EXPECT_TRUE(flash.substr(0, 5000) == m_Image) << region;
        EXPECT_EQ(flash.substr(5000), std::string(8192 - 5000, '\xFF'));
    }
    // The blocks as the controller got them.
    const auto journal = m_Emu.Journal();
    std::vector<platform::EmuRequest> rows;
    for (const auto& r : journal)
        if (r.cdb.size() == 8 && r.cdb[1] == 6) rows.push_back(r);
    ASSERT_EQ(rows.size(), 2u * 79u);
    EXPECT_EQ(rows[78].cdb, (Bytes{0xED, 6, 78, 0, 79, 0, 0, 0}));
    EXPECT_EQ(rows[78].dataOut.size(), 64u);
    EXPECT_EQ(rows[78].dataOut[7], static_cast<uint8_t>(m_Image[4999]));
    EXPECT_EQ(rows[78].dataOut[8], 0xFF);
    bool sawErase = false;
    for (const auto& r : journal) sawErase |= r.cdb == Bytes{0xED, 4, 2, 2, 0, 0, 0, 0};
    EXPECT_TRUE(sawErase);
    EXPECT_EQ(journal.back().cdb, (Bytes{0xED, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(journal.back().dataTransferLength, 20u);
}

TEST_F(TIUpdate, AFailingStepStopsTheSequence)
{
    const auto path = WriteImage(300);
    // The first 0xED request (the version read) fails.
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.SetFault(0xED, emu::FaultMode::CheckCondition, 1); });
    EXPECT_EQ(m_Ti.iTI_PD_FWUpdate(1, path, [](const std::string&) {}), -1);
    EXPECT_EQ(m_Emu.Journal().size(), 1u);  // nothing after the failed version read
    EXPECT_EQ(m_Ti.iTI_PD_FWUpdate(1, (m_Folder.Path() / "none.bin").string(), [](const std::string&) {}), -10);
}

}  // namespace
