#pragma once
// The two settings dialogs for the bridge options the settings file does not
// carry. Each edits a copy of the settings; OK hands the edits made (one change
// per edited field) to the caller, Cancel drops them.
#include <QDialog>
#include <vector>

#include "app/SettingControls.h"

class QFormLayout;

namespace app {

class CSettingsDlg : public QDialog {
public:
    CSettingsDlg(const QString& title, const IniSettings& settings, QWidget* parent);
    // The edits made, in order; apply them to any settings record.
    const std::vector<SettingsChange>& Changes() const { return m_Changes; }
    const IniSettings& Edited() const { return m_Edited; }

protected:
    template <class T>
    void AddCheck(const char* caption, T IniSettings::*field)
    {
        QCheckBox* box = NewCheck(caption);
        m_Controls.Bind(box, field);
        AddRow(box);
    }
    template <class T>
    void AddList(const char* caption, const QStringList& entries, T IniSettings::*field);
    // A control of the dialog alone.
    void AddRow(QWidget* widget);
    // Shows the copy in the controls and adds OK and Cancel; the last step of a constructor.
    void Finish();

    // A check box named by its caption.
    QCheckBox* NewCheck(const char* caption);

private:
    IniSettings m_Edited;
    std::vector<SettingsChange> m_Changes;
    CSettingControls m_Controls;
    QFormLayout* m_pForm;
};

// "PCIE_USB_Config": option bits, power states and the PCIe link of the configuration table.
class PCIEUSBConfigDlg : public CSettingsDlg {
public:
    PCIEUSBConfigDlg(const IniSettings& settings, QWidget* parent = nullptr);
};

// "USB4_More_Config": the USB4 link options of the USB4 block.
class USB4_MoreConfig : public CSettingsDlg {
public:
    USB4_MoreConfig(const IniSettings& settings, QWidget* parent = nullptr);
};

}  // namespace app
