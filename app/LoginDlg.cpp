#include "app/LoginDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "log/DebugLog.h"

namespace app {

bool bIsUnlockPassword(const QString& password)
{
    return !password.isEmpty() && password.compare(QLatin1String(kUnlockPassword), Qt::CaseInsensitive) == 0;
}

CLoginDlg::CLoginDlg(QWidget* parent) : QDialog(parent), m_pPassword(new QLineEdit(this))
{
    setWindowTitle(tr("Login"));
    m_pPassword->setEchoMode(QLineEdit::Password);
    m_pPassword->setObjectName(QStringLiteral("password"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Password"), this));
    layout->addWidget(m_pPassword);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CLoginDlg::OnBnClickedOk);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CLoginDlg::OnBnClickedOk()
{
    m_LoginDialogPassword = m_pPassword->text();
    m_bUnlocked = bIsUnlockPassword(m_LoginDialogPassword);
    if (!m_bUnlocked) {
        DBG_ERR("%s:%d: OnBnClickedOk: Loing Password Fail , m_LoginDialogPassword : %s , m_bChangeMode : %d , "
                "dwErrorCode : %d ",
                m_LoginDialogPassword.toStdString().c_str(), 0, 0);
        m_pPassword->setFocus();
    }
    // The dialog closes either way; the caller reads m_bUnlocked.
    accept();
}

}  // namespace app
