#include "ui/RateGraph.h"

#include <QPainter>

#include <algorithm>

CRateGraph::CRateGraph(QWidget* pParent) : QWidget(pParent) {
    setAccessibleName(QStringLiteral("Velocidad total de los \u00FAltimos 60 segundos"));
    setFocusPolicy(Qt::NoFocus);
}

void CRateGraph::SetHistory(const std::deque<double>& history, const QString& strNow) {
    m_history = history;
    setAccessibleDescription(strNow);
    update();
}

void CRateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(area, palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(area);
    const double dHighest =
        m_history.empty() ? 0.0 : *std::max_element(m_history.begin(), m_history.end());
    if (dHighest <= 0)
        return;
    // The newest second at the right edge.
    const double dStep = static_cast<double>(area.width() - 2) / 60.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().highlight());
    const int nCount = static_cast<int>(m_history.size());
    for (int i = 0; i < nCount; ++i) {
        const double dShare = m_history[static_cast<size_t>(i)] / dHighest;
        const int nHeight = static_cast<int>(dShare * (area.height() - 2));
        const int nLeft = area.right() - static_cast<int>((nCount - i) * dStep);
        painter.drawRect(QRectF(nLeft, area.bottom() - nHeight, std::max(1.0, dStep - 1), nHeight));
    }
}
