#pragma once
// The PD and MCU firmware update dialog, a view over the update of pd/: the PD
// and MCU files with their enables, and per PD port a picture (the PD answers or
// not), the version, the status in its colour and a progress bar. Finding the
// ports, reading their versions and the update itself run on the engine thread;
// the view follows the update through queued calls.
#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "pd/PDUpdate.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace engine {
class CMPEngine;
}
namespace widgets {
class CTextProgressCtrl;
}

namespace app {

// What the dialog takes from the settings and gives back when it closes.
struct PDDialogSettings {
    std::string pdPath;
    std::string mcuPath;
    bool pdEnabled = false;
    bool mcuEnabled = false;
};

class CPDUpdateDlg : public QDialog {
public:
    using MessagePresenter = std::function<int(const std::string& text, int kind)>;
    CPDUpdateDlg(engine::CMPEngine& engine, PDDialogSettings settings, MessagePresenter presenter,
                 QWidget* parent = nullptr);
    ~CPDUpdateDlg() override;

    void OnBnClickedButtonPdStart();
    // Checks the files against the chips first, then updates as Start does.
    void OnBnClickedButtonPdFwVerify();
    void OnBnClickedButtonBrowsePd();
    void OnBnClickedButtonBrowseMcu();
    PDDialogSettings Settings() const;

    // --- the view, for the update's queued calls (window thread) --------------------
    void vShowStatus(int port, int statusCode);
    void vShowProgress(int port, int percent, uint32_t barRgb);
    void vShowVersion(int port, const std::string& text);
    void vShowMessage(int port, const std::string& text);

    // --- what the view shows ---------------------------------------------------------
    int PortCount() const { return static_cast<int>(m_Rows.size()); }
    QLabel* Picture(int port) const { return m_Rows.at(static_cast<size_t>(port)).picture; }
    QLabel* VersionStatic(int port) const { return m_Rows.at(static_cast<size_t>(port)).version; }
    QLabel* StatusStatic(int port) const { return m_Rows.at(static_cast<size_t>(port)).status; }
    widgets::CTextProgressCtrl* Progress(int port) const { return m_Rows.at(static_cast<size_t>(port)).progress; }
    const std::vector<pd::PDPortOutcome>& Outcomes() const { return m_Outcomes; }
    bool Updating() const { return m_bUpdating; }

    // Closes the dialog, unless an update is running (its threads end on their own).
    void reject() override;

private:
    struct PortRow {
        QLabel* picture = nullptr;
        QLabel* version = nullptr;
        QLabel* status = nullptr;
        widgets::CTextProgressCtrl* progress = nullptr;
    };
    // Finds the ports and shows each one's version.
    void OnInitDialog();
    void AddPortRow(int port);
    pd::PDUpdateSettings ModelSettings() const;
    // Runs every port's update on the engine thread; `verify` checks the files
    // against the chips before anything is written.
    void RunUpdate(bool verify);

    engine::CMPEngine& m_Engine;
    MessagePresenter m_Presenter;
    QLineEdit* m_pPdPath;
    QLineEdit* m_pMcuPath;
    QCheckBox* m_pPdEnable;
    QCheckBox* m_pMcuEnable;
    QPushButton* m_pStart;
    QPushButton* m_pVerify;
    QWidget* m_pPortArea;
    std::vector<PortRow> m_Rows;
    std::vector<pd::PDPort> m_Ports;
    std::vector<pd::PDPortOutcome> m_Outcomes;
    bool m_bUpdating = false;
};

}  // namespace app
