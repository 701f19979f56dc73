#pragma once
// The operator's main window: the setting controls, Start / Safely Remove / Clear
// Count, the result list with its progress bar, PASS/FAIL indicators and
// counters, and the Unlock/Lock login that protects the settings.
//
// It reads the engine's state from its snapshots and from the observer calls that
// WindowObserver carries to this thread, and changes it only by the engine's
// requests. Closing the window asks a running run to stop and destroys the engine,
// which joins every thread it started; the event loop then ends with 18.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "app/SettingControls.h"
#include "app/WindowObserver.h"
#include "config/IniSettings.h"
#include "engine/MPEngine.h"
#include "platform/Station.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace widgets {
class CColourStatic;
class CListCtrlEx;
class CTextProgressCtrl;
}  // namespace widgets

namespace app {

class CSettingsDlg;

// The title shown in red at the top of the window.
inline constexpr const char* kWindowTitle = "Brevnor 7951PD DEVeda Ver 1, 0, 3, 4 (1.0.0.8) (1.0.0.5)";
// Exit code of a closed window.
inline constexpr int kExitWindowClosed = 18;

class CDEVedaDlg : public QWidget {
public:
    // `settings`: as the start-up load left them (the step switches are switched
    // off here whatever they say); `stationText`: shown beside the title.
    CDEVedaDlg(platform::IStation& station, IniSettings settings, const QString& stationText = {});
    ~CDEVedaDlg() override;

    // --- what the operator does ---------------------------------------------------
    void OnBnClickedButtonStart();
    void OnBnClickedButtonSafelyRemove();
    void OnBnClickedButtonClearcount();
    void OnBnClickedButtonUnlockDeveda();
    void OnBnClickedButtonLoadIni();
    void OnBnClickedButtonSaveIni();
    void OnBnClickedButtonBrowseFw();
    void OnBnClickedButtonBrowsePreload();
    void OnBnClickedMoreConfig();
    void OnBnClickedButtonUsb4MoreConfig();
    void OnAbout();
    void OnBnClickedButtonSha256();
    // The debug dialog for the selected result row's bridge and the chosen image.
    void OnBnClickedButtonDebug();
    // The PD and MCU update dialog, with the paths and enables of the settings.
    void OnBnClickedButtonPd();
    // The TI PD update of the selected result row's bridge (the first when none is
    // selected) from a binary file the operator picks; each step's message is an
    // operator message.
    void OnBnClickedButtonPdTest();
    // Shows the barcode entry dialog; its serial number goes to the serial-number
    // edit and the settings. True when the operator closed it with OK.
    bool OpenSNAndPStringEnteringDialog();
    // Whether the workers send the SHA-256 key (off at every start).
    bool SHA256Option() const { return m_bSHA256Option; }

    // --- what the engine shows (WindowObserver, on this thread) ---------------------
    void vShowCell(int row, int column, const std::string& text, int colourMode, engine::CellColours colours);
    void vShowProgressPosition(int position);
    void vShowBarColour(engine::Rgb colour);
    void vShowProgressText(const std::string& text);
    void vShowIndicators(bool showPass, bool showFail);
    void vShowCounters(uint32_t passCount, uint32_t failCount, uint32_t totalCount);
    void vSetEngineControlSet(engine::ControlSet set);
    void vSetStartEnabled(bool enabled);
    // A Start the engine refused: the banner above the list says why, until the next Start.
    void vShowStartRefusal(const std::string& reason);
    // Safely Remove has ended: the banner says whether the drives may be unplugged.
    void vShowDrivesRemoved(int removed, int failed);
    int iShowOperatorMessage(const std::string& text, int kind);
    void vEndWithCode(int exitCode);
    // A barcode serial number is wanted: the entry dialog (unless it is open), and
    // Start with its serial number on OK.
    void vAskSerialNumber(uint32_t deviceCount);

    // --- seams for the tests and the screenshots ------------------------------------
    // Replaces the message box (the answer is returned to the engine).
    void SetMessagePresenter(std::function<int(const std::string& text, int kind)> presenter);
    // Replaces the file dialog of the PD test button (an empty path cancels).
    void SetTIFileChooser(std::function<QString()> chooser) { m_TIFileChooser = std::move(chooser); }
    engine::CMPEngine* Engine() const { return m_pEngine.get(); }
    bool ChangeMode() const { return m_bChangeMode; }
    // The engine allows a Start (no scan is going on).
    bool StartAllowed() const { return m_bStartEnabled; }
    // The set of controls in force: the engine's, narrowed by the lock.
    engine::ControlSet EffectiveControlSet() const;
    widgets::CListCtrlEx* ResultList() const { return m_pResultList; }
    widgets::CTextProgressCtrl* ProgressBar() const { return m_pProgress; }
    QLabel* PassIndicator() const { return m_pPassIndicator; }
    QLabel* FailIndicator() const { return m_pFailIndicator; }
    QLabel* NoticeBanner() const { return m_pNotice; }
    QLineEdit* PassCountField() const { return m_pPassCount; }
    QLineEdit* FailCountField() const { return m_pFailCount; }
    QLineEdit* TotalCountField() const { return m_pTotalCount; }
    widgets::CColourStatic* TitleStatic() const { return m_pTitle; }
    const CSettingControls& SettingControls() const { return m_Controls; }
    int ExitCode() const { return m_iExitCode; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildDescriptorGroup();
    QWidget* BuildFunctionGroup();
    QWidget* BuildPathGroup();
    QWidget* BuildButtonRow();
    QWidget* BuildStatusRow();
    void PostSettingsChange(SettingsChange change);
    // Runs a settings dialog on the current settings; OK posts its edits.
    void RunSettingsDialog(CSettingsDlg& dialog);
    void ShowSettings(const IniSettings& settings);
    void ApplyControlEnabling();
    void PollEngine();
    void EndEngine();

    WindowObserver m_Observer;
    CSettingControls m_Controls;
    IniSettings m_Settings;  // what the controls show; the engine's copy is the one that counts
    std::function<int(const std::string&, int)> m_MessagePresenter;
    std::function<QString()> m_TIFileChooser;
    bool m_bChangeMode = false;
    bool m_bSHA256Option = false;
    engine::ControlSet m_EngineSet = engine::ControlSet::kNormal;
    bool m_bStartEnabled = true;
    bool m_bEngineBusy = false;
    bool m_bSNDialogOpen = false;
    bool m_bEnding = false;  // the window is closing: no new dialog
    uint32_t m_uShownTotal = 0;  // the total count when the settings were last shown
    uint64_t m_uSettingsTicket = 0;  // of the last settings change posted to the engine
    bool m_bSettingsDue = false;     // the engine's settings are to be shown once current
    int m_iExitCode = kExitWindowClosed;
    std::optional<std::future<engine::StartResult>> m_StartPending;
    QTimer m_PollTimer;

    widgets::CColourStatic* m_pTitle = nullptr;
    widgets::CListCtrlEx* m_pResultList = nullptr;
    widgets::CTextProgressCtrl* m_pProgress = nullptr;
    QLabel* m_pPassIndicator = nullptr;
    QLabel* m_pFailIndicator = nullptr;
    QLabel* m_pNotice = nullptr;  // a refused Start or the end of Safely Remove, above the list
    void vShowNotice(const QString& text, bool warning);
    QLineEdit* m_pPassCount = nullptr;
    QLineEdit* m_pFailCount = nullptr;
    QLineEdit* m_pTotalCount = nullptr;
    QLineEdit* m_pSerialNumber = nullptr;
    QCheckBox* m_pFwEnable = nullptr;
    QCheckBox* m_pAutoMp = nullptr;
    QList<QWidget*> m_FirmwareControls;  // usable only with the firmware update on
    QList<QWidget*> m_SettingButtons;    // Load INI, Save INI, the browse buttons
    QPushButton* m_pStart = nullptr;
    QPushButton* m_pSafelyRemove = nullptr;
    QPushButton* m_pClearCount = nullptr;
    QPushButton* m_pUnlock = nullptr;
    QComboBox* m_pDebugImage = nullptr;

    // Last: destroyed first, joining every engine thread while the rest still exists.
    std::unique_ptr<engine::CMPEngine> m_pEngine;
};

}  // namespace app
