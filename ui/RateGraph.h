// A small graph of the server's total transfer rate over the last 60
// seconds (one bar a second), scaled to its highest value.
#pragma once

#include <QWidget>

#include <deque>

class CRateGraph : public QWidget {
    Q_OBJECT

public:
    explicit CRateGraph(QWidget* pParent = nullptr);
    // The rates, oldest first, in bytes per second; the accessible
    // description says the latest.
    void SetHistory(const std::deque<double>& history, const QString& strNow);
    const std::deque<double>& History() const { return m_history; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    std::deque<double> m_history;
};
