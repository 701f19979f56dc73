// The Unlock/Lock login and which controls it and the engine leave usable.
#include <QLineEdit>
#include <QTimer>

#include "WindowFixture.h"
#include "app/LoginDlg.h"
#include "app/SingleInstance.h"

namespace {

using apptest::WindowTest;

TEST(LoginPassword, EmptyOrWrongStaysLockedAndAnyCaseUnlocks)
{
    EXPECT_FALSE(app::bIsUnlockPassword(""));
    EXPECT_FALSE(app::bIsUnlockPassword("KESTRA"));
    EXPECT_FALSE(app::bIsUnlockPassword("KESTRAL "));
    EXPECT_TRUE(app::bIsUnlockPassword("KESTRAL"));
    EXPECT_TRUE(app::bIsUnlockPassword("kestral"));
    EXPECT_TRUE(app::bIsUnlockPassword("KeStRaL"));
}

class LoginTest : public WindowTest {
protected:
    // Presses Unlock; when the login dialog opens, types `password` and presses OK.
    void UnlockWith(const QString& password)
    {
        OnModal<app::CLoginDlg>([password](app::CLoginDlg& login) {
            QTest::keyClicks(login.PasswordEdit(), password);
            login.OnBnClickedOk();
        });
        Click("Unlock");
    }
    bool SettingsEditable() { return Child<QLineEdit>("Vendor ID")->isEnabled(); }
};

TEST_F(LoginTest, EmptyPasswordStaysLockedLowerCaseUnlocksAndLockLocksAgain)
{
    auto& window = Open(1, Settings());
    EXPECT_FALSE(SettingsEditable());
    EXPECT_FALSE(Child<QPushButton>("Load INI")->isEnabled());

    UnlockWith("");
    EXPECT_FALSE(window.ChangeMode());
    EXPECT_FALSE(SettingsEditable());
    EXPECT_EQ(Child<QPushButton>("Unlock")->text(), "Unlock");

    UnlockWith("kestral");
    EXPECT_TRUE(window.ChangeMode());
    EXPECT_TRUE(SettingsEditable());
    EXPECT_TRUE(Child<QLineEdit>("FW Path")->isEnabled());
    EXPECT_EQ(Child<QPushButton>("Unlock")->text(), "Lock");

    // The firmware path and its browse button follow the firmware switch.
    QTest::mouseClick(Child<QCheckBox>("FW Update"), Qt::LeftButton, {}, QPoint(4, 4));
    EXPECT_FALSE(Child<QLineEdit>("FW Path")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>("Browse FW")->isEnabled());
    ASSERT_TRUE(apptest::WaitFor([&] { return window.Engine()->Snapshot()->settings.fw_enable == 0; }));

    Click("Unlock");  // now "Lock": no dialog
    EXPECT_FALSE(window.ChangeMode());
    EXPECT_FALSE(SettingsEditable());
    EXPECT_EQ(Child<QPushButton>("Unlock")->text(), "Unlock");
}

TEST_F(LoginTest, EditReachesTheEngineSettings)
{
    auto& window = Open(1, Settings());
    UnlockWith("KESTRAL");
    QLineEdit* vid = Child<QLineEdit>("Vendor ID");
    vid->selectAll();
    QTest::keyClicks(vid, "1D5C");
    ASSERT_TRUE(apptest::WaitFor([&] { return std::string(window.Engine()->Snapshot()->settings.vendor_id) == "1D5C"; }));
}

TEST_F(LoginTest, SettingControlsAreDisabledDuringARunAndComeBackByMode)
{
    // A slower clock, so that the run lasts long enough to be seen running.
    util::SetClock(std::make_shared<util::ScaledClock>(100.0));
    auto& window = Open(4, Settings());
    UnlockWith("kestral");
    ASSERT_TRUE(SettingsEditable());
    bool disabledWhileRunning = false;
    bool startDisabledWhileRunning = false;
    Click("Start");
    ASSERT_TRUE(apptest::WaitFor([&] {
        if (window.EffectiveControlSet() == engine::ControlSet::kDisabled) {
            disabledWhileRunning |= !SettingsEditable();
            startDisabledWhileRunning |= !Child<QPushButton>("Start")->isEnabled();
        }
        return disabledWhileRunning && !window.Engine()->Snapshot()->activity.running &&
               window.EffectiveControlSet() != engine::ControlSet::kDisabled;
    }));
    EXPECT_TRUE(disabledWhileRunning);
    EXPECT_TRUE(startDisabledWhileRunning);
    // Back to the normal set: unlocked, so editable again; Start once the window
    // has collected the Start's answer.
    EXPECT_TRUE(SettingsEditable());
    EXPECT_TRUE(apptest::WaitFor([&] { return Child<QPushButton>("Start")->isEnabled(); }));
}

TEST_F(LoginTest, AutoModeLockedDisablesStartAndUnlockStopsTheRunFirst)
{
    IniSettings settings = Settings();
    settings.auto_mp = 1;
    auto& window = Open(2, settings);
    EXPECT_EQ(window.EffectiveControlSet(), engine::ControlSet::kAutoMode);
    EXPECT_FALSE(Child<QPushButton>("Start")->isEnabled());
    EXPECT_FALSE(SettingsEditable());
    // Unlocking (even when the password is wrong) asks the engine to stop first.
    UnlockWith("wrong");
    EXPECT_FALSE(window.ChangeMode());
    EXPECT_EQ(window.EffectiveControlSet(), engine::ControlSet::kAutoMode);
    UnlockWith("kestral");
    EXPECT_EQ(window.EffectiveControlSet(), engine::ControlSet::kNormal);
    EXPECT_TRUE(Child<QPushButton>("Start")->isEnabled());
}

TEST_F(LoginTest, LockDuringARunInAutoModeDoesNotEndTheRun)
{
    IniSettings settings = Settings();
    settings.auto_mp = 1;
    auto& window = Open(3, settings);
    UnlockWith("kestral");
    Click("Start");
    Click("Unlock");  // Lock, while the run goes on
    EXPECT_FALSE(window.ChangeMode());
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(window.Engine()->Snapshot()->runResult, engine::kRunPass);
    EXPECT_EQ(window.PassCountField()->text(), "3");
}

TEST_F(LoginTest, UnlockInAutoModeWhileLockedStopsTheRunningRunFirst)
{
    util::SetClock(std::make_shared<util::ScaledClock>(50.0));  // a run long enough to be stopped
    IniSettings settings = Settings();
    settings.auto_mp = 1;
    auto& window = Open(4, settings);
    UnlockWith("kestral");
    Click("Start");
    ASSERT_TRUE(apptest::WaitFor([&] { return window.Engine()->Snapshot()->activity.running; }));
    Click("Unlock");  // Lock: the run goes on, in auto mode
    ASSERT_TRUE(window.Engine()->Snapshot()->activity.running);
    UnlockWith("");  // Unlock while locked in auto mode: the run is stopped before the login
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(window.Engine()->Snapshot()->runResult, engine::kRunFail);
    EXPECT_GT(window.FailCountField()->text().toInt(), 0);
}

TEST(SingleInstance, SecondWindowOnTheSameStationIsRefused)
{
    testsupport::TempFolder folder;
    const QString locks = QString::fromStdString(folder.Path().string());
    const QString station = QString::fromStdString("emu:" + (folder.Path() / "st").string());
    app::CSingleInstance first(station, locks);
    ASSERT_TRUE(first.bAcquire());
    app::CSingleInstance second(station, locks);
    EXPECT_FALSE(second.bAcquire());
    app::CSingleInstance other(station + "2", locks);
    EXPECT_TRUE(other.bAcquire());
    // The same folder written another way is the same station.
    EXPECT_EQ(app::strCanonicalStation(station + "/."), app::strCanonicalStation(station));
    EXPECT_EQ(app::strCanonicalStation("linux"), "linux");
}

}  // namespace
