#pragma once
// The login dialog of the Unlock button: one password field, OK and Cancel.
#include <QDialog>

class QLineEdit;

namespace app {

// The unlock password, compared ignoring case.
inline constexpr const char* kUnlockPassword = "KESTRAL";

// True when `password` is not empty and equals the unlock password ignoring case.
bool bIsUnlockPassword(const QString& password);

class CLoginDlg : public QDialog {
public:
    explicit CLoginDlg(QWidget* parent = nullptr);
    // What OK accepted: the text typed and whether it unlocks.
    QString m_LoginDialogPassword;
    bool m_bUnlocked = false;

    QLineEdit* PasswordEdit() const { return m_pPassword; }
    void OnBnClickedOk();

private:
    QLineEdit* m_pPassword;
};

}  // namespace app
