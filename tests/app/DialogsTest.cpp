// The engineering dialogs, the barcode entry dialog and the PD update dialog on
// an emulated station: what reaches the bridges through the engine, the texts
// shown, the enabling rules and what goes back to the settings.
#include <QComboBox>
#include <QPlainTextEdit>
#include <atomic>
#include <fstream>
#include <future>

#include "WindowFixture.h"
#include "app/DebugDlg.h"
#include "app/LoginDlg.h"
#include "app/PDUpdateDlg.h"
#include "app/SNDlg.h"
#include "config/LanguageTable.h"
#include "device/debug/DebugAccess.h"
#include "emu/PdTunnel.h"
#include "emu/TiPdController.h"
#include "pd/PDFirmwareFile.h"
#include "widgets/TextProgressCtrl.h"

namespace {

class DialogsTest : public apptest::WindowTest {
protected:
    void Unlock()
    {
        OnModal<app::CLoginDlg>([](app::CLoginDlg& login) {
            login.PasswordEdit()->setText("kestral");
            login.OnBnClickedOk();
        });
        Click("Unlock");
        ASSERT_TRUE(m_Window->ChangeMode());
    }
    emu::Bridge Bridge(int id) { return emu::Bridge(m_Station.World().BridgeFolder(id)); }
    void Poke(int id, uint32_t address, uint8_t value)
    {
        m_Station.ModifyBridge(id, [&](emu::Bridge& b) { b.WriteRegister(address, value); });
    }
    app::MessagePresenter Recorder()
    {
        return [this](const std::string& text, int) {
            m_Messages.push_back(text);
            return 1;
        };
    }
    app::CDebugDlg& Debug(uint8_t record, uint8_t image = 0)
    {
        m_Debug = std::make_unique<app::CDebugDlg>(*m_Window->Engine(), app::DebugChoice{record, image}, Recorder());
        return *m_Debug;
    }
    std::unique_ptr<app::CDebugDlg> m_Debug;
};

TEST_F(DialogsTest, ReadRegisterShowsTheChosenBridgesBytes)
{
    Open(2, Settings());
    Poke(2, 0x9100, 0x5C);
    Poke(2, 0x9101, 0x01);
    auto& debug = Debug(1);
    debug.AddressEdit()->setText("9100");
    debug.LengthEdit()->setText("2");
    debug.OnBnClickedButtonReadRegister();
    EXPECT_EQ(debug.Display()->toPlainText().toStdString(), "5C 01");
    EXPECT_TRUE(m_Messages.empty());
}

TEST_F(DialogsTest, WriteRegisterReachesTheBridgeAndOnlyThatOne)
{
    Open(2, Settings());
    auto& debug = Debug(0);
    debug.AddressEdit()->setText("c000");
    debug.ValueEdit()->setText("a7");
    debug.OnBnClickedButtonWriteRegister();
    EXPECT_EQ(Bridge(1).ReadRegister(0xC000), 0xA7);
    EXPECT_NE(Bridge(2).ReadRegister(0xC000), 0xA7);
    EXPECT_TRUE(m_Messages.empty());
}

TEST_F(DialogsTest, InvalidEditsAreRefusedBeforeAnythingReachesTheBridge)
{
    Open(1, Settings());
    auto& debug = Debug(0);
    debug.AddressEdit()->setText("");
    debug.LengthEdit()->setText("1");
    debug.OnBnClickedButtonReadRegister();
    debug.AddressEdit()->setText("9100");
    debug.LengthEdit()->setText("10000");
    debug.OnBnClickedButtonReadRegister();
    debug.ValueEdit()->setText("1FF");
    debug.OnBnClickedButtonWriteRegister();
    ASSERT_EQ(m_Messages.size(), 3u);
    EXPECT_EQ(m_Messages[0], "Invalid value for register address");
    EXPECT_EQ(m_Messages[1], "Invalid value for register length");
    EXPECT_EQ(m_Messages[2], "Invalid value for register value");
    EXPECT_NE(Bridge(1).ReadRegister(0x9100), 0xFF);
}

TEST_F(DialogsTest, LengthZeroShowsNothingAndALongReadFails)
{
    Open(1, Settings());
    auto& debug = Debug(0);
    debug.Display()->setPlainText("old");
    debug.AddressEdit()->setText("0");
    debug.LengthEdit()->setText("0");
    debug.OnBnClickedButtonReadRegister();
    EXPECT_EQ(debug.Display()->toPlainText(), "");
    EXPECT_TRUE(m_Messages.empty());
    debug.LengthEdit()->setText("101");
    debug.OnBnClickedButtonReadRegister();
    ASSERT_EQ(m_Messages.size(), 1u);
    EXPECT_EQ(m_Messages[0], "Access Device is Failed ! (-10)");
}

TEST_F(DialogsTest, TableButtonsShowTheChosenImagesTables)
{
    Open(2, Settings());
    auto& debug = Debug(1, 1);
    debug.OnBnClickedButtonReadConfigTable();
    auto table = Bridge(2).ConfigTable(1, 0);
    EXPECT_EQ(debug.Display()->toPlainText().toStdString(), strHexLines(table.data(), table.size()));
    debug.OnBnClickedButtonReadU4ConfigTable();
    table = Bridge(2).ConfigTable(1, 1);
    EXPECT_EQ(debug.Display()->toPlainText().toStdString(), strHexLines(table.data(), table.size()));
    EXPECT_TRUE(m_Messages.empty());
}

TEST_F(DialogsTest, U4InfoNamesTheUUIDAndTheRecoveryCount)
{
    Open(1, Settings());
    Poke(1, 0x2601A, 4);
    Debug(0).OnBnClickedButtonU4Info();
    ASSERT_EQ(m_Messages.size(), 1u);
    const auto state = m_Window->Engine()->Snapshot();
    EXPECT_EQ(m_Messages[0],
              "U4 info\r\n UUID: " + strU4UUID(state->devices.Devs[0].U4ConfigImage) + "\r\n ErrRecovCnt: 4");
}

TEST_F(DialogsTest, DeviceInfoShowsTheTablesFlagsAndTheChip)
{
    Open(1, Settings());
    app::CDeviceInfoDlg info(*m_Window->Engine(), {0, 0}, Recorder());
    const auto table = Bridge(1).ConfigTable(0, 0);
    const auto row = ConfigSettingRow(table[125], table[122]);
    for (int column = 0; column < 10; ++column) {
        EXPECT_EQ(info.ConfigList()->horizontalHeaderItem(column)->text(), kConfigSettingColumns[column]);
        EXPECT_EQ(info.ConfigList()->CellText(0, column).toStdString(), row[static_cast<size_t>(column)]);
    }
    EXPECT_EQ(info.USBModeStatic()->text().toStdString(), strUSBModeText(Bridge(1).ChipId()));
    EXPECT_NE(info.DeviceConfigStatic()->text().indexOf("Support UASP : "), -1);
    EXPECT_TRUE(m_Messages.empty());
}

TEST_F(DialogsTest, DebugAndPDButtonsOnlyWhileUnlocked)
{
    Open(1, Settings());
    EXPECT_FALSE(Child<QPushButton>("Debug")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>("Power Delivery Key")->isEnabled());
    Unlock();
    EXPECT_TRUE(Child<QPushButton>("Debug")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>("Power Delivery Key")->isEnabled());
    // The Debug button opens the dialog for the selected row and the chosen image.
    m_Window->ResultList()->setCurrentCell(0, 0);
    Child<QComboBox>("Debug Image")->setCurrentIndex(1);
    bool opened = false;
    OnModal<app::CDebugDlg>([&](app::CDebugDlg& dialog) {
        opened = true;
        dialog.OnBnClickedButtonReadConfigTable();
        dialog.reject();
    });
    Click("Debug");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(m_Messages.empty());
}

TEST_F(DialogsTest, TextsComeFromTheLanguageTable)
{
    auto& window = Open(1, Settings());
    EXPECT_EQ(Child<QPushButton>("Start")->text(), kLanguageTable.strStart);
    EXPECT_EQ(Child<QPushButton>("Power Delivery Key")->text(), " Power Delivery Key");
    auto* snType = Child<QComboBox>("SN Edit Type");
    ASSERT_EQ(snType->count(), 5);
    EXPECT_EQ(snType->itemText(3), "3.From Barcode");
    EXPECT_EQ(window.ResultList()->horizontalHeaderItem(0)->text(), "Port#");
    Unlock();
    EXPECT_EQ(Child<QPushButton>("Unlock")->text(), "Lock");
}

// Holds the engine thread in a work until released.
struct EngineHold {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::shared_ptr<std::atomic<bool>> started = std::make_shared<std::atomic<bool>>(false);
    std::future<int> Post(engine::CMPEngine& mp)
    {
        return mp.RunOnEngine([r = released, s = started](engine::EngineAccess&) {
            *s = true;
            r.wait();
            return 0;
        });
    }
};

TEST_F(DialogsTest, AnEditMadeWhileTheEngineIsHeldIsNotUndoneByAnOlderSnapshot)
{
    auto& window = Open(1, Settings());
    Unlock();
    engine::CMPEngine& mp = *window.Engine();
    // A scan, and right behind it a work that holds the engine thread: the
    // snapshot keeps saying "scanning" meanwhile, and the window sees it busy.
    EngineHold first, second;
    mp.TriggerScanThread();
    auto firstDone = first.Post(mp);
    ASSERT_TRUE(apptest::WaitFor([&] { return first.started->load(); }));
    QTest::qWait(300);
    // A second hold and the operator's edit queue up behind the first.
    auto secondDone = second.Post(mp);
    auto* serial = Child<QLineEdit>("Serial Number");
    serial->setFocus();
    serial->selectAll();
    QTest::keyClicks(serial, "CAFE00000001");
    // The first hold ends: the scan's end is published without the edit, while
    // the second hold keeps the edit waiting.
    first.release.set_value();
    ASSERT_TRUE(apptest::WaitFor([&] { return second.started->load(); }));
    QTest::qWait(300);
    EXPECT_EQ(serial->text(), "CAFE00000001");
    second.release.set_value();
    mp.WaitUntilIdle();
    QTest::qWait(300);
    EXPECT_EQ(serial->text(), "CAFE00000001");
    EXPECT_STREQ(mp.Snapshot()->settings.serial_number, "CAFE00000001");
    EXPECT_EQ(firstDone.get() + secondDone.get(), 0);
}

TEST_F(DialogsTest, TheDebugDialogTakesNoClickWhileTheEngineWorksForIt)
{
    auto& window = Open(1, Settings());
    EngineHold hold;
    auto held = hold.Post(*window.Engine());
    auto& debug = Debug(0);
    debug.AddressEdit()->setText("9100");
    debug.LengthEdit()->setText("1");
    bool disabledWhileWaiting = false;
    QTimer::singleShot(50, [&] {
        disabledWhileWaiting = !debug.isEnabled();
        hold.release.set_value();
    });
    debug.OnBnClickedButtonReadRegister();  // waits behind the hold
    EXPECT_TRUE(disabledWhileWaiting);
    EXPECT_TRUE(debug.isEnabled());
    EXPECT_FALSE(debug.Display()->toPlainText().isEmpty());
    EXPECT_EQ(held.get(), 0);
}

TEST(SNDialog, KeepsHexDigitsInUpperCaseWhileADeviceIsAttached)
{
    apptest::EnsureApplication();
    IniSettings settings = DefaultIniSettings();
    settings.Check_SerialNumber = 1;
    unsigned devices = 1;
    app::CSNDlg dialog(settings, [&] { return devices; });
    EXPECT_EQ(dialog.windowTitle(), "Serial Number Entering");
    dialog.SerialEdit()->setText("ab-12xz");
    EXPECT_EQ(dialog.SerialEdit()->text(), "AB12");
    EXPECT_EQ(dialog.Model().m_strSNandPStringDlgPCBSN, "AB12");
    EXPECT_STREQ(dialog.Settings().serial_number, "AB12");
    devices = 0;
    dialog.SerialEdit()->setText("CD34");
    EXPECT_EQ(dialog.SerialEdit()->text(), "");
    EXPECT_STREQ(dialog.Settings().serial_number, "");
}

TEST_F(DialogsTest, ABarcodeScanStartsTheRunWithTheScannedSerialNumber)
{
    IniSettings settings = Settings();
    settings.SN_EditType = kSnFromBarcode;
    settings.Check_SerialNumber = 1;
    // The entry dialog opens after the first scan, while the window is still coming up.
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll] {
        auto* dialog = dynamic_cast<app::CSNDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        poll->deleteLater();
        dialog->SerialEdit()->setText("ab-7700000001");
        dialog->accept();
    });
    poll->start(5);
    // One bridge: a barcode names one drive (two bridges would both get it, and
    // that run is refused).
    auto& window = Open(1, settings);
    ASSERT_TRUE(apptest::WaitFor([&] { return window.Engine()->Snapshot()->table.totalCount == 1; }));
    ASSERT_TRUE(WaitForRunEnd());
    const auto state = window.Engine()->Snapshot();
    EXPECT_EQ(state->table.passCount, 1u);
    EXPECT_EQ(state->ports[0].serialWritten, "AB7700000001");  // the blank filtered out, upper case
}

TEST_F(DialogsTest, ACancelledBarcodeEntryStartsNothing)
{
    IniSettings settings = Settings();
    settings.SN_EditType = kSnFromBarcode;
    bool asked = false;
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, &asked] {
        auto* dialog = dynamic_cast<app::CSNDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        poll->deleteLater();
        asked = true;
        dialog->reject();
    });
    poll->start(5);
    auto& window = Open(1, settings);
    ASSERT_TRUE(apptest::WaitFor([&] { return asked; }));
    window.Engine()->WaitUntilIdle();
    EXPECT_EQ(window.Engine()->Snapshot()->runResult, engine::kRunNone);
}

class PDDialogTest : public DialogsTest {
protected:
    void SetUp() override
    {
        DialogsTest::SetUp();
        std::string image(pd::kRichtekImageSize, '\0');
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 3 + 7);
        m_Richtek = (m_Folder.Path() / "pd.bin").string();
        std::ofstream(m_Richtek, std::ios::binary) << image;
    }
    void Fit(int bridge, const char* key, const char* value)
    {
        std::string error;
        ASSERT_TRUE(emu::PdTunnel::ApplySetting(m_Station.World().BridgeFolder(bridge), key, value, error)) << error;
    }
    std::string m_Richtek;
};

TEST_F(PDDialogTest, ShowsEachPortsVersionAndUpdatesThemAll)
{
    Open(2, Settings());
    for (int bridge : {1, 2}) {
        Fit(bridge, "vendor", "richtek");
        Fit(bridge, "replug_ms", "1000");
    }
    // The relink limit is station time: a slower clock leaves the emulated commands room.
    util::SetClock(std::make_shared<util::ScaledClock>(10.0));
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {m_Richtek, "", true, false}, Recorder());
    ASSERT_EQ(dialog.PortCount(), 2);
    for (int port = 0; port < 2; ++port) {
        EXPECT_EQ(dialog.Picture(port)->text(), "pd");
        EXPECT_FALSE(dialog.VersionStatic(port)->text().isEmpty());
    }
    dialog.OnBnClickedButtonPdStart();
    ASSERT_EQ(dialog.Outcomes().size(), 2u);
    const std::string richtek = [&] {
        std::ifstream in(m_Richtek, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    for (int port = 0; port < 2; ++port) {
        EXPECT_EQ(dialog.Outcomes()[static_cast<size_t>(port)].result, pd::kPDResultPass) << port;
        QCoreApplication::processEvents();
        EXPECT_EQ(dialog.StatusStatic(port)->text(), "PASS");
        EXPECT_EQ(dialog.Progress(port)->value(), 100);
        EXPECT_EQ(dialog.Progress(port)->BarColour(), QColor(0x14, 0xE8, 0x14));
        EXPECT_TRUE(emu::PdTunnel(m_Station.World().BridgeFolder(port + 1)).PdMemory(0, pd::kRichtekImageSize) ==
                    richtek);
    }
    const auto said = [&](const std::string& text) {
        return std::find(m_Messages.begin(), m_Messages.end(), text) != m_Messages.end();
    };
    EXPECT_TRUE(said("Please power cycling Your [0 ]device!!!"));
    EXPECT_TRUE(said("Please power cycling Your [1 ]device!!!"));
}

TEST_F(PDDialogTest, AFileThatFitsNoChipTurnsThePortRed)
{
    Open(1, Settings());
    Fit(1, "vendor", "ccg3");
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {m_Richtek, "", true, false}, Recorder());
    ASSERT_EQ(dialog.PortCount(), 1);
    dialog.OnBnClickedButtonPdStart();
    QCoreApplication::processEvents();
    ASSERT_EQ(dialog.Outcomes().size(), 1u);
    EXPECT_EQ(dialog.Outcomes()[0].result, pd::kPDResultNotRecognised);
    EXPECT_EQ(dialog.StatusStatic(0)->text(), "Mis-Match");
    EXPECT_EQ(dialog.Progress(0)->BarColour(), QColor(0xE8, 0x14, 0x14));
    EXPECT_NE(std::find(m_Messages.begin(), m_Messages.end(),
                        "PD File is not suitable PD Chip!!!Please try to load correct PD Chip or File"),
              m_Messages.end());
}

TEST_F(PDDialogTest, VerifyUpdatesAPortWhoseChipFitsTheFile)
{
    Open(1, Settings());
    Fit(1, "vendor", "richtek");
    Fit(1, "replug_ms", "1000");
    util::SetClock(std::make_shared<util::ScaledClock>(10.0));
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {m_Richtek, "", true, false}, Recorder());
    ASSERT_EQ(dialog.PortCount(), 1);
    dialog.findChild<QPushButton*>("Verify")->click();
    ASSERT_EQ(dialog.Outcomes().size(), 1u);
    EXPECT_EQ(dialog.Outcomes()[0].result, pd::kPDResultPass);
    QCoreApplication::processEvents();
    EXPECT_EQ(dialog.StatusStatic(0)->text(), "PASS");
    EXPECT_TRUE(dialog.findChild<QPushButton*>("Verify")->isEnabled());
    std::ifstream in(m_Richtek, std::ios::binary);
    const std::string richtek(std::istreambuf_iterator<char>(in), {});
    EXPECT_TRUE(emu::PdTunnel(m_Station.World().BridgeFolder(1)).PdMemory(0, pd::kRichtekImageSize) == richtek);
}

TEST_F(PDDialogTest, VerifyWritesNothingToAChipTheFileDoesNotFit)
{
    Open(1, Settings());
    Fit(1, "vendor", "ccg3");
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {m_Richtek, "", true, false}, Recorder());
    ASSERT_EQ(dialog.PortCount(), 1);
    const std::string before = emu::PdTunnel(m_Station.World().BridgeFolder(1)).PdMemory(0, pd::kRichtekImageSize);
    dialog.OnBnClickedButtonPdFwVerify();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.Outcomes().empty());
    EXPECT_EQ(dialog.StatusStatic(0)->text(), "FAIL");
    EXPECT_EQ(dialog.Progress(0)->BarColour(), QColor(0xE8, 0x14, 0x14));
    ASSERT_FALSE(m_Messages.empty());
    EXPECT_EQ(m_Messages.back(), "PD File is not suitable PD Chip!!!Please try to Set correct PD Chip or load correct PD File");
    EXPECT_TRUE(emu::PdTunnel(m_Station.World().BridgeFolder(1)).PdMemory(0, pd::kRichtekImageSize) == before);
}

TEST_F(PDDialogTest, VerifyRefusesAnImageThatCannotBeBuilt)
{
    Open(1, Settings());
    Fit(1, "vendor", "richtek");
    const std::string shortImage = (m_Folder.Path() / "short.bin").string();
    std::ofstream(shortImage, std::ios::binary) << std::string(pd::kRichtekImageSize - 1, '\x5A');
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {shortImage, "", true, false}, Recorder());
    ASSERT_EQ(dialog.PortCount(), 1);
    const std::string before = emu::PdTunnel(m_Station.World().BridgeFolder(1)).PdMemory(0, pd::kRichtekImageSize);
    dialog.OnBnClickedButtonPdFwVerify();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.Outcomes().empty());
    ASSERT_FALSE(m_Messages.empty());
    EXPECT_EQ(m_Messages.back(),
              "PD File is not suitable PD Chip IMAGE!!!\nPlease try to Set correct PD Chip or load correct PD File");
    EXPECT_TRUE(emu::PdTunnel(m_Station.World().BridgeFolder(1)).PdMemory(0, pd::kRichtekImageSize) == before);
}

TEST_F(PDDialogTest, PdTestFlashesTheSelectedBridgesTIController)
{
    Open(2, Settings());
    Unlock();
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 5 + 0x21);
    const std::string path = (m_Folder.Path() / "ti.bin").string();
    std::ofstream(path, std::ios::binary) << image;
    m_Window->SetTIFileChooser([&] { return QString::fromStdString(path); });
    const std::string untouched = emu::TiPdController(m_Station.World().BridgeFolder(1)).Region(1, 8192);
    m_Window->ResultList()->setCurrentCell(1, 0);
    Click("PD Test");
    EXPECT_NE(std::find(m_Messages.begin(), m_Messages.end(), "num of 4k sectors:2"), m_Messages.end());
    const emu::TiPdController second(m_Station.World().BridgeFolder(2));
    for (int region : {1, 2}) EXPECT_TRUE(second.Region(region, 8192).substr(0, 5000) == image) << region;
    // The other bridge's controller keeps what it had.
    EXPECT_TRUE(emu::TiPdController(m_Station.World().BridgeFolder(1)).Region(1, 8192) == untouched);
    EXPECT_TRUE(Child<QPushButton>("PD Test")->isEnabled());
}

TEST_F(PDDialogTest, PdTestNeedsTheUnlockAndACancelledFileDoesNothing)
{
    Open(1, Settings());
    EXPECT_FALSE(Child<QPushButton>("PD Test")->isEnabled());
    Unlock();
    ASSERT_TRUE(Child<QPushButton>("PD Test")->isEnabled());
    bool asked = false;
    m_Window->SetTIFileChooser([&] {
        asked = true;
        return QString();
    });
    const size_t said = m_Messages.size();
    Click("PD Test");
    EXPECT_TRUE(asked);
    EXPECT_EQ(m_Messages.size(), said);
    const auto journal = m_Station.Journal();
    EXPECT_TRUE(std::none_of(journal.begin(), journal.end(),
                             [](const platform::EmuRequest& r) { return !r.cdb.empty() && r.cdb[0] == 0xED; }));
}

TEST_F(PDDialogTest, NoBridgeSaysSoAndStartsNothing)
{
    Open(1, Settings());
    ASSERT_TRUE(m_Station.SetBridgePlugged(1, false));
    app::CPDUpdateDlg dialog(*m_Window->Engine(), {m_Richtek, "", true, false}, Recorder());
    EXPECT_EQ(dialog.PortCount(), 0);
    ASSERT_FALSE(m_Messages.empty());
    EXPECT_EQ(m_Messages.back(), "Can not Found BRV521x Device");
    EXPECT_FALSE(dialog.findChild<QPushButton*>("Start")->isEnabled());
}

TEST_F(PDDialogTest, PathsAndEnablesGoBackToTheSettings)
{
    Open(1, Settings());
    Unlock();
    OnModal<app::CPDUpdateDlg>([&](app::CPDUpdateDlg& dialog) {
        dialog.findChild<QLineEdit*>("PD Path")->setText(QString::fromStdString(m_Richtek));
        dialog.findChild<QCheckBox*>("PD Update")->setChecked(true);
        dialog.findChild<QCheckBox*>("MCU Update")->setChecked(false);
        dialog.reject();
    });
    Click("Power Delivery Key");
    ASSERT_TRUE(apptest::WaitFor([&] {
        const auto s = m_Window->Engine()->Snapshot();
        return std::string(s->settings.pd_binary_name) == m_Richtek && s->settings.pd_fw_enable == 1;
    }));
}

}  // namespace
