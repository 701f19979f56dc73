#include "widgets/ListCtrlEx.h"

#include <QHeaderView>

namespace widgets {

CListCtrlEx::CListCtrlEx(QWidget* parent) : QTableWidget(parent)
{
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(20);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
}

void CListCtrlEx::SetColumns(const QList<ListColumn>& columns)
{
    setColumnCount(static_cast<int>(columns.size()));
    for (int c = 0; c < columns.size(); ++c) {
        auto* header = new QTableWidgetItem(columns[c].title);
        header->setTextAlignment(Qt::AlignCenter);
        setHorizontalHeaderItem(c, header);
        setColumnWidth(c, columns[c].width);
    }
}

void CListCtrlEx::SetRowCount(int rows)
{
    clearContents();
    setRowCount(rows);
}

void CListCtrlEx::SetCell(int row, int column, const QString& text, const QColor& background,
                          const QColor& textColour)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return;
    QTableWidgetItem* cell = item(row, column);
    if (!cell) {
        cell = new QTableWidgetItem;
        cell->setTextAlignment(Qt::AlignCenter);
        setItem(row, column, cell);
    }
    cell->setText(text);
    cell->setBackground(background);
    cell->setForeground(textColour);
}

QString CListCtrlEx::CellText(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->text() : QString();
}

QColor CListCtrlEx::CellBackground(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->background().color() : QColor(Qt::white);
}

QColor CListCtrlEx::CellTextColour(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->foreground().color() : QColor(Qt::black);
}

}  // namespace widgets
