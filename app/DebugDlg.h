#pragma once
// The engineering dialogs for one bridge of the device list: CDebugDlg reads
// and writes registers and shows the configuration tables and the USB4
// information; CDeviceInfoDlg shows the option flags, idle timer, USB mode and
// device code. Every device access runs on the engine thread; the dialogs never
// change the device list.
#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace engine {
class CMPEngine;
}
namespace widgets {
class CListCtrlEx;
}

namespace app {

// Shows an operator message of a ProgramMessageKind and returns the answer.
using MessagePresenter = std::function<int(const std::string& text, int kind)>;

// The bridge the main window chose: a record of the device list and an image.
struct DebugChoice {
    uint8_t record = 0;
    uint8_t image = 0;
};

class CDebugDlg : public QDialog {
public:
    CDebugDlg(engine::CMPEngine& engine, DebugChoice choice, MessagePresenter presenter, QWidget* parent = nullptr);

    void OnBnClickedButtonReadRegister();
    void OnBnClickedButtonWriteRegister();
    void OnBnClickedButtonReadConfigTable();
    void OnBnClickedButtonReadU4ConfigTable();
    void OnBnClickedButtonDeviceInfo();
    void OnBnClickedButtonU4Info();

    QLineEdit* AddressEdit() const { return m_pAddress; }
    QLineEdit* LengthEdit() const { return m_pLength; }
    QLineEdit* ValueEdit() const { return m_pValue; }
    QPlainTextEdit* Display() const { return m_pDisplay; }

private:
    void ReadTable(uint8_t configType);

    engine::CMPEngine& m_Engine;
    DebugChoice m_Choice;
    MessagePresenter m_Presenter;
    QLineEdit* m_pAddress;
    QLineEdit* m_pLength;
    QLineEdit* m_pValue;
    QPlainTextEdit* m_pDisplay;
};

class CDeviceInfoDlg : public QDialog {
public:
    CDeviceInfoDlg(engine::CMPEngine& engine, DebugChoice choice, MessagePresenter presenter,
                   QWidget* parent = nullptr);

    widgets::CListCtrlEx* ConfigList() const { return m_pList; }
    QLabel* USBModeStatic() const { return m_pUSBMode; }
    QLabel* DeviceConfigStatic() const { return m_pDeviceCode; }

private:
    // vReadConfigTable, vSetConfigSettingHeader, vSet795xUSBMode and SetDeviceConfigStatic.
    void OnInitDialog(engine::CMPEngine& engine, DebugChoice choice, const MessagePresenter& presenter);

    widgets::CListCtrlEx* m_pList;
    QLabel* m_pUSBMode;
    QLabel* m_pDeviceCode;
};

}  // namespace app
