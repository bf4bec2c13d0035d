// Draws the table's Progreso cells as a bar with their text, where the share
// done is known; as plain text otherwise.
#pragma once

#include <QStyledItemDelegate>

class CProgressDelegate : public QStyledItemDelegate {
public:
    // nPercentRole: the role whose value is the share done, -1 when unknown.
    CProgressDelegate(int nPercentRole, QObject* pParent)
        : QStyledItemDelegate(pParent), m_nPercentRole(nPercentRole) {}
    void paint(QPainter* pPainter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    int m_nPercentRole;
};
