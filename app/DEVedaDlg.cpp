#include "app/DEVedaDlg.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "app/AboutDlg.h"
#include "app/DebugDlg.h"
#include "app/EngineCall.h"
#include "app/LoginDlg.h"
#include "app/MessageBox.h"
#include "app/PDUpdateDlg.h"
#include "app/SNDlg.h"
#include "app/SHA256Dlg.h"
#include "app/SettingsDlg.h"
#include "config/Ini.h"
#include "config/LanguageTable.h"
#include "engine/ResultTable.h"
#include "engine/RunObserver.h"
#include "log/DebugLog.h"
#include "pd/TIUpdate.h"
#include "widgets/ColourStatic.h"
#include "widgets/ListCtrlEx.h"
#include "widgets/TextProgressCtrl.h"

namespace app {

namespace {

QColor ToColour(engine::Rgb c) { return QColor(c.r, c.g, c.b); }

// Initial colour of the progress bar, before any run.
constexpr engine::Rgb kBarIdle{20, 232, 20};

QComboBox* MakeList(QWidget* parent, const QStringList& entries, const char* name)
{
    auto* list = new QComboBox(parent);
    list->addItems(entries);
    list->setObjectName(QLatin1String(name));
    return list;
}

QCheckBox* MakeCheck(QWidget* parent, const QString& text, const char* name)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    return edit;
}

// A button whose text comes from the language table; its object name is the text without blanks around it.
QPushButton* MakeButton(QWidget* parent, const char* text)
{
    auto* button = new QPushButton(QLatin1String(text), parent);
    button->setObjectName(QString::fromLatin1(text).trimmed());
    return button;
}

QLabel* MakeIndicator(QWidget* parent, const char* text, engine::Rgb background)
{
    auto* label = new QLabel(QLatin1String(text), parent);
    label->setObjectName(QLatin1String(text));
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumSize(110, 44);
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(28);
    f.setBold(true);
    label->setFont(f);
    label->setStyleSheet(QStringLiteral("QLabel { background-color: %1; color: white; }").arg(ToColour(background).name()));
    return label;
}

}  // namespace

CDEVedaDlg::CDEVedaDlg(platform::IStation& station, IniSettings settings, const QString& stationText)
    : m_Observer(*this),
      m_Controls([this](SettingsChange change) { PostSettingsChange(std::move(change)); }),
      m_Settings(settings),
      m_MessagePresenter([this](const std::string& text, int kind) { return iShowMessageBox(this, text, kind); })
{
    // Each start begins with the disk steps, the USB check, the reload and the
    // automatic removal off, whatever the settings file says.
    vClearStepSwitchesAfterLoad(m_Settings);
    setWindowTitle(stationText.isEmpty() ? QLatin1String(kWindowTitle)
                                         : QStringLiteral("%1 - %2").arg(QLatin1String(kWindowTitle), stationText));
    setWindowIcon(style()->standardIcon(QStyle::SP_DriveHDIcon));
    BuildControls();
    DBG_MSG("%s:%d: [%s]", kWindowTitle);
    ShowSettings(m_Settings);

    CUSBUtility::Instance().SetMessageSink(&m_Observer);
    m_pEngine = std::make_unique<engine::CMPEngine>(m_Observer, station);
    m_pEngine->SetInteractive(true);
    m_uSettingsTicket = m_pEngine->SetSettings(m_Settings);
    // What the engine's table holds already (the empty rows), before its first change arrives.
    const auto state = m_pEngine->Snapshot();
    for (int row = 0; row < engine::kResultRows; ++row)
        for (int column = 0; column < engine::kResultColumnCount; ++column) {
            const engine::ResultCell& cell = state->table.cells[row][column];
            vShowCell(row, column, cell.text, cell.colourMode, engine::CellColoursFor(cell.colourMode, cell.text));
        }
    vShowCounters(state->table.passCount, state->table.failCount, state->table.totalCount);
    m_pEngine->TriggerScanThread();
    ApplyControlEnabling();

    connect(&m_PollTimer, &QTimer::timeout, this, &CDEVedaDlg::PollEngine);
    m_PollTimer.start(100);
}

CDEVedaDlg::~CDEVedaDlg() { EndEngine(); }

// ---------------------------------------------------------------------------------
// Layout

void CDEVedaDlg::BuildControls()
{
    m_pTitle = new widgets::CColourStatic(QLatin1String(kWindowTitle), this);
    m_pTitle->setObjectName(QStringLiteral("title"));
    m_pTitle->SetTextColour(Qt::red);
    m_pTitle->SetFontFace(QStringLiteral("Arial"), 14, 7, 700);

    m_pResultList = new widgets::CListCtrlEx(this);
    m_pResultList->setObjectName(QStringLiteral("result_list"));
    QList<widgets::ListColumn> columns;
    for (const auto& layout : engine::kResultColumns) columns.push_back({QLatin1String(layout.title), layout.width});
    m_pResultList->SetColumns(columns);
    m_pResultList->SetRowCount(engine::kResultRows);
    m_pResultList->setMinimumHeight(16 * 20 + 30);

    m_pNotice = new QLabel(this);
    m_pNotice->setObjectName(QStringLiteral("notice"));
    m_pNotice->setWordWrap(true);
    m_pNotice->hide();

    auto* settingsRow = new QHBoxLayout;
    settingsRow->addWidget(BuildDescriptorGroup());
    auto* right = new QVBoxLayout;
    right->addWidget(BuildFunctionGroup());
    right->addWidget(BuildPathGroup());
    settingsRow->addLayout(right, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTitle);
    layout->addLayout(settingsRow);
    layout->addWidget(BuildButtonRow());
    layout->addWidget(BuildStatusRow());
    layout->addWidget(m_pNotice);
    layout->addWidget(m_pResultList, 1);
    resize(1500, 900);
}

QWidget* CDEVedaDlg::BuildDescriptorGroup()
{
    auto* group = new QGroupBox(tr("Device Descriptor"), this);
    auto* form = new QFormLayout(group);
    const std::pair<const char*, IniString IniSettings::*> texts[] = {
        {"Vendor ID", &IniSettings::vendor_id},
        {"Product ID", &IniSettings::product_id},
        {"Device Revision", &IniSettings::device_revision},
        {"Manufacturer", &IniSettings::manufacturer_string},
        {"Product", &IniSettings::product_string},
        {"T10 Manufacturer", &IniSettings::manufacturer_string_T10},
        {"T10 Product", &IniSettings::product_string_T10},
    };
    for (const auto& [label, field] : texts) {
        QLineEdit* edit = MakeEdit(group, label);
        m_Controls.Bind(edit, field);
        form->addRow(QLatin1String(label), edit);
    }
    m_pSerialNumber = MakeEdit(group, "Serial Number");
    m_Controls.Bind(m_pSerialNumber, &IniSettings::serial_number);
    form->addRow(tr("Serial Number"), m_pSerialNumber);

    QStringList snTypes;
    for (const char* text : kLanguageTable.strSNEditTypes) snTypes << QLatin1String(text);
    QComboBox* snType = MakeList(group, snTypes, "SN Edit Type");
    m_Controls.Bind(snType, &IniSettings::SN_EditType);
    form->addRow(tr("SN Edit Type"), snType);

    auto* increase = new QHBoxLayout;
    QCheckBox* snIncrease = MakeCheck(group, tr("SN Increase"), "SN Increase");
    m_Controls.Bind(snIncrease, &IniSettings::serial_number_increase);
    auto* hex = new QRadioButton(tr("HEX"), group);
    auto* dec = new QRadioButton(tr("DEC"), group);
    hex->setObjectName(QStringLiteral("HEX"));
    dec->setObjectName(QStringLiteral("DEC"));
    m_Controls.BindRadio(hex, &IniSettings::serial_number_increase_HEX, &IniSettings::serial_number_increase_DEC);
    m_Controls.BindRadio(dec, &IniSettings::serial_number_increase_DEC, &IniSettings::serial_number_increase_HEX);
    increase->addWidget(snIncrease);
    increase->addWidget(hex);
    increase->addWidget(dec);
    form->addRow(increase);
    return group;
}

QWidget* CDEVedaDlg::BuildFunctionGroup()
{
    auto* group = new QGroupBox(tr("Device Function"), this);
    auto* grid = new QGridLayout(group);

    m_pFwEnable = MakeCheck(group, tr("FW Update"), "FW Update");
    m_Controls.Bind(m_pFwEnable, &IniSettings::fw_enable);
    QCheckBox* reload = MakeCheck(group, tr("Reload FW"), "Reload FW");
    m_Controls.Bind(reload, &IniSettings::fw_reload);
    m_FirmwareControls.push_back(reload);
    QCheckBox* checkConfig = MakeCheck(group, tr("Check_Config"), "Check_Config");
    m_Controls.Bind(checkConfig, &IniSettings::check_config);

    QCheckBox* usbStatus = MakeCheck(group, tr("USB Status"), "USB Status");
    m_Controls.Bind(usbStatus, &IniSettings::Check_USBStatus_enable);
    QComboBox* usbSpeed = MakeList(group, {tr("USB 2.0"), tr("USB 3.0"), tr("USB 3.1")}, "USB Status Speed");
    m_Controls.Bind(usbSpeed, &IniSettings::Check_USBStatus);

    QCheckBox* format = MakeCheck(group, tr("Partition/Format"), "Partition/Format");
    m_Controls.Bind(format, &IniSettings::format_enable);
    QComboBox* partition = MakeList(group, {tr("MBR"), tr("GPT")}, "Partition Type");
    m_Controls.Bind(partition, &IniSettings::partition_drive_type);
    QComboBox* fileSystem = MakeList(group, {tr("NTFS"), tr("FAT32"), tr("exFAT")}, "File System");
    m_Controls.Bind(fileSystem, &IniSettings::format_drive_type);
    QLineEdit* label = MakeEdit(group, "Drive Label");
    m_Controls.Bind(label, &IniSettings::drive_label_name);

    QCheckBox* rwTest = MakeCheck(group, tr("W/R Test"), "W/R Test");
    m_Controls.Bind(rwTest, &IniSettings::wr_test_enable);
    QCheckBox* speedTest = MakeCheck(group, tr("Speed Test"), "Speed Test");
    m_Controls.Bind(speedTest, &IniSettings::Speed_test_enable);
    QCheckBox* preload = MakeCheck(group, tr("Preload"), "Preload");
    m_Controls.Bind(preload, &IniSettings::preload_enable);
    QCheckBox* safeRemove = MakeCheck(group, tr("Auto Safe Remove"), "Auto Safe Remove");
    m_Controls.Bind(safeRemove, &IniSettings::Auto_Safe_Remove);
    m_pAutoMp = MakeCheck(group, tr("MP Auto Mode"), "MP Auto Mode");
    m_Controls.Bind(m_pAutoMp, &IniSettings::auto_mp);
    QComboBox* u4Mode =
        MakeList(group, {tr("0:PD+PCIe"), tr("1:PD+PCIe+Lgcy"), tr("2:PD+U3+Lgcy"), tr("3:Auto")}, "USB4 Mode");
    m_Controls.Bind(u4Mode, &IniSettings::USB4_U4Mode);

    grid->addWidget(m_pFwEnable, 0, 0);
    grid->addWidget(reload, 0, 1);
    grid->addWidget(checkConfig, 0, 2);
    grid->addWidget(new QLabel(tr("USB4 Mode"), group), 0, 3);
    grid->addWidget(u4Mode, 0, 4);
    grid->addWidget(usbStatus, 1, 0);
    grid->addWidget(usbSpeed, 1, 1);
    grid->addWidget(safeRemove, 1, 2);
    grid->addWidget(m_pAutoMp, 1, 3);
    grid->addWidget(format, 2, 0);
    grid->addWidget(partition, 2, 1);
    grid->addWidget(fileSystem, 2, 2);
    grid->addWidget(new QLabel(tr("Label"), group), 2, 3);
    grid->addWidget(label, 2, 4);
    grid->addWidget(rwTest, 3, 0);
    grid->addWidget(speedTest, 3, 1);
    grid->addWidget(preload, 3, 2);
    return group;
}

QWidget* CDEVedaDlg::BuildPathGroup()
{
    auto* group = new QGroupBox(tr("Files"), this);
    auto* grid = new QGridLayout(group);
    QLineEdit* firmware = MakeEdit(group, "FW Path");
    m_Controls.Bind(firmware, &IniSettings::fw_binary_name);
    QPushButton* browseFw = MakeButton(group, kLanguageTable.strBrowseFW);
    connect(browseFw, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonBrowseFw);
    m_FirmwareControls << firmware << browseFw;
    QLineEdit* preload = MakeEdit(group, "Preload Path");
    m_Controls.Bind(preload, &IniSettings::preload_folder_path);
    QPushButton* browsePreload = MakeButton(group, kLanguageTable.strBrowsePreload);
    connect(browsePreload, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonBrowsePreload);
    m_SettingButtons << browsePreload;
    grid->addWidget(new QLabel(tr("FW"), group), 0, 0);
    grid->addWidget(firmware, 0, 1);
    grid->addWidget(browseFw, 0, 2);
    grid->addWidget(new QLabel(tr("Preload"), group), 1, 0);
    grid->addWidget(preload, 1, 1);
    grid->addWidget(browsePreload, 1, 2);
    return group;
}

QWidget* CDEVedaDlg::BuildButtonRow()
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    m_pUnlock = MakeButton(row, kLanguageTable.strUnlock);
    QPushButton* load = MakeButton(row, kLanguageTable.strLoadINI);
    QPushButton* save = MakeButton(row, kLanguageTable.strSaveINI);
    QPushButton* moreConfig = MakeButton(row, kLanguageTable.strMoreConfig);
    QPushButton* u4MoreConfig = MakeButton(row, kLanguageTable.strUSB4MoreConfig);
    QPushButton* about = MakeButton(row, "About");
    QPushButton* sha256 = MakeButton(row, kLanguageTable.strSHA256Key);
    QPushButton* pd = MakeButton(row, kLanguageTable.strPowerDeliveryKey);
    QPushButton* debug = MakeButton(row, kLanguageTable.strDebug);
    QPushButton* pdTest = MakeButton(row, "PD Test");
    m_pDebugImage = MakeList(row, {tr("Image 0"), tr("Image 1")}, "Debug Image");
    // The engineering dialogs change devices and settings: only while unlocked.
    m_SettingButtons << moreConfig << u4MoreConfig << sha256 << pd << pdTest << debug << m_pDebugImage;
    connect(pdTest, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonPdTest);
    connect(pd, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonPd);
    connect(debug, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonDebug);
    connect(sha256, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonSha256);
    connect(moreConfig, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedMoreConfig);
    connect(u4MoreConfig, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonUsb4MoreConfig);
    connect(about, &QPushButton::clicked, this, &CDEVedaDlg::OnAbout);
    m_pStart = MakeButton(row, kLanguageTable.strStart);
    m_pSafelyRemove = MakeButton(row, kLanguageTable.strSafelyRemove);
    m_pClearCount = MakeButton(row, kLanguageTable.strClearCount);
    m_SettingButtons << load << save;
    m_pStart->setMinimumHeight(40);
    connect(m_pUnlock, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonUnlockDeveda);
    connect(load, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonLoadIni);
    connect(save, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonSaveIni);
    connect(m_pStart, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonStart);
    connect(m_pSafelyRemove, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonSafelyRemove);
    connect(m_pClearCount, &QPushButton::clicked, this, &CDEVedaDlg::OnBnClickedButtonClearcount);
    for (QPushButton* b : {m_pUnlock, load, save, moreConfig, u4MoreConfig, sha256, pd, pdTest, about})
        layout->addWidget(b);
    layout->addWidget(debug);
    layout->addWidget(m_pDebugImage);
    layout->addStretch(1);
    for (QPushButton* b : {m_pStart, m_pSafelyRemove, m_pClearCount}) layout->addWidget(b);
    return row;
}

QWidget* CDEVedaDlg::BuildStatusRow()
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    m_pProgress = new widgets::CTextProgressCtrl(row);
    m_pProgress->setObjectName(QStringLiteral("progress"));
    m_pProgress->SetBarColour(ToColour(kBarIdle));
    m_pProgress->SetText(QStringLiteral("0%"));
    m_pPassIndicator = MakeIndicator(row, kLanguageTable.strPass, {0, 200, 0});
    m_pFailIndicator = MakeIndicator(row, kLanguageTable.strFail, {255, 0, 0});
    m_pPassIndicator->hide();
    m_pFailIndicator->hide();
    layout->addWidget(m_pProgress, 1);
    layout->addWidget(m_pPassIndicator);
    layout->addWidget(m_pFailIndicator);
    const std::pair<const char*, QLineEdit**> counters[] = {
        {"Pass", &m_pPassCount}, {"Fail", &m_pFailCount}, {"Total", &m_pTotalCount}};
    for (const auto& [name, field] : counters) {
        *field = MakeEdit(row, name);
        (*field)->setReadOnly(true);
        (*field)->setMaximumWidth(70);
        (*field)->setAlignment(Qt::AlignCenter);
        layout->addWidget(new QLabel(QLatin1String(name), row));
        layout->addWidget(*field);
    }
    return row;
}

// ---------------------------------------------------------------------------------
// Operator actions

void CDEVedaDlg::OnBnClickedButtonStart()
{
    if (m_StartPending || !m_pEngine) return;
    m_pNotice->hide();  // a notice holds until the next Start
    // The future is ready once the engine has run the start checks; the poll timer
    // collects it, so this thread never waits for the engine.
    m_StartPending = m_pEngine->OnBnClickedButtonStart(m_pSerialNumber->text().toStdString());
    ApplyControlEnabling();
}

void CDEVedaDlg::vShowNotice(const QString& text, bool warning)
{
    m_pNotice->setStyleSheet(warning ? QStringLiteral("QLabel { background: #FFE0B0; color: black; border: 2px solid "
                                                      "#C06000; padding: 6px; font-weight: bold; }")
                                     : QStringLiteral("QLabel { background: #D8F0D8; color: black; border: 2px solid "
                                                      "#208020; padding: 6px; font-weight: bold; }"));
    m_pNotice->setText(text);
    m_pNotice->show();
}

void CDEVedaDlg::vShowStartRefusal(const std::string& reason)
{
    vShowNotice(tr("Start refused: %1").arg(QString::fromStdString(reason)), true);
}

void CDEVedaDlg::vShowDrivesRemoved(int removed, int failed)
{
    vShowNotice(QString::fromStdString(engine::DrivesRemovedText(removed, failed)), failed > 0);
}

void CDEVedaDlg::OnBnClickedButtonSafelyRemove()
{
    if (m_pEngine) m_pEngine->OnBnClickedButtonSafelyRemove();
}

void CDEVedaDlg::OnBnClickedButtonClearcount()
{
    if (m_pEngine) m_pEngine->OnBnClickedButtonClearcount();
}

void CDEVedaDlg::OnBnClickedButtonUnlockDeveda()
{
    // Locked in MP auto mode, runs start by themselves: end them before the settings open.
    if (m_Settings.auto_mp && !m_bChangeMode && m_pEngine) m_pEngine->StopRun();
    if (m_bChangeMode) {
        m_bChangeMode = false;
    } else {
        CLoginDlg login(this);
        login.exec();
        m_bChangeMode = login.m_bUnlocked;
    }
    m_pUnlock->setText(QLatin1String(m_bChangeMode ? kLanguageTable.strLock : kLanguageTable.strUnlock));
    ApplyControlEnabling();
}

void CDEVedaDlg::OnBnClickedButtonLoadIni()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Load INI"), QString(), tr("INI (*.ini)"));
    if (path.isEmpty()) return;
    Ini ini;
    if (!ini.vLoadINIFile(path.toStdString())) return;
    m_Settings = ini.m_pINI;
    ShowSettings(m_Settings);
    if (m_pEngine) m_uSettingsTicket = m_pEngine->SetSettings(m_Settings);
    ApplyControlEnabling();
}

void CDEVedaDlg::OnBnClickedButtonSaveIni()
{
    if (!vValidateGUIForSaveINI(m_Settings.vendor_id, m_Settings.product_id, m_Settings.device_revision, false))
        return;
    const QString path = QFileDialog::getSaveFileName(this, tr("Save INI"), QString::fromStdString(strDefaultINIFilePath()),
                                                      tr("INI (*.ini)"));
    if (path.isEmpty()) return;
    Ini ini;
    ini.m_pINI = m_Settings;
    ini.vStoreINIFile(path.toStdString());
}

void CDEVedaDlg::OnBnClickedButtonBrowseFw()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Browse FW"), QString(), tr("Firmware (*.bin)"));
    if (path.isEmpty()) return;
    const std::string value = path.toStdString();
    PostSettingsChange([value](IniSettings& s) { SetIniString(s.fw_binary_name, value); });
    ShowSettings(m_Settings);
}

void CDEVedaDlg::OnBnClickedButtonBrowsePreload()
{
    const QString path = QFileDialog::getExistingDirectory(this, tr("Browse Preload File"));
    if (path.isEmpty()) return;
    const std::string value = path.toStdString();
    PostSettingsChange([value](IniSettings& s) { SetIniString(s.preload_folder_path, value); });
    ShowSettings(m_Settings);
}

void CDEVedaDlg::OnBnClickedMoreConfig()
{
    PCIEUSBConfigDlg dialog(m_Settings, this);
    RunSettingsDialog(dialog);
}

void CDEVedaDlg::OnBnClickedButtonUsb4MoreConfig()
{
    USB4_MoreConfig dialog(m_Settings, this);
    RunSettingsDialog(dialog);
}

void CDEVedaDlg::RunSettingsDialog(CSettingsDlg& dialog)
{
    if (dialog.exec() != QDialog::Accepted) return;
    for (const SettingsChange& change : dialog.Changes()) PostSettingsChange(change);
}

void CDEVedaDlg::OnBnClickedButtonSha256()
{
    SHA256_Dlg dialog(m_bSHA256Option, this);
    dialog.exec();
    m_bSHA256Option = dialog.bOption(m_bSHA256Option);
    if (m_pEngine) m_pEngine->SetSendSHA256Key(m_bSHA256Option);
}

void CDEVedaDlg::OnBnClickedButtonDebug()
{
    if (!m_pEngine) return;
    // The bridge of the selected result row (the first when none is selected).
    const int row = std::clamp(m_pResultList->currentRow(), 0, MAX_DEVICES - 1);
    const DebugChoice choice{static_cast<uint8_t>(row), static_cast<uint8_t>(m_pDebugImage->currentIndex() == 1)};
    CDebugDlg dialog(*m_pEngine, choice, m_MessagePresenter, this);
    dialog.exec();
}

void CDEVedaDlg::OnBnClickedButtonPd()
{
    if (!m_pEngine) return;
    const PDDialogSettings before{m_Settings.pd_binary_name, m_Settings.mcu_binary_name, m_Settings.pd_fw_enable != 0,
                                  m_Settings.mcu_fw_enable != 0};
    CPDUpdateDlg dialog(*m_pEngine, before, m_MessagePresenter, this);
    dialog.exec();
    // The paths and enables go back to the settings when the dialog closes.
    const PDDialogSettings after = dialog.Settings();
    PostSettingsChange([after](IniSettings& s) {
        SetIniString(s.pd_binary_name, after.pdPath);
        SetIniString(s.mcu_binary_name, after.mcuPath);
        s.pd_fw_enable = after.pdEnabled ? 1 : 0;
        s.mcu_fw_enable = after.mcuEnabled ? 1 : 0;
    });
}

void CDEVedaDlg::OnBnClickedButtonPdTest()
{
    if (!m_pEngine) return;
    const QString path = m_TIFileChooser ? m_TIFileChooser()
                                         : QFileDialog::getOpenFileName(this, tr("TI PD File"), {},
                                                                        QStringLiteral("BIN Files (*.bin);;All Files (*.*)"));
    if (path.isEmpty()) return;
    const int row = std::clamp(m_pResultList->currentRow(), 0, MAX_DEVICES - 1);
    setEnabled(false);
    // The step messages wait for the operator on this thread, as the engine's own do.
    const auto result = AwaitEngine(m_pEngine->RunOnEngine(
        [row, file = path.toStdString(), &observer = m_Observer](engine::EngineAccess& access) {
            const DeviceInfo& device = access.devices.Devs[row];
            // Only a bridge on the USB path carries the TI controller's commands.
            if (device.m_ucPhysicalAddress == kAddressUnset || device.IsPcie != 0) {
                DBG_ERR("%s:%d: PD test: no USB bridge on row %d", row);
                observer.OnOperatorMessage("Can not Found BRV521x Device", kMsgError);
                return kCommandFailed;
            }
            pd::CTIPDUpdate ti(access.dev.Station());
            return ti.iTI_PD_FWUpdate(device.m_ucPhysicalAddress, file, [&observer](const std::string& text) {
                observer.OnOperatorMessage(text, kMsgInformation);
            });
        }));
    setEnabled(true);
    DBG_MSG("%s:%d: iTI_PD_FWUpdate:%d", result.value_or(kCommandFailed));
}

bool CDEVedaDlg::OpenSNAndPStringEnteringDialog()
{
    m_bSNDialogOpen = true;
    app::CSNDlg dialog(
        m_Settings,
        [this] { return m_pEngine ? static_cast<unsigned>(m_pEngine->Snapshot()->devices.DevNums) : 0u; }, this);
    const bool ok = dialog.exec() == QDialog::Accepted;
    m_bSNDialogOpen = false;
    std::string mainEdit;
    IniSettings settings = m_Settings;
    const bool result = OpenSNAndPStringEnteringDialogResult(dialog.Model(), ok, settings, mainEdit);
    {
        const QSignalBlocker quiet(m_pSerialNumber);
        m_pSerialNumber->setText(QString::fromStdString(mainEdit));
    }
    PostSettingsChange([mainEdit](IniSettings& s) { SetIniString(s.serial_number, mainEdit); });
    return result;
}

void CDEVedaDlg::vAskSerialNumber(uint32_t)
{
    if (m_bSNDialogOpen || m_bEnding) return;
    if (OpenSNAndPStringEnteringDialog()) OnBnClickedButtonStart();
}

void CDEVedaDlg::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

// ---------------------------------------------------------------------------------
// Engine state shown

void CDEVedaDlg::vShowCell(int row, int column, const std::string& text, int, engine::CellColours colours)
{
    m_pResultList->SetCell(row, column, QString::fromStdString(text), ToColour(colours.background),
                           ToColour(colours.text));
}

void CDEVedaDlg::vShowProgressPosition(int position) { m_pProgress->setValue(position); }

void CDEVedaDlg::vShowBarColour(engine::Rgb colour) { m_pProgress->SetBarColour(ToColour(colour)); }

void CDEVedaDlg::vShowProgressText(const std::string& text) { m_pProgress->SetText(QString::fromStdString(text)); }

void CDEVedaDlg::vShowIndicators(bool showPass, bool showFail)
{
    m_pPassIndicator->setVisible(showPass);
    m_pFailIndicator->setVisible(showFail);
}

void CDEVedaDlg::vShowCounters(uint32_t passCount, uint32_t failCount, uint32_t totalCount)
{
    m_pPassCount->setText(QString::number(passCount));
    m_pFailCount->setText(QString::number(failCount));
    m_pTotalCount->setText(QString::number(totalCount));
}

void CDEVedaDlg::vSetEngineControlSet(engine::ControlSet set)
{
    m_EngineSet = set;
    ApplyControlEnabling();
}

void CDEVedaDlg::vSetStartEnabled(bool enabled)
{
    m_bStartEnabled = enabled;
    ApplyControlEnabling();
}

int CDEVedaDlg::iShowOperatorMessage(const std::string& text, int kind) { return m_MessagePresenter(text, kind); }

void CDEVedaDlg::vEndWithCode(int exitCode)
{
    m_iExitCode = exitCode;
    close();
}

void CDEVedaDlg::SetMessagePresenter(std::function<int(const std::string&, int)> presenter)
{
    m_MessagePresenter = std::move(presenter);
}

engine::ControlSet CDEVedaDlg::EffectiveControlSet() const
{
    if (m_EngineSet == engine::ControlSet::kDisabled) return engine::ControlSet::kDisabled;
    return (!m_bChangeMode && m_Settings.auto_mp) ? engine::ControlSet::kAutoMode : engine::ControlSet::kNormal;
}

// ---------------------------------------------------------------------------------

void CDEVedaDlg::PostSettingsChange(SettingsChange change)
{
    change(m_Settings);
    if (m_pEngine) m_uSettingsTicket = m_pEngine->UpdateSettings(change);
    ApplyControlEnabling();  // the firmware switch and auto mode change what is usable
}

void CDEVedaDlg::ShowSettings(const IniSettings& settings)
{
    m_Settings = settings;
    m_Controls.Show(settings);
}

void CDEVedaDlg::ApplyControlEnabling()
{
    const engine::ControlSet set = EffectiveControlSet();
    // Settings are edited only while unlocked and while nothing runs.
    const bool editable = set == engine::ControlSet::kNormal && m_bChangeMode;
    m_Controls.SetEnabled(editable);
    for (QWidget* w : m_SettingButtons) w->setEnabled(editable);
    for (QWidget* w : m_FirmwareControls) w->setEnabled(editable && m_Settings.fw_enable);
    // In auto mode the engine starts the runs itself.
    m_pStart->setEnabled(set == engine::ControlSet::kNormal && m_bStartEnabled && !m_StartPending);
    m_pSafelyRemove->setEnabled(set != engine::ControlSet::kDisabled);
    m_pClearCount->setEnabled(set != engine::ControlSet::kDisabled);
}

void CDEVedaDlg::PollEngine()
{
    if (!m_pEngine) return;
    if (m_StartPending && m_StartPending->wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        const engine::StartResult result = m_StartPending->get();
        m_StartPending.reset();
        const QSignalBlocker quiet(m_pSerialNumber);
        m_pSerialNumber->setText(QString::fromStdString(result.snText));
        ApplyControlEnabling();
    }
    // When a scan, run or removal has ended, or a run was counted (it may be over
    // between two polls), the engine may have moved the settings on (the next
    // serial number): its copy is shown once the engine is idle and holds the
    // window's own last change (an older copy would undo that change on the screen).
    const auto state = m_pEngine->Snapshot();
    const bool busy = state->activity.scanning || state->activity.running || state->activity.removing;
    if ((m_bEngineBusy && !busy) || state->table.totalCount != m_uShownTotal) m_bSettingsDue = true;
    const bool current = state->settingsTicket >= m_uSettingsTicket;
    if (m_bSettingsDue && !busy && !m_StartPending && current) {
        ShowSettings(state->settings);
        m_uShownTotal = state->table.totalCount;
        m_bSettingsDue = false;
    }
    m_bEngineBusy = busy;
}

void CDEVedaDlg::EndEngine()
{
    if (!m_pEngine) return;
    m_bEnding = true;
    m_PollTimer.stop();
    m_Observer.SetClosing();
    m_pEngine->StopRun();
    m_pEngine.reset();  // joins the engine thread, which joins the scan, the run and the removal
    CUSBUtility::Instance().SetMessageSink(nullptr);
}

void CDEVedaDlg::closeEvent(QCloseEvent* event)
{
    EndEngine();
    DBG_MSG("%s:%d: OnClose");
    event->accept();
}

}  // namespace app
