#include "app/SHA256Dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

namespace app {

SHA256_Dlg::SHA256_Dlg(bool bSHA256Option, QWidget* parent)
    : QDialog(parent), m_pCheck(new QCheckBox(tr("Send SHA256 Key"), this))
{
    setWindowTitle(tr("Modify SHA256 initial Key"));
    m_Model.OnInitDialog(bSHA256Option);
    auto* grid = new QGridLayout(this);
    for (int number = 1; number <= static_cast<int>(m_Fields.size()); ++number) {
        auto* field = new QLineEdit(QString::fromStdString(m_Model.Field(number)), this);
        field->setObjectName(QStringLiteral("key%1").arg(number));
        m_Fields[static_cast<size_t>(number - 1)] = field;
        connect(field, &QLineEdit::textEdited, this, [this, number] { OnEnChangeEditSha256Key(number); });
        grid->addWidget(new QLabel(QStringLiteral("H%1").arg(number - 1), this), (number - 1) / 4, ((number - 1) % 4) * 2);
        grid->addWidget(field, (number - 1) / 4, ((number - 1) % 4) * 2 + 1);
    }
    m_pCheck->setObjectName(QStringLiteral("send_key"));
    m_pCheck->setChecked(m_Model.GetCheck());
    connect(m_pCheck, &QCheckBox::toggled, this, [this](bool on) { m_Model.SetCheck(on); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    grid->addWidget(m_pCheck, 2, 0, 1, 4);
    grid->addWidget(buttons, 3, 0, 1, 8);
}

void SHA256_Dlg::OnEnChangeEditSha256Key(int number)
{
    QLineEdit* field = KeyField(number);
    int caret = field->cursorPosition();
    const std::string filtered = m_Model.OnEnChangeEditSha256Key(number, field->text().toStdString(), &caret);
    const QSignalBlocker quiet(field);
    field->setText(QString::fromStdString(filtered));
    field->setCursorPosition(caret);
}

bool SHA256_Dlg::bOption(bool option) const
{
    m_Model.OnClose(result() == QDialog::Accepted, option);
    return option;
}

}  // namespace app
