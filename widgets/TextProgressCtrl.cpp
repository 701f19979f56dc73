#include "widgets/TextProgressCtrl.h"

namespace widgets {

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void CTextProgressCtrl::SetBarColour(const QColor& colour)
{
    m_BarColour = colour;
    // A style sheet, because the native styles ignore the palette's highlight for the chunk.
    setStyleSheet(QStringLiteral("QProgressBar { border: 1px solid gray; text-align: center; }"
                                 "QProgressBar::chunk { background-color: %1; }")
                      .arg(colour.name()));
}

void CTextProgressCtrl::SetText(const QString& text)
{
    m_Text = text;
    // The bar shows its format as the text; only "%p", "%v" and "%m" would be
    // replaced, which percentage texts ("0%", " 42 %") never contain.
    setFormat(text);
}

}  // namespace widgets
