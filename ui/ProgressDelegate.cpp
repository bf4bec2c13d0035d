#include "ui/ProgressDelegate.h"

#include <QApplication>
#include <QStyleOptionProgressBar>

void CProgressDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const int nPercent = index.data(m_nPercentRole).toInt();
    if (nPercent < 0) {
        QStyledItemDelegate::paint(pPainter, option, index);
        return;
    }
    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(1, 1, -1, -1);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = nPercent;
    bar.text = index.data(Qt::DisplayRole).toString();
    bar.textVisible = true;
    bar.state = option.state | QStyle::State_Horizontal;
    bar.palette = option.palette;
    QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, pPainter);
}
