// A small graph of the server's total transfer rate over the last 60
// seconds (one bar a second), scaled to its highest value. The scale (that
// highest rate) is written over the bars and the time axis under them.
#pragma once

#include <QWidget>

#include <deque>

class CRateGraph : public QWidget {
    Q_OBJECT

public:
    explicit CRateGraph(QWidget* pParent = nullptr);
    // The rates, oldest first, in bytes per second; strScale is the highest
    // of them as the window writes a rate, strNow what the server does now.
    // The accessible description says both.
    void SetHistory(const std::deque<double>& history, const QString& strScale,
                    const QString& strNow);
    const std::deque<double>& History() const { return m_history; }
    QString Scale() const { return m_strScale; }
    // The pixel height the graph needs for its texts and some bars.
    int MinimumHeight() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    std::deque<double> m_history;
    QString m_strScale;
};
