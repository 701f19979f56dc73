#include "app/SettingsDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>

namespace app {

CSettingsDlg::CSettingsDlg(const QString& title, const IniSettings& settings, QWidget* parent)
    : QDialog(parent),
      m_Edited(settings),
      m_Controls([this](SettingsChange change) {
          change(m_Edited);
          m_Changes.push_back(std::move(change));
      }),
      m_pForm(new QFormLayout(this))
{
    setWindowTitle(title);
    setObjectName(title);
}

QCheckBox* CSettingsDlg::NewCheck(const char* caption)
{
    auto* box = new QCheckBox(QLatin1String(caption), this);
    box->setObjectName(QLatin1String(caption));
    return box;
}

template <class T>
void CSettingsDlg::AddList(const char* caption, const QStringList& entries, T IniSettings::*field)
{
    auto* list = new QComboBox(this);
    list->setObjectName(QLatin1String(caption));
    list->addItems(entries);  // in the order given, never sorted: the index is the value
    m_Controls.Bind(list, field);
    m_pForm->addRow(QLatin1String(caption), list);
}

void CSettingsDlg::AddRow(QWidget* widget) { m_pForm->addRow(widget); }

void CSettingsDlg::Finish()
{
    m_Controls.Show(m_Edited);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_pForm->addRow(buttons);
}

PCIEUSBConfigDlg::PCIEUSBConfigDlg(const IniSettings& settings, QWidget* parent)
    : CSettingsDlg(QStringLiteral("PCIE_USB_Config"), settings, parent)
{
    AddCheck("USB removable", &IniSettings::usb_removable);
    AddCheck("Eup", &IniSettings::eup);
    AddCheck("Two LEDS", &IniSettings::two_leds);
    AddCheck("WTG", &IniSettings::wtg);
    AddCheck("U1/U2", &IniSettings::u1u2);
    AddCheck("Low Power Mode", &IniSettings::low_power);
    AddCheck("2TB", &IniSettings::support_2tb);
    AddCheck("Slow Enumeration", &IniSettings::slow_enumeration);
    AddList("LP if Idle", {"L3 + D3 cold", "L2/L3 Ready + D3 hot", "L1 + D3 hot"}, &IniSettings::lp_if_idle);
    AddList("LP if U3", {"Disable the feature", "L3 + D3 cold", "L2/L3 Ready + D3 hot", "L1 + D3 hot"},
            &IniSettings::lp_if_u3);
    AddList("PCIE ASPM", {"ASPM L0s and ASPM L1", "ASPM L1", "ASPM L0s", "Disable the feature"},
            &IniSettings::pcie_aspm);
    AddList("Force PCIE Speed", {"PCIE Gen 1", "PCIE Gen 2", "PCIE Gen 3", "Auto"}, &IniSettings::force_pcie_speed);
    AddList("Force PCIE Lane", {"PCIE x1", "PCIE x2", "PCIE x4", "Auto"}, &IniSettings::force_pcie_lane);
    AddCheck("Image_1", &IniSettings::image0);
    AddCheck("Image_2", &IniSettings::image1);
    AddCheck("Generate CRC32", &IniSettings::crc32);
    Finish();
}

USB4_MoreConfig::USB4_MoreConfig(const IniSettings& settings, QWidget* parent)
    : CSettingsDlg(QStringLiteral("USB4_More_Config"), settings, parent)
{
    AddCheck("20G", &IniSettings::USB4_20G);
    AddCheck("x2", &IniSettings::USB4_x2);
    AddList("CL Mode", {"0:CL0s/CL1", "1:CL0s/CL1/CL2", "2:Reserved", "3:Disable"}, &IniSettings::USB4_CLMode);
    // "PO" belongs to the dialog alone: no setting keeps it.
    AddRow(NewCheck("PO"));
    Finish();
}

}  // namespace app
