#include "app/PDUpdateDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <optional>

#include "app/EngineCall.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "pd/PDPorts.h"
#include "util/USBUtility.h"
#include "widgets/TextProgressCtrl.h"

namespace app {

namespace {

constexpr const char* kNoVersion = "NULL";

QColor FromRgb(uint32_t rgb) { return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// The update's observer on the engine thread: every call goes to the dialog as a
// queued call (dropped if the dialog is gone); the power cycle the update asks
// for is the station's (an emulated station's operator does it, a real one
// waits for the person at the station).
class QueuedPDView final : public pd::IPDUpdateObserver {
public:
    QueuedPDView(CPDUpdateDlg* dialog, platform::IStation& station) : m_Dialog(dialog), m_Station(station) {}
    void OnStatus(int port, int statusCode) override
    {
        Post([=](CPDUpdateDlg& d) { d.vShowStatus(port, statusCode); });
    }
    void OnProgress(int port, int percent, uint32_t barRgb) override
    {
        Post([=](CPDUpdateDlg& d) { d.vShowProgress(port, percent, barRgb); });
    }
    void OnVersion(int port, const std::string& text) override
    {
        Post([=](CPDUpdateDlg& d) { d.vShowVersion(port, text); });
    }
    void OnMessage(int port, const std::string& text) override
    {
        Post([=](CPDUpdateDlg& d) { d.vShowMessage(port, text); });
    }
    void OnPowerCycleRequest(int, int drive) override { m_Station.OperatorPowerCycle(static_cast<uint32_t>(drive)); }
    void OnFinished(int, int) override {}

private:
    void Post(std::function<void(CPDUpdateDlg&)> call)
    {
        QMetaObject::invokeMethod(
            m_Dialog.data(), [dialog = m_Dialog, call = std::move(call)] {
                if (dialog) call(*dialog);
            },
            Qt::QueuedConnection);
    }
    QPointer<CPDUpdateDlg> m_Dialog;
    platform::IStation& m_Station;
};

// For the model's uses that report nothing (versions, closing the buses).
class SilentPDView final : public pd::IPDUpdateObserver {
public:
    void OnStatus(int, int) override {}
    void OnProgress(int, int, uint32_t) override {}
    void OnVersion(int, const std::string&) override {}
    void OnMessage(int, const std::string&) override {}
    void OnPowerCycleRequest(int, int) override {}
    void OnFinished(int, int) override {}
};

struct FoundPorts {
    std::vector<pd::PDPort> ports;
    std::vector<std::string> versions;
};

}  // namespace

CPDUpdateDlg::CPDUpdateDlg(engine::CMPEngine& engine, PDDialogSettings settings, MessagePresenter presenter,
                           QWidget* parent)
    : QDialog(parent),
      m_Engine(engine),
      m_Presenter(std::move(presenter)),
      m_pPdPath(new QLineEdit(QString::fromStdString(settings.pdPath), this)),
      m_pMcuPath(new QLineEdit(QString::fromStdString(settings.mcuPath), this)),
      m_pPdEnable(new QCheckBox(tr("PD Update"), this)),
      m_pMcuEnable(new QCheckBox(tr("MCU Update"), this)),
      m_pStart(new QPushButton(tr("Start"), this)),
      m_pVerify(new QPushButton(tr("Verify"), this)),
      m_pPortArea(new QWidget(this))
{
    setWindowTitle(tr("Power Delivery"));
    QFont arial(QStringLiteral("Arial"));
    setFont(arial);
    m_pPdPath->setObjectName(QStringLiteral("PD Path"));
    m_pMcuPath->setObjectName(QStringLiteral("MCU Path"));
    m_pPdEnable->setObjectName(QStringLiteral("PD Update"));
    m_pMcuEnable->setObjectName(QStringLiteral("MCU Update"));
    m_pStart->setObjectName(QStringLiteral("Start"));
    m_pVerify->setObjectName(QStringLiteral("Verify"));
    m_pPdEnable->setChecked(settings.pdEnabled);
    m_pMcuEnable->setChecked(settings.mcuEnabled);
    auto* browsePd = new QPushButton(tr("Browse PD"), this);
    auto* browseMcu = new QPushButton(tr("Browse MCU"), this);
    browsePd->setObjectName(QStringLiteral("Browse PD"));
    browseMcu->setObjectName(QStringLiteral("Browse MCU"));
    connect(browsePd, &QPushButton::clicked, this, &CPDUpdateDlg::OnBnClickedButtonBrowsePd);
    connect(browseMcu, &QPushButton::clicked, this, &CPDUpdateDlg::OnBnClickedButtonBrowseMcu);
    connect(m_pStart, &QPushButton::clicked, this, &CPDUpdateDlg::OnBnClickedButtonPdStart);
    connect(m_pVerify, &QPushButton::clicked, this, &CPDUpdateDlg::OnBnClickedButtonPdFwVerify);

    auto* files = new QGridLayout;
    files->addWidget(m_pPdEnable, 0, 0);
    files->addWidget(m_pPdPath, 0, 1);
    files->addWidget(browsePd, 0, 2);
    files->addWidget(m_pMcuEnable, 1, 0);
    files->addWidget(m_pMcuPath, 1, 1);
    files->addWidget(browseMcu, 1, 2);
    new QGridLayout(m_pPortArea);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(files);
    layout->addWidget(m_pPortArea, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pStart);
    buttons->addWidget(m_pVerify);
    layout->addLayout(buttons);
    resize(720, 200);
    OnInitDialog();
}

CPDUpdateDlg::~CPDUpdateDlg()
{
    if (m_Ports.empty()) return;
    // The PD buses of the ports are closed when the dialog goes (on the engine thread, not waited for).
    std::vector<pd::PDPortOutcome> buses(m_Ports.size());
    for (size_t i = 0; i < m_Ports.size(); ++i)
        buses[i].drive = i < m_Outcomes.size() ? m_Outcomes[i].drive : m_Ports[i].drive;
    m_Engine.RunOnEngine([buses, settings = ModelSettings()](engine::EngineAccess& access) {
        SilentPDView silent;
        pd::CPDUpdateDlg model(access.dev.Station(), settings, {}, silent);
        model.ClosePDBuses(buses);
    });
}

pd::PDUpdateSettings CPDUpdateDlg::ModelSettings() const
{
    pd::PDUpdateSettings settings;
    if (!m_pPdPath->text().isEmpty()) settings.pdFiles.push_back(m_pPdPath->text().toStdString());
    settings.mcuFile = m_pMcuPath->text().toStdString();
    settings.pdEnabled = m_pPdEnable->isChecked();
    settings.mcuEnabled = m_pMcuEnable->isChecked();
    return settings;
}

PDDialogSettings CPDUpdateDlg::Settings() const
{
    return {m_pPdPath->text().toStdString(), m_pMcuPath->text().toStdString(), m_pPdEnable->isChecked(),
            m_pMcuEnable->isChecked()};
}

void CPDUpdateDlg::OnInitDialog()
{
    const auto found = AwaitEngine(m_Engine.RunOnEngine([settings = ModelSettings()](engine::EngineAccess& access) {
        FoundPorts ports;
        platform::IStation& station = access.dev.Station();
        ports.ports = pd::FindPDPorts(station);
        SilentPDView silent;
        pd::CPDUpdateDlg model(station, settings, {}, silent);
        for (const pd::PDPort& port : ports.ports) ports.versions.push_back(model.GetPDFWVersion(port));
        return ports;
    }));
    if (!found || found->ports.empty()) {
        DBG_ERR("%s:%d: Do not detect BRV521x");
        m_Presenter("Can not Found BRV521x Device", kMsgError);
        m_pStart->setEnabled(false);
        m_pVerify->setEnabled(false);
        return;
    }
    m_Ports = found->ports;
    for (size_t i = 0; i < m_Ports.size(); ++i) {
        AddPortRow(static_cast<int>(i));
        vShowVersion(static_cast<int>(i), found->versions[i]);
    }
}

void CPDUpdateDlg::AddPortRow(int port)
{
    auto* grid = static_cast<QGridLayout*>(m_pPortArea->layout());
    PortRow row;
    row.picture = new QLabel(m_pPortArea);
    row.picture->setObjectName(QStringLiteral("picture%1").arg(port));
    row.picture->setAlignment(Qt::AlignCenter);
    row.picture->setMinimumSize(60, 28);
    row.version = new QLabel(m_pPortArea);
    row.version->setObjectName(QStringLiteral("version%1").arg(port));
    row.status = new QLabel(m_pPortArea);
    row.status->setObjectName(QStringLiteral("status%1").arg(port));
    row.status->setMinimumWidth(90);
    row.status->setAlignment(Qt::AlignCenter);
    row.progress = new widgets::CTextProgressCtrl(m_pPortArea);
    row.progress->setObjectName(QStringLiteral("progress%1").arg(port));
    row.progress->setRange(0, 100);
    row.progress->SetBarColour(FromRgb(pd::kPDBarRunning));
    grid->addWidget(new QLabel(QStringLiteral("PD[%1]").arg(port), m_pPortArea), port, 0);
    grid->addWidget(row.picture, port, 1);
    grid->addWidget(row.version, port, 2);
    grid->addWidget(row.status, port, 3);
    grid->addWidget(row.progress, port, 4);
    grid->setColumnStretch(4, 1);
    m_Rows.push_back(row);
}

void CPDUpdateDlg::OnBnClickedButtonPdStart() { RunUpdate(false); }

void CPDUpdateDlg::OnBnClickedButtonPdFwVerify() { RunUpdate(true); }

void CPDUpdateDlg::RunUpdate(bool verify)
{
    if (m_bUpdating || m_Ports.empty()) return;
    m_bUpdating = true;
    m_pStart->setEnabled(false);
    m_pVerify->setEnabled(false);
    for (int port = 0; port < PortCount(); ++port) {
        vShowStatus(port, pd::kPDStatusUpdating);
        vShowProgress(port, 0, pd::kPDBarRunning);
    }
    QPointer<CPDUpdateDlg> self(this);
    const auto outcomes = AwaitEngine(
        m_Engine.RunOnEngine([self, verify, ports = m_Ports, settings = ModelSettings()](engine::EngineAccess& access) {
            platform::IStation& station = access.dev.Station();
            QueuedPDView view(self.data(), station);
            pd::CPDUpdateDlg model(station, settings, pd::RelinkBySerial(station), view);
            if (verify) return model.OnBnClickedButtonPdFwVerify(ports);
            // Refused files touch no port: the findings reached the view as messages.
            if (!model.LoadFiles()) return std::vector<pd::PDPortOutcome>{};
            return model.OnBnClickedButtonPdStart(ports);
        }));
    m_bUpdating = false;
    m_pStart->setEnabled(true);
    m_pVerify->setEnabled(true);
    if (!outcomes || outcomes->empty()) {
        for (int port = 0; port < PortCount(); ++port) {
            vShowStatus(port, pd::kPDStatusFail);
            vShowProgress(port, 100, pd::kPDBarFailed);
        }
        return;
    }
    m_Outcomes = *outcomes;
    // A port's disk number changes with its power cycle.
    for (size_t i = 0; i < m_Ports.size() && i < m_Outcomes.size(); ++i) m_Ports[i].drive = m_Outcomes[i].drive;
}

void CPDUpdateDlg::OnBnClickedButtonBrowsePd()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("PD File"), m_pPdPath->text(),
                                                      QStringLiteral("PD Files (*.cyacd);;All Files (*.*)"));
    if (!path.isEmpty()) m_pPdPath->setText(path);
}

void CPDUpdateDlg::OnBnClickedButtonBrowseMcu()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("MCU File"), m_pMcuPath->text(),
                                                      QStringLiteral("MCU Files (*.hex);;All Files (*.*)"));
    if (!path.isEmpty()) m_pMcuPath->setText(path);
}

void CPDUpdateDlg::reject()
{
    // The update threads end on their own: the dialog stays until they have.
    if (!m_bUpdating) QDialog::reject();
}

void CPDUpdateDlg::vShowStatus(int port, int statusCode)
{
    if (port < 0 || port >= PortCount()) return;
    const pd::PDStatusLook look = pd::Show_Message(statusCode);
    QLabel* status = StatusStatic(port);
    status->setText(QLatin1String(look.text));
    status->setStyleSheet(QStringLiteral("QLabel { color: %1; font-weight: bold; }").arg(FromRgb(look.rgb).name()));
}

void CPDUpdateDlg::vShowProgress(int port, int percent, uint32_t barRgb)
{
    if (port < 0 || port >= PortCount()) return;
    widgets::CTextProgressCtrl* bar = Progress(port);
    bar->setValue(percent);
    bar->SetBarColour(FromRgb(barRgb));
    bar->SetText(QStringLiteral("%1%").arg(percent));
}

void CPDUpdateDlg::vShowVersion(int port, const std::string& text)
{
    if (port < 0 || port >= PortCount()) return;
    const bool answers = text != kNoVersion;
    // The picture says whether the PD answered ("pd") or not ("unpd").
    QLabel* picture = Picture(port);
    picture->setText(answers ? QStringLiteral("pd") : QStringLiteral("unpd"));
    picture->setStyleSheet(answers ? QStringLiteral("QLabel { background-color: #14e814; }")
                                   : QStringLiteral("QLabel { background-color: #a0a0a0; }"));
    VersionStatic(port)->setText(QString::fromStdString(text));
    if (!answers) vShowStatus(port, pd::kPDStatusEmpty);
}

void CPDUpdateDlg::vShowMessage(int, const std::string& text) { m_Presenter(text, kMsgWarning); }

}  // namespace app
