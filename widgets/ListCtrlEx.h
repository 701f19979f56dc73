#pragma once
// A report-style list with grid lines, full-row selection, centred cells and a
// background and text colour per cell.
#include <QTableWidget>

namespace widgets {

struct ListColumn {
    QString title;
    int width = 0;
};

class CListCtrlEx : public QTableWidget {
public:
    explicit CListCtrlEx(QWidget* parent = nullptr);
    // Replaces the columns; every cell is centred.
    void SetColumns(const QList<ListColumn>& columns);
    // Replaces the rows with `rows` empty rows.
    void SetRowCount(int rows);
    // Sets one cell's text and colours; cells outside the list are ignored.
    void SetCell(int row, int column, const QString& text, const QColor& background, const QColor& textColour);
    QString CellText(int row, int column) const;
    QColor CellBackground(int row, int column) const;
    QColor CellTextColour(int row, int column) const;
};

}  // namespace widgets
