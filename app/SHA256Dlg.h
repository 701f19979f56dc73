#pragma once
// The "Modify SHA256 initial Key" dialog: the eight words of the key (for display;
// the key sent is the built-in one) and the check box that makes the workers
// send the key, over CSHA256KeyDlgModel.
#include <QDialog>
#include <array>

#include "security/SHA256KeyDlg.h"

class QCheckBox;
class QLineEdit;

namespace app {

class SHA256_Dlg : public QDialog {
public:
    SHA256_Dlg(bool bSHA256Option, QWidget* parent = nullptr);
    QLineEdit* KeyField(int number) const { return m_Fields.at(static_cast<size_t>(number - 1)); }
    QCheckBox* SendKeyCheck() const { return m_pCheck; }
    // The option after the dialog closed: the check box's value on OK, `option` on Cancel.
    bool bOption(bool option) const;

private:
    void OnEnChangeEditSha256Key(int number);

    CSHA256KeyDlgModel m_Model;
    std::array<QLineEdit*, CSHA256KeyDlgModel::kFields> m_Fields{};
    QCheckBox* m_pCheck;
};

}  // namespace app
