#pragma once
// A progress bar in a chosen colour that shows a text of its own beside the bar
// position (the percentage of the run, which moves independently of the bar).
#include <QProgressBar>

namespace widgets {

class CTextProgressCtrl : public QProgressBar {
public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);
    void SetBarColour(const QColor& colour);
    QColor BarColour() const { return m_BarColour; }
    void SetText(const QString& text);
    QString Text() const { return m_Text; }

private:
    QColor m_BarColour;
    QString m_Text;
};

}  // namespace widgets
