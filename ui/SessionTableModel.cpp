#include "ui/SessionTableModel.h"

#include <algorithm>

namespace {

QString FromUtf8(const std::string& strText) {
    return QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
}

// The window's texts are Spanish, and so is their decimal mark.
constexpr char kDecimal = ',';

const char* const kHeadings[] = {"Usuario", "Direcci\xC3\xB3n", "Conectado",
                                 "Estado",  "Progreso",         "Velocidad"};

} // namespace

CSessionTableModel::CSessionTableModel(QObject* pParent) : QAbstractTableModel(pParent) {}

void CSessionTableModel::Update(const std::vector<SSessionStatus>& sessions,
                                Clock::time_point now) {
    m_now = now;
    // Rows whose session has gone leave, the others keep their places.
    for (int nRow = static_cast<int>(m_rows.size()) - 1; nRow >= 0; --nRow) {
        const uint64_t nId = m_rows[static_cast<size_t>(nRow)].status.nId;
        if (std::none_of(sessions.begin(), sessions.end(),
                         [nId](const SSessionStatus& s) { return s.nId == nId; })) {
            beginRemoveRows(QModelIndex(), nRow, nRow);
            m_rows.erase(m_rows.begin() + nRow);
            endRemoveRows();
        }
    }
    std::unordered_map<uint64_t, size_t> rowOf;
    for (size_t i = 0; i < m_rows.size(); ++i)
        rowOf[m_rows[i].status.nId] = i;
    m_dDown = m_dUp = 0;
    for (const SSessionStatus& status : sessions) {
        auto it = rowOf.find(status.nId);
        if (it == rowOf.end()) {
            const int nRow = static_cast<int>(m_rows.size());
            beginInsertRows(QModelIndex(), nRow, nRow);
            m_rows.push_back(SRow{});
            Refresh(m_rows.back(), status, now);
            endInsertRows();
        } else {
            Refresh(m_rows[it->second], status, now);
        }
    }
    for (const SRow& row : m_rows)
        if (!row.status.transfers.empty())
            (row.status.transfers.front().kind == SProgress::Kind::Upload ? m_dUp : m_dDown) +=
                row.dRate;
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(static_cast<int>(m_rows.size()) - 1, ColumnCount - 1));
    // One point of the graph a second.
    if (m_history.empty() || now - m_lastHistory >= std::chrono::seconds(1)) {
        m_history.push_back(m_dDown + m_dUp);
        m_lastHistory = now;
        while (m_history.size() > kHistorySeconds)
            m_history.pop_front();
    }
}

void CSessionTableModel::Refresh(SRow& rRow, const SSessionStatus& status, Clock::time_point now) {
    rRow.status = status;
    rRow.dRate = 0;
    if (status.transfers.empty() || !status.transfers.front().bConnected) {
        rRow.samples.clear();
        return;
    }
    const SProgress& progress = status.transfers.front();
    // Another transfer begins its own samples.
    if (progress.started != rRow.transferStart) {
        rRow.samples.clear();
        rRow.transferStart = progress.started;
        rRow.samples.emplace_back(progress.started, 0);
    }
    rRow.samples.emplace_back(now, progress.nBytes);
    while (rRow.samples.size() > 2 && now - rRow.samples[1].first >= kRateWindow)
        rRow.samples.pop_front();
    const auto& oldest = rRow.samples.front();
    const double dSeconds = std::chrono::duration<double>(now - oldest.first).count();
    if (dSeconds > 0.05)
        rRow.dRate = static_cast<double>(progress.nBytes - oldest.second) / dSeconds;
}

QString CSessionTableModel::RateForView(double dBytesPerSecond) {
    return FromUtf8(RateText(dBytesPerSecond, kDecimal));
}

double CSessionTableModel::HighestRate() const {
    return m_history.empty() ? 0.0 : *std::max_element(m_history.begin(), m_history.end());
}

QString CSessionTableModel::StatusLine() const {
    return QStringLiteral("Conexiones: %1 \u00B7 Bajada %2 \u00B7 Subida %3")
        .arg(m_rows.size())
        .arg(RateForView(m_dDown), RateForView(m_dUp));
}

QString CSessionTableModel::SpokenStatus() const {
    return QStringLiteral("Conexiones: %1, bajada %2, subida %3")
        .arg(m_rows.size())
        .arg(RateForView(m_dDown), RateForView(m_dUp));
}

int CSessionTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CSessionTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QString CSessionTableModel::Text(const SRow& row, int nColumn) const {
    const SSessionStatus& status = row.status;
    const bool bMoving = !status.transfers.empty() && status.transfers.front().bConnected;
    switch (nColumn) {
    case User:
        return status.strUser.empty() ? QStringLiteral("(conectando)") : FromUtf8(status.strUser);
    case Address:
        return FromUtf8(status.strAddress);
    case Connected:
        return FromUtf8(DurationText(m_now - status.connected));
    case State:
        return FromUtf8(StateText(status));
    case Progress:
        return bMoving ? FromUtf8(ProgressText(status.transfers.front(), kDecimal)) : QString();
    case Speed:
        return bMoving ? RateForView(row.dRate) : QString();
    default:
        return QString();
    }
}

QVariant CSessionTableModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return QVariant();
    const SRow& row = m_rows[static_cast<size_t>(index.row())];
    switch (nRole) {
    case Qt::DisplayRole:
        return Text(row, index.column());
    case Qt::AccessibleTextRole: {
        // What a screen reader says of the cell: its column and its value.
        const QString strText = Text(row, index.column());
        return QString::fromUtf8(kHeadings[index.column()]) + ": " +
               (strText.isEmpty() ? QStringLiteral("-") : strText);
    }
    case kPercentRole: {
        if (row.status.transfers.empty() || !row.status.transfers.front().bConnected)
            return -1;
        const SProgress& progress = row.status.transfers.front();
        if (progress.nTotal <= 0)
            return -1;
        return static_cast<int>(std::min<int64_t>(100, progress.nBytes * 100 / progress.nTotal));
    }
    case kSessionRole:
        return QVariant::fromValue<quint64>(row.status.nId);
    default:
        return QVariant();
    }
}

QVariant CSessionTableModel::headerData(int nSection, Qt::Orientation orientation,
                                        int nRole) const {
    if (orientation != Qt::Horizontal || nSection < 0 || nSection >= ColumnCount ||
        (nRole != Qt::DisplayRole && nRole != Qt::AccessibleTextRole))
        return QVariant();
    return QString::fromUtf8(kHeadings[nSection]);
}
