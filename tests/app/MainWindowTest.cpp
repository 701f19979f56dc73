// The main window driven by mouse on an emulated station: whole runs from the
// Start button, the result list's texts and colours, the status elements.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "WindowFixture.h"
#include "engine/ResultTable.h"
#include "widgets/ColourStatic.h"
#include "widgets/ListCtrlEx.h"
#include "widgets/TextProgressCtrl.h"

namespace {

using apptest::WindowTest;

const QColor kGreen(0, 200, 0);
const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);

TEST_F(WindowTest, ListHasTheNineteenColumnsWithTheirTitlesAndWidths)
{
    auto& window = Open(1, Settings());
    const auto* list = window.ResultList();
    ASSERT_EQ(list->columnCount(), engine::kResultColumnCount);
    ASSERT_EQ(list->rowCount(), engine::kResultRows);
    EXPECT_EQ(list->horizontalHeaderItem(engine::kColPort)->text(), "Port#");
    EXPECT_EQ(list->columnWidth(engine::kColPort), 45);
    EXPECT_EQ(list->horizontalHeaderItem(engine::kColSerialNumber)->text(), "Serial Number");
    EXPECT_EQ(list->columnWidth(engine::kColSerialNumber), 154);
    EXPECT_EQ(list->horizontalHeaderItem(engine::kColPartition)->text(), "Partition");
    EXPECT_EQ(list->columnWidth(engine::kColPartition), 110);
    EXPECT_EQ(list->columnWidth(18), 60);
    EXPECT_EQ(list->CellText(15, engine::kColPort), "15");
    // The scan filled the bridge's identity in its row, as the engine's table holds it.
    const auto state = window.Engine()->Snapshot();
    ASSERT_FALSE(state->table.cells[0][engine::kColFWVersion].text.empty());
    EXPECT_TRUE(apptest::WaitFor([&] {
        return list->CellText(0, engine::kColFWVersion).toStdString() == state->table.cells[0][engine::kColFWVersion].text;
    }));
    EXPECT_FALSE(list->CellText(0, engine::kColVID).isEmpty());
    // The title in red, the indicators hidden until a run ends.
    EXPECT_EQ(window.TitleStatic()->text(), app::kWindowTitle);
    EXPECT_EQ(window.TitleStatic()->TextColour(), QColor(Qt::red));
    EXPECT_TRUE(window.PassIndicator()->isHidden());
    EXPECT_TRUE(window.FailIndicator()->isHidden());
}

TEST_F(WindowTest, StartButtonRunsFourBridgesToPassWithGreenCellsAndCounters)
{
    auto& window = Open(4, Settings());
    Click("Start");
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(window.Engine()->Snapshot()->runResult, engine::kRunPass) << (m_Messages.empty() ? "" : m_Messages.back());
    const auto* list = window.ResultList();
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(list->CellText(row, engine::kColUpdate), "PASS") << row;
        EXPECT_EQ(list->CellBackground(row, engine::kColUpdate), kGreen) << row;
        EXPECT_EQ(list->CellTextColour(row, engine::kColUpdate), kWhite) << row;
    }
    EXPECT_TRUE(list->CellText(4, engine::kColUpdate).isEmpty());
    EXPECT_EQ(window.PassCountField()->text(), "4");
    EXPECT_EQ(window.FailCountField()->text(), "0");
    EXPECT_EQ(window.TotalCountField()->text(), "4");
    EXPECT_FALSE(window.PassIndicator()->isHidden());
    EXPECT_TRUE(window.FailIndicator()->isHidden());
    EXPECT_EQ(window.ProgressBar()->BarColour(), QColor(0, 255, 0));
    // The serial number moved on by four bridges, and the window shows it.
    EXPECT_EQ(Child<QLineEdit>("Serial Number")->text().toStdString(),
              std::string(window.Engine()->Snapshot()->settings.serial_number));

    Click("Clear Count");
    ASSERT_TRUE(apptest::WaitFor([&] { return window.TotalCountField()->text() == "0"; }));
    EXPECT_EQ(window.PassCountField()->text(), "0");
}

TEST_F(WindowTest, FailingBridgeShowsFailInRedInItsStepColumn)
{
    auto& window = Open(3, Settings());
    Fault(2, 0xE1, 100);  // the configuration write of bridge 2 always fails
    Click("Start");
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(window.Engine()->Snapshot()->runResult, engine::kRunFail);
    const auto* list = window.ResultList();
    EXPECT_EQ(list->CellText(1, engine::kColUpdate), "FAIL");
    EXPECT_EQ(list->CellBackground(1, engine::kColUpdate), kRed);
    EXPECT_EQ(list->CellText(0, engine::kColUpdate), "PASS");
    EXPECT_EQ(list->CellBackground(2, engine::kColUpdate), kGreen);
    EXPECT_EQ(window.PassCountField()->text(), "2");
    EXPECT_EQ(window.FailCountField()->text(), "1");
    EXPECT_EQ(window.TotalCountField()->text(), "3");
    EXPECT_TRUE(window.PassIndicator()->isHidden());
    EXPECT_FALSE(window.FailIndicator()->isHidden());
    EXPECT_EQ(window.ProgressBar()->BarColour(), QColor(255, 0, 0));
}

// A refused Start says why above the list, and the next Start clears it.
TEST_F(WindowTest, ARefusedStartShowsItsReasonUntilTheNextStart)
{
    IniSettings settings = Settings();
    const std::string firmware = settings.fw_binary_name;
    SetIniString(settings.fw_binary_name, (firmware + ".gone").c_str());
    auto& window = Open(1, settings);
    EXPECT_TRUE(window.NoticeBanner()->isHidden());
    Click("Start");
    ASSERT_TRUE(apptest::WaitFor([&] { return !window.NoticeBanner()->isHidden(); }));
    EXPECT_EQ(window.NoticeBanner()->text().toStdString(),
              "Start refused: the firmware file " + firmware + ".gone does not exist");
    window.Engine()->UpdateSettings([&](IniSettings& s) { SetIniString(s.fw_binary_name, firmware.c_str()); });
    ASSERT_TRUE(apptest::WaitFor([&] { return Child<QPushButton>("Start")->isEnabled(); }));
    Click("Start");
    EXPECT_TRUE(window.NoticeBanner()->isHidden());
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_TRUE(window.NoticeBanner()->isHidden());
}

// After Safely Remove the window says that the drives may be unplugged.
TEST_F(WindowTest, SafelyRemoveEndsWithYouMayUnplug)
{
    auto& window = Open(2, Settings());
    Click("Safely Remove");
    ASSERT_TRUE(apptest::WaitFor([&] { return !window.NoticeBanner()->isHidden(); }));
    EXPECT_EQ(window.NoticeBanner()->text().toStdString(), "Safely Remove: 2 drives stopped, you may unplug them");
}

TEST_F(WindowTest, StepSwitchesAreOffAfterStartWhateverTheSettingsSay)
{
    IniSettings settings = Settings();
    settings.format_enable = settings.wr_test_enable = settings.preload_enable = 1;
    settings.Check_USBStatus_enable = settings.fw_reload = settings.Auto_Safe_Remove = 1;
    auto& window = Open(1, settings);
    for (const char* name : {"Partition/Format", "W/R Test", "Preload", "USB Status", "Reload FW", "Auto Safe Remove"})
        EXPECT_FALSE(Child<QCheckBox>(name)->isChecked()) << name;
    EXPECT_TRUE(Child<QCheckBox>("FW Update")->isChecked());
    const auto state = window.Engine()->Snapshot();
    EXPECT_EQ(state->settings.format_enable, 0);
    EXPECT_EQ(state->settings.fw_reload, 0);
    EXPECT_EQ(state->settings.Auto_Safe_Remove, 0);
}

TEST_F(WindowTest, ClosingEndsTheEngineAndExitsWith18)
{
    auto& window = Open(2, Settings());
    Click("Start");
    window.close();  // during the run: the engine stops it and joins its threads
    EXPECT_EQ(window.Engine(), nullptr);
    EXPECT_EQ(window.ExitCode(), app::kExitWindowClosed);
}

TEST_F(WindowTest, ClosingWhileTheEngineWaitsForAnAnswerDoesNotHang)
{
    auto& window = Open(2, Settings());
    // A reload without the firmware update: Start refuses it with a message.
    window.Engine()->UpdateSettings([](IniSettings& s) {
        s.fw_reload = 1;
        s.fw_enable = 0;
    });
    bool asked = false;
    // The operator closes the window while the engine thread waits for the answer
    // to its message: closing joins the engine thread, which must give up waiting.
    window.SetMessagePresenter([&](const std::string&, int) {
        asked = true;
        window.close();
        return 1;
    });
    Click("Start");
    ASSERT_TRUE(apptest::WaitFor([&] { return asked; }));
    EXPECT_EQ(window.Engine(), nullptr);
    EXPECT_EQ(window.ExitCode(), app::kExitWindowClosed);
}

}  // namespace
