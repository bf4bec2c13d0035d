#include "ui/SessionTableModel.h"

#include <algorithm>
#include <unordered_map>

namespace {

QString FromUtf8(const std::string& strText) {
    return QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
}

// The window's texts are Spanish, and so is their decimal mark; a session
// not logged in yet is "(conectando)", a figure it does not have is blank.
constexpr SCellStyle kWindowStyle = {',', "(conectando)", ""};

QString Heading(int nColumn) {
    return QString::fromUtf8(kSessionColumns[nColumn].pszHeading);
}

} // namespace

CSessionTableModel::CSessionTableModel(QObject* pParent) : QAbstractTableModel(pParent) {}

void CSessionTableModel::Update(const std::vector<SSessionStatus>& sessions,
                                Clock::time_point now) {
    m_now = now;
    std::vector<SSessionStatus> taken = sessions;
    m_rates.Sample(taken, now);
    // Rows whose session has gone leave, the others keep their places.
    for (int nRow = static_cast<int>(m_rows.size()) - 1; nRow >= 0; --nRow) {
        const uint64_t nId = m_rows[static_cast<size_t>(nRow)].nId;
        if (std::none_of(taken.begin(), taken.end(),
                         [nId](const SSessionStatus& s) { return s.nId == nId; })) {
            beginRemoveRows(QModelIndex(), nRow, nRow);
            m_rows.erase(m_rows.begin() + nRow);
            endRemoveRows();
        }
    }
    std::unordered_map<uint64_t, size_t> rowOf;
    for (size_t i = 0; i < m_rows.size(); ++i)
        rowOf[m_rows[i].nId] = i;
    for (SSessionStatus& status : taken) {
        auto it = rowOf.find(status.nId);
        if (it == rowOf.end()) {
            const int nRow = static_cast<int>(m_rows.size());
            beginInsertRows(QModelIndex(), nRow, nRow);
            m_rows.push_back(std::move(status));
            endInsertRows();
        } else {
            m_rows[it->second] = std::move(status);
        }
    }
    const SStatusTotals totals = Totals(m_rows);
    m_dDown = totals.dDown;
    m_dUp = totals.dUp;
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

QString CSessionTableModel::RateForView(double dBytesPerSecond) {
    return FromUtf8(RateText(dBytesPerSecond, kWindowStyle.cDecimal));
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

QString CSessionTableModel::Text(const SSessionStatus& status, int nColumn) const {
    if (nColumn < 0 || nColumn >= ColumnCount)
        return QString();
    return FromUtf8(CellText(status, kSessionColumns[nColumn].column, m_now, kWindowStyle));
}

QVariant CSessionTableModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return QVariant();
    const SSessionStatus& row = m_rows[static_cast<size_t>(index.row())];
    switch (nRole) {
    case Qt::DisplayRole:
        return Text(row, index.column());
    case Qt::ToolTipRole: {
        // A cell too narrow for its text (a long file name, a speed with its
        // limit) shows it whole under the pointer.
        const QString strText = Text(row, index.column());
        return strText.isEmpty() ? QVariant() : QVariant(strText);
    }
    case Qt::AccessibleTextRole: {
        // What a screen reader says of the cell: its column and its value.
        const QString strText = Text(row, index.column());
        return Heading(index.column()) + ": " + (strText.isEmpty() ? QStringLiteral("-") : strText);
    }
    case kPercentRole:
        if (row.transfers.empty() || !row.transfers.front().bConnected)
            return -1;
        return Percent(row.transfers.front());
    case kSessionRole:
        return QVariant::fromValue<quint64>(row.nId);
    default:
        return QVariant();
    }
}

QVariant CSessionTableModel::headerData(int nSection, Qt::Orientation orientation,
                                        int nRole) const {
    if (orientation != Qt::Horizontal || nSection < 0 || nSection >= ColumnCount ||
        (nRole != Qt::DisplayRole && nRole != Qt::AccessibleTextRole))
        return QVariant();
    return Heading(nSection);
}
