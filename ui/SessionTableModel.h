// The window's table of connections in the extended mode: one row per
// session, in the columns every view of the sessions shows (Usuario,
// Dirección, Conectado, Estado, Progreso, Velocidad), refreshed from the
// host's snapshot of its sessions. The speed of a transfer is its bytes over
// the last two seconds of the snapshots taken; the totals keep the last 60
// seconds for the graph. The engine keeps its counters as it moves bytes;
// the table only reads them when it refreshes.
#pragma once

#include "server/StatusReport.h"

#include <QAbstractTableModel>

#include <chrono>
#include <deque>
#include <vector>

class CSessionTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column {
        User = static_cast<int>(SessionColumn::User),
        Address = static_cast<int>(SessionColumn::Address),
        Connected = static_cast<int>(SessionColumn::Connected),
        State = static_cast<int>(SessionColumn::State),
        Progress = static_cast<int>(SessionColumn::Progress),
        Speed = static_cast<int>(SessionColumn::Rate),
        ColumnCount = kSessionColumnCount
    };
    // The share done (0 to 100), or -1 when the size is not known.
    static constexpr int kPercentRole = Qt::UserRole + 1;
    // The session's identity.
    static constexpr int kSessionRole = Qt::UserRole + 2;

    using Clock = std::chrono::steady_clock;

    explicit CSessionTableModel(QObject* pParent = nullptr);

    // Takes a new snapshot: rows come, change and go in place.
    void Update(const std::vector<SSessionStatus>& sessions, Clock::time_point now);
    uint64_t SessionAt(int nRow) const { return m_rows[static_cast<size_t>(nRow)].nId; }
    // The current total rates (bytes per second) and their last 60 seconds,
    // oldest first (one value a second).
    double DownloadRate() const { return m_dDown; }
    double UploadRate() const { return m_dUp; }
    const std::deque<double>& History() const { return m_history; }
    // The highest of the last 60 seconds: the graph's scale.
    double HighestRate() const;
    // "Conexiones: 3 · Bajada 1,2 MB/s · Subida 300 KB/s"; the window's
    // numbers carry the Spanish decimal comma.
    QString StatusLine() const;
    // The same as a screen reader says it: "Conexiones: 3, bajada 1,2 MB/s,
    // subida 300 KB/s".
    QString SpokenStatus() const;
    // A size or a rate as the window shows it.
    static QString RateForView(double dBytesPerSecond);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override;

    static constexpr size_t kHistorySeconds = 60;

private:
    QString Text(const SSessionStatus& status, int nColumn) const;

    // The sessions as last taken, their speeds filled.
    std::vector<SSessionStatus> m_rows;
    CTransferRates m_rates;
    Clock::time_point m_now;
    double m_dDown = 0;
    double m_dUp = 0;
    std::deque<double> m_history;
    Clock::time_point m_lastHistory;
};
