#include "app/SNDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace app {

CSNDlg::CSNDlg(const IniSettings& settings, std::function<unsigned()> deviceCount, QWidget* parent)
    : QDialog(parent),
      m_Settings(settings),
      m_Model(m_Settings),
      m_DeviceCount(std::move(deviceCount)),
      m_pEdit(new QLineEdit(this))
{
    setWindowTitle(QStringLiteral("Serial Number Entering"));
    m_pEdit->setObjectName(QStringLiteral("Serial Number"));
    connect(m_pEdit, &QLineEdit::textChanged, this, &CSNDlg::OnEnChangeEditDeviceArrivalDialogPcbSn);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Serial Number :"), m_pEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    m_pEdit->setFocus();
}

void CSNDlg::OnEnChangeEditDeviceArrivalDialogPcbSn()
{
    const std::string shown =
        m_Model.OnEnChangeEditDeviceArrivalDialogPcbSn(m_pEdit->text().toStdString(), m_DeviceCount());
    const QString text = QString::fromStdString(shown);
    if (text == m_pEdit->text()) return;
    // Written back without calling this handler again; the caret stays at the end of the kept text.
    const QSignalBlocker quiet(m_pEdit);
    m_pEdit->setText(text);
}

}  // namespace app
