#pragma once
// The barcode entry dialog "Serial Number Entering": one edit "Serial Number :"
// with OK and Cancel, over the serial-number model of the settings (filtering
// and upper-casing as the operator types or scans).
#include <QDialog>
#include <functional>
#include <string>

#include "config/IniSettings.h"
#include "config/SerialNumber.h"

class QLineEdit;

namespace app {

class CSNDlg : public QDialog {
public:
    // `settings`: the settings in force (the hex filter); `deviceCount`: the number
    // of attached devices now (without one, the edit stays empty).
    CSNDlg(const IniSettings& settings, std::function<unsigned()> deviceCount, QWidget* parent = nullptr);

    void OnEnChangeEditDeviceArrivalDialogPcbSn();
    QLineEdit* SerialEdit() const { return m_pEdit; }
    // The serial number as the dialog holds it, and the settings it changed.
    const ::CSNDlg& Model() const { return m_Model; }
    const IniSettings& Settings() const { return m_Settings; }

private:
    IniSettings m_Settings;
    ::CSNDlg m_Model;
    std::function<unsigned()> m_DeviceCount;
    QLineEdit* m_pEdit;
};

}  // namespace app
