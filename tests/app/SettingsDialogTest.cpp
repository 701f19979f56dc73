// The settings dialogs: edits reach the engine's settings on OK and never on Cancel.
#include <QComboBox>

#include "WindowFixture.h"
#include "app/LoginDlg.h"
#include "app/SHA256Dlg.h"
#include "app/SettingsDlg.h"

namespace {

class SettingsDialogTest : public apptest::WindowTest {
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
};

TEST(SettingsDialog, ShowsTheSettingsAndCollectsOneChangePerEdit)
{
    apptest::EnsureApplication();
    IniSettings settings = DefaultIniSettings();
    settings.lp_if_u3 = 3;
    settings.eup = 1;
    app::PCIEUSBConfigDlg dialog(settings);
    EXPECT_TRUE(dialog.findChild<QCheckBox*>("Eup")->isChecked());
    EXPECT_EQ(dialog.findChild<QComboBox*>("LP if U3")->currentIndex(), 3);
    EXPECT_EQ(dialog.findChild<QComboBox*>("LP if U3")->itemText(0), "Disable the feature");
    EXPECT_TRUE(dialog.Changes().empty());  // showing is not editing
    dialog.findChild<QComboBox*>("Force PCIE Lane")->setCurrentIndex(1);
    dialog.findChild<QCheckBox*>("Eup")->setChecked(false);
    ASSERT_EQ(dialog.Changes().size(), 2u);
    IniSettings target = DefaultIniSettings();
    target.eup = 1;
    for (const auto& change : dialog.Changes()) change(target);
    EXPECT_EQ(target.force_pcie_lane, 1);
    EXPECT_EQ(target.eup, 0);
    EXPECT_EQ(target.lp_if_u3, DefaultIniSettings().lp_if_u3);  // untouched fields stay as they were
}

TEST_F(SettingsDialogTest, MoreConfigOkReachesTheEngineAndCancelDoesNot)
{
    auto& window = Open(1, Settings());
    Unlock();
    OnModal<app::PCIEUSBConfigDlg>([](app::PCIEUSBConfigDlg& dialog) {
        dialog.findChild<QCheckBox*>("Two LEDS")->setChecked(true);
        dialog.findChild<QComboBox*>("PCIE ASPM")->setCurrentIndex(1);
        dialog.accept();
    });
    Click("MoreConfig");
    ASSERT_TRUE(apptest::WaitFor([&] {
        const auto s = window.Engine()->Snapshot();
        return s->settings.two_leds == 1 && s->settings.pcie_aspm == 1;
    }));

    OnModal<app::USB4_MoreConfig>([](app::USB4_MoreConfig& dialog) {
        dialog.findChild<QCheckBox*>("20G")->setChecked(false);
        dialog.reject();
    });
    Click("USB4 MoreConfig");
    OnModal<app::USB4_MoreConfig>([](app::USB4_MoreConfig& dialog) {
        dialog.findChild<QComboBox*>("CL Mode")->setCurrentIndex(0);
        dialog.accept();
    });
    Click("USB4 MoreConfig");
    ASSERT_TRUE(apptest::WaitFor([&] { return window.Engine()->Snapshot()->settings.USB4_CLMode == 0; }));
    EXPECT_EQ(window.Engine()->Snapshot()->settings.USB4_20G, 1u);  // the cancelled edit never arrived
}

TEST_F(SettingsDialogTest, DialogButtonsNeedTheUnlock)
{
    Open(1, Settings());
    EXPECT_FALSE(Child<QPushButton>("MoreConfig")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>("USB4 MoreConfig")->isEnabled());
    Unlock();
    EXPECT_TRUE(Child<QPushButton>("MoreConfig")->isEnabled());
}

}  // namespace

namespace {

TEST(SHA256Dialog, FieldsShowTheKeyWordsAndKeepOnlyEightHexDigits)
{
    apptest::EnsureApplication();
    app::SHA256_Dlg dialog(false);
    EXPECT_FALSE(dialog.KeyField(1)->text().isEmpty());
    QLineEdit* field = dialog.KeyField(2);
    field->clear();
    QTest::keyClicks(field, "12xy34abcdef99");
    EXPECT_EQ(field->text(), "1234ABCD");
    EXPECT_FALSE(dialog.SendKeyCheck()->isChecked());
}

TEST_F(SettingsDialogTest, KeyOptionFollowsTheCheckBoxOnOkOnly)
{
    auto& window = Open(1, Settings());
    Unlock();
    OnModal<app::SHA256_Dlg>([](app::SHA256_Dlg& dialog) {
        dialog.SendKeyCheck()->setChecked(true);
        dialog.reject();
    });
    Click("Modify SHA256 initial Key");
    EXPECT_FALSE(window.SHA256Option());
    OnModal<app::SHA256_Dlg>([](app::SHA256_Dlg& dialog) {
        dialog.SendKeyCheck()->setChecked(true);
        dialog.accept();
    });
    Click("Modify SHA256 initial Key");
    EXPECT_TRUE(window.SHA256Option());
}

}  // namespace
