#pragma once
// A main window on an emulated station with a firmware image, on a clock 1000
// times faster than real, for the window's tests. Operator messages are recorded
// instead of shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../common/TestSupport.h"
#include "app/DEVedaDlg.h"
#include "engine/ResultTable.h"
#include "widgets/ListCtrlEx.h"
#include "emu/Bridge.h"
#include "emu/KeyValueFile.h"
#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace apptest {

// The one QApplication of the test program, on the offscreen platform.
inline void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // lives until the program ends
}

// Runs the event loop until `ready` holds; false after `realMs` milliseconds (a
// guard against a hang, not a measure of speed).
inline bool WaitFor(const std::function<bool()>& ready, int realMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!ready()) {
        if (timer.elapsed() > realMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

class WindowTest : public ::testing::Test {
protected:
    WindowTest() : m_Station(m_Folder.Path() / "station") { EnsureApplication(); }

    void SetUp() override
    {
        util::SetClock(std::make_shared<util::ScaledClock>(1000.0));
        CUSBUtility::Instance().SetProgramFolder(m_Folder.Path().string());
        m_Firmware = (m_Folder.Path() / "BR_USB4_25_0115_00_0207.bin").string();
        const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, 0x07}, 0x11000, 0x5A,
                                                  emu::StandardKey(), 7);
        emu::WriteBlob(m_Firmware, std::string(image.begin(), image.end()));
    }
    void TearDown() override
    {
        m_Window.reset();
        util::SetClock(std::make_shared<util::RealClock>());
    }

    // Settings with the firmware update on and the image above.
    IniSettings Settings() const
    {
        IniSettings settings = DefaultIniSettings();
        settings.fw_enable = 1;
        SetIniString(settings.fw_binary_name, m_Firmware);
        return settings;
    }
    // Opens the window with `bridges` bridges on the station and waits for its first scan.
    app::CDEVedaDlg& Open(int bridges, const IniSettings& settings)
    {
        EXPECT_TRUE(m_Station.World().Init(bridges));
        m_Window = std::make_unique<app::CDEVedaDlg>(m_Station, settings);
        m_Window->SetMessagePresenter([this](const std::string& text, int) {
            m_Messages.push_back(text);
            return 1;
        });
        m_Window->show();
        // The scan is over once the engine says so, and the window has seen it once
        // the last bridge's row is filled (the scan's own changes, queued after its
        // "Start disabled") and Start is allowed again (queued after those).
        EXPECT_TRUE(WaitFor([&] {
            const auto s = m_Window->Engine()->Snapshot();
            const std::string& lastFw = s->table.cells[bridges - 1][engine::kColFWVersion].text;
            return s->devices.DevNums == static_cast<uint32_t>(bridges) && !s->activity.scanning && !lastFw.empty() &&
                   m_Window->ResultList()->CellText(bridges - 1, engine::kColFWVersion).toStdString() == lastFw &&
                   m_Window->StartAllowed();
        }));
        return *m_Window;
    }
    template <class T>
    T* Child(const char* name) const
    {
        T* child = m_Window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    // Once a modal dialog of type T opens, `act` answers it (and must close it).
    template <class T>
    void OnModal(std::function<void(T&)> act)
    {
        auto* poll = new QTimer(m_Window.get());
        QObject::connect(poll, &QTimer::timeout, [poll, act] {
            auto* dialog = dynamic_cast<T*>(QApplication::activeModalWidget());
            if (!dialog) return;
            poll->deleteLater();
            act(*dialog);
        });
        poll->start(5);
    }
    void Click(const char* button) { QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton); }
    // Waits until the last run is evaluated and its end has reached the window:
    // the verdict shown, the controls back, the next serial number in its field.
    bool WaitForRunEnd()
    {
        return WaitFor([&] {
            const auto s = m_Window->Engine()->Snapshot();
            if (s->activity.running || s->runResult == engine::kRunNone) return false;
            const bool verdictShown = s->runResult == engine::kRunPass ? !m_Window->PassIndicator()->isHidden()
                                                                       : !m_Window->FailIndicator()->isHidden();
            return verdictShown && m_Window->TotalCountField()->text() == QString::number(s->table.totalCount) &&
                   m_Window->EffectiveControlSet() != engine::ControlSet::kDisabled &&
                   m_Window->findChild<QLineEdit*>("Serial Number")->text() ==
                       QLatin1String(s->settings.serial_number);
        });
    }
    void Fault(int bridge, uint8_t opcode, int count)
    {
        m_Station.ModifyBridge(bridge,
                               [&](emu::Bridge& b) { b.SetFault(opcode, emu::FaultMode::CheckCondition, count); });
    }

    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Station;
    std::string m_Firmware;
    std::vector<std::string> m_Messages;
    std::unique_ptr<app::CDEVedaDlg> m_Window;
};

}  // namespace apptest
