#include "app/MessageBox.h"

#include <QMessageBox>

#include "util/USBUtility.h"

namespace app {

int iShowMessageBox(QWidget* parent, const std::string& text, int kind)
{
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromUtf8(ProgramMessageCaption(kind)));
    box.setText(QString::fromStdString(text));
    switch (kind) {
    case kMsgError: box.setIcon(QMessageBox::Critical); break;
    case kMsgTimeOut:
    case kMsgWarning: box.setIcon(QMessageBox::Warning); break;
    case kMsgQuestion: box.setIcon(QMessageBox::Question); break;
    default: box.setIcon(QMessageBox::Information); break;
    }
    if (kind == kMsgQuestion) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return kAnswerOk;
}

}  // namespace app
