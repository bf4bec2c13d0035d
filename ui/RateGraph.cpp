#include "ui/RateGraph.h"

#include <QPainter>

#include <algorithm>

namespace {
constexpr int kSeconds = 60;
// The bars' least height between the scale and the axis.
constexpr int kMinBarsHeight = 16;
} // namespace

CRateGraph::CRateGraph(QWidget* pParent) : QWidget(pParent) {
    setAccessibleName(QStringLiteral("Velocidad total de los \u00FAltimos 60 segundos"));
    setFocusPolicy(Qt::NoFocus);
}

void CRateGraph::SetHistory(const std::deque<double>& history, const QString& strScale,
                            const QString& strNow) {
    m_history = history;
    m_strScale = strScale;
    const QString strDescription = QStringLiteral("M\u00E1ximo %1. %2").arg(strScale, strNow);
    if (accessibleDescription() != strDescription)
        setAccessibleDescription(strDescription);
    update();
}

int CRateGraph::MinimumHeight() const {
    return 2 * fontMetrics().height() + kMinBarsHeight;
}

void CRateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, -1, -1);
    const int nText = fontMetrics().height();
    // The scale over the bars, the time axis under them.
    const QRect bars = area.adjusted(0, nText, 0, -nText);
    painter.fillRect(bars, palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(bars);
    painter.setPen(palette().windowText().color());
    const QRect top(area.left(), area.top(), area.width(), nText);
    painter.drawText(top, Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("M\u00E1x. %1").arg(m_strScale));
    const QRect axis(area.left(), bars.bottom() + 1, area.width(), nText);
    painter.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("\u221260 s"));
    painter.drawText(axis, Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("\u221230 s"));
    painter.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("ahora"));
    const double dHighest =
        m_history.empty() ? 0.0 : *std::max_element(m_history.begin(), m_history.end());
    if (dHighest <= 0)
        return;
    // The newest second at the right edge.
    const QRect inner = bars.adjusted(1, 1, -1, 0);
    const double dStep = static_cast<double>(inner.width()) / kSeconds;
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().highlight());
    const int nCount = static_cast<int>(m_history.size());
    for (int i = 0; i < nCount; ++i) {
        const double dShare = m_history[static_cast<size_t>(i)] / dHighest;
        const int nHeight = static_cast<int>(dShare * (inner.height() - 1));
        const double dLeft = inner.right() + 1 - (nCount - i) * dStep;
        painter.drawRect(
            QRectF(dLeft, inner.bottom() - nHeight + 1, std::max(1.0, dStep - 1), nHeight));
    }
}
