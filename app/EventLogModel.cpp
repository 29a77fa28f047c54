#include "app/EventLogModel.h"

#include <algorithm>

namespace vanterel::app {

EventLogModel::EventLogModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void EventLogModel::append(const QString &text)
{
    append(std::vector<QString>{text});
}

void EventLogModel::append(const std::vector<QString> &lines)
{
    const auto count = qsizetype(lines.size());
    if (count == 0)
        return;
    // Lines of the batch that would be dropped again before it ends are
    // counted, never shown.
    const qsizetype skipped = std::max<qsizetype>(0, count - MaxLines);
    const qsizetype kept = count - skipped;
    const qsizetype drop = std::min<qsizetype>(
        qsizetype(m_lines.size()), std::max<qsizetype>(0, qsizetype(m_lines.size()) + kept - MaxLines));
    if (drop > 0) {
        // The oldest lines are those numbered MessageCount - MaxLines and below.
        beginRemoveRows(QModelIndex(), 0, int(drop) - 1);
        m_lines.erase(m_lines.begin(), m_lines.begin() + drop);
        endRemoveRows();
    }
    m_messageCount += qint32(skipped);
    const int row = int(m_lines.size());
    beginInsertRows(QModelIndex(), row, row + int(kept) - 1);
    for (qsizetype i = skipped; i < count; ++i)
        m_lines.push_back(Line{++m_messageCount, lines[std::size_t(i)]});
    endInsertRows();
}

QString EventLogModel::key(int row) const
{
    return QLatin1Char('c') + QString::number(m_lines.at(std::size_t(row)).number);
}

QString EventLogModel::text(int row) const
{
    return m_lines.at(std::size_t(row)).text;
}

int EventLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant EventLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_lines.size()))
        return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return m_lines[std::size_t(index.row())].text;
    return {};
}

} // namespace vanterel::app
