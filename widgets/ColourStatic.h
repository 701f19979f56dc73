#pragma once
// A static text drawn in its own colour and font (the window's title and the
// emphasised fields).
#include <QLabel>

namespace widgets {

class CColourStatic : public QLabel {
public:
    explicit CColourStatic(const QString& text = {}, QWidget* parent = nullptr);
    void SetTextColour(const QColor& colour);
    QColor TextColour() const;
    // A font by face, height and width in pixels and weight (100..900).
    void SetFontFace(const QString& face, int heightPx, int widthPx, int weight);
};

}  // namespace widgets
