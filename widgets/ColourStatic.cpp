#include "widgets/ColourStatic.h"

namespace widgets {

CColourStatic::CColourStatic(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void CColourStatic::SetTextColour(const QColor& colour)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, colour);
    setPalette(p);
}

QColor CColourStatic::TextColour() const { return palette().color(QPalette::WindowText); }

void CColourStatic::SetFontFace(const QString& face, int heightPx, int widthPx, int weight)
{
    QFont f(face);
    f.setPixelSize(heightPx);
    f.setWeight(static_cast<QFont::Weight>(weight));
    // The width asks for narrower or wider glyphs than the face's own at this
    // height; Qt expresses it as a stretch in percent of the normal width (half the height).
    if (widthPx > 0 && heightPx > 0) f.setStretch(qBound(50, widthPx * 200 / heightPx, 200));
    setFont(f);
}

}  // namespace widgets
