#include "app/AboutDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/DEVedaDlg.h"

namespace app {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("About DEVeda"));
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QLatin1String(kWindowTitle), this);
    title->setObjectName(QStringLiteral("about_title"));
    layout->addWidget(title);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

}  // namespace app
