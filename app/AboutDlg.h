#pragma once
// The About box of the system menu: the window's title text.
#include <QDialog>

namespace app {

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace app
