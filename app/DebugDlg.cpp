#include "app/DebugDlg.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>
#include <ctime>

#include "app/EngineCall.h"
#include "device/debug/DebugAccess.h"
#include "engine/MPEngine.h"
#include "util/USBUtility.h"
#include "widgets/ListCtrlEx.h"

namespace app {

namespace {

// Register addresses are 32-bit on the USB path (the upper bank starts at 0x20000).
constexpr uint32_t kMaxRegisterAddress = 0xFFFFFFFF;
constexpr uint32_t kMaxRegisterValue = 0xFF;

// Runs one debug operation on the engine thread for the chosen bridge. The
// dialog takes no other click meanwhile (its events keep flowing while it waits).
template <class Work>
auto OnEngine(QWidget& dialog, engine::CMPEngine& engine, DebugChoice choice, Work work)
{
    dialog.setEnabled(false);
    auto answer = AwaitEngine(engine.RunOnEngine([choice, work](engine::EngineAccess& access) {
        return work(DebugDevice{access.dev, access.pcie, access.devices, choice.record, choice.image});
    }));
    dialog.setEnabled(true);
    return answer;
}

QPushButton* AddButton(QWidget* parent, QGridLayout* grid, const char* text, int row, int column)
{
    auto* button = new QPushButton(QLatin1String(text), parent);
    button->setObjectName(QLatin1String(text));
    grid->addWidget(button, row, column);
    return button;
}

QLineEdit* AddEdit(QWidget* parent, QGridLayout* grid, const char* label, int row)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(label));
    grid->addWidget(new QLabel(QLatin1String(label), parent), row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

}  // namespace

CDebugDlg::CDebugDlg(engine::CMPEngine& engine, DebugChoice choice, MessagePresenter presenter, QWidget* parent)
    : QDialog(parent), m_Engine(engine), m_Choice(choice), m_Presenter(std::move(presenter))
{
    auto* grid = new QGridLayout;
    m_pAddress = AddEdit(this, grid, "Address", 0);
    m_pLength = AddEdit(this, grid, "Length", 1);
    m_pValue = AddEdit(this, grid, "Value", 2);
    const std::pair<const char*, void (CDebugDlg::*)()> buttons[] = {
        {"Read Register", &CDebugDlg::OnBnClickedButtonReadRegister},
        {"Write Register", &CDebugDlg::OnBnClickedButtonWriteRegister},
        {"Read Config Table", &CDebugDlg::OnBnClickedButtonReadConfigTable},
        {"Read U4 Config Table", &CDebugDlg::OnBnClickedButtonReadU4ConfigTable},
        {"Device Info", &CDebugDlg::OnBnClickedButtonDeviceInfo},
        {"U4 Info", &CDebugDlg::OnBnClickedButtonU4Info},
    };
    int row = 0;
    for (const auto& [text, handler] : buttons)
        connect(AddButton(this, grid, text, row++, 2), &QPushButton::clicked, this, handler);
    m_pDisplay = new QPlainTextEdit(this);
    m_pDisplay->setObjectName(QStringLiteral("display"));
    m_pDisplay->setReadOnly(true);
    m_pDisplay->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pDisplay->setMinimumSize(420, 170);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(m_pDisplay, 1);
    char title[64];
    std::snprintf(title, sizeof title, "Debug - device %d, image %d", choice.record, choice.image);
    setWindowTitle(QLatin1String(title));
}

void CDebugDlg::OnBnClickedButtonReadRegister()
{
    const auto address = ParseHexField(m_pAddress->text().toStdString(), kMaxRegisterAddress);
    if (!address) {
        m_Presenter("Invalid value for register address", kMsgError);
        return;
    }
    const auto length = ParseHexField(m_pLength->text().toStdString(), kMaxRegisterLengthText);
    if (!length) {
        m_Presenter("Invalid value for register length", kMsgError);
        return;
    }
    const auto answer = OnEngine(*this, m_Engine, m_Choice, [a = *address, n = *length](const DebugDevice& target) {
        return ReadRegister(target, a, n);
    });
    if (!answer) return;
    if (!answer->message.empty()) {
        m_Presenter(answer->message, kMsgError);
        return;
    }
    m_pDisplay->setPlainText(QString::fromStdString(answer->text));
}

void CDebugDlg::OnBnClickedButtonWriteRegister()
{
    const auto address = ParseHexField(m_pAddress->text().toStdString(), kMaxRegisterAddress);
    if (!address) {
        m_Presenter("Invalid value for register address", kMsgError);
        return;
    }
    // One byte is written: a larger value would be cut short without a word.
    const auto value = ParseHexField(m_pValue->text().toStdString(), kMaxRegisterValue);
    if (!value) {
        m_Presenter("Invalid value for register value", kMsgError);
        return;
    }
    const auto answer = OnEngine(*this, m_Engine, m_Choice, [a = *address, v = static_cast<uint8_t>(*value)](
                                                         const DebugDevice& target) { return WriteRegister(target, a, v); });
    if (answer && !answer->message.empty()) m_Presenter(answer->message, kMsgError);
}

void CDebugDlg::ReadTable(uint8_t configType)
{
    const auto answer = OnEngine(*this, m_Engine, m_Choice,
                                 [configType](const DebugDevice& target) { return ReadConfigArea(target, configType); });
    if (!answer) return;
    m_pDisplay->setPlainText(QString::fromStdString(answer->text));
    if (!answer->message.empty()) m_Presenter(answer->message, kMsgError);
}

void CDebugDlg::OnBnClickedButtonReadConfigTable() { ReadTable(kConfigTypeTable); }

void CDebugDlg::OnBnClickedButtonReadU4ConfigTable() { ReadTable(kConfigTypeU4Block); }

void CDebugDlg::OnBnClickedButtonDeviceInfo()
{
    CDeviceInfoDlg dialog(m_Engine, m_Choice, m_Presenter, this);
    dialog.exec();
}

void CDebugDlg::OnBnClickedButtonU4Info()
{
    const auto answer = OnEngine(*this, m_Engine, m_Choice, [](const DebugDevice& target) { return U4Info(target); });
    if (answer) m_Presenter(answer->message, kMsgInformation);
}

// ---------------------------------------------------------------------------------

CDeviceInfoDlg::CDeviceInfoDlg(engine::CMPEngine& engine, DebugChoice choice, MessagePresenter presenter,
                               QWidget* parent)
    : QDialog(parent),
      m_pList(new widgets::CListCtrlEx(this)),
      m_pUSBMode(new QLabel(this)),
      m_pDeviceCode(new QLabel(this))
{
    setWindowTitle(tr("Device Info"));
    m_pList->setObjectName(QStringLiteral("config_list"));
    m_pUSBMode->setObjectName(QStringLiteral("usb_mode"));
    m_pDeviceCode->setObjectName(QStringLiteral("device_code"));
    QList<widgets::ListColumn> columns;
    for (const char* title : kConfigSettingColumns) columns.push_back({QLatin1String(title), 60});
    m_pList->SetColumns(columns);
    m_pList->SetRowCount(1);
    m_pList->setMinimumSize(640, 70);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pList);
    layout->addWidget(m_pUSBMode);
    layout->addWidget(m_pDeviceCode);
    OnInitDialog(engine, choice, presenter);
}

void CDeviceInfoDlg::OnInitDialog(engine::CMPEngine& engine, DebugChoice choice, const MessagePresenter& presenter)
{
    // The device code's numbers come from a generator seeded with the low byte of the time.
    const unsigned seed = static_cast<unsigned>(std::time(nullptr) & 0xFF);
    const auto view =
        OnEngine(*this, engine, choice, [seed](const DebugDevice& target) { return ReadDeviceInfo(target, seed); });
    if (!view) return;
    for (int column = 0; column < static_cast<int>(view->row.size()); ++column)
        m_pList->SetCell(0, column, QString::fromStdString(view->row[static_cast<size_t>(column)]), Qt::white,
                         Qt::black);
    m_pUSBMode->setText(QString::fromStdString(view->usbMode));
    m_pDeviceCode->setText(QString::fromStdString(view->deviceCode));
    for (const std::string& message : view->messages) presenter(message, kMsgError);
}

}  // namespace app
