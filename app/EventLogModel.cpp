#include "app/EventLogModel.h"

namespace vanterel::app {

EventLogModel::EventLogModel(QObject *parent) : QAbstractListModel(parent) {}

void EventLogModel::append(const QString &text)
{
    ++m_messageCount;
    if (m_messageCount > MaxLines && !m_lines.empty()) {
        // The oldest line is the one numbered MessageCount - MaxLines.
        beginRemoveRows(QModelIndex(), 0, 0);
        m_lines.pop_front();
        endRemoveRows();
    }
    const int row = int(m_lines.size());
    beginInsertRows(QModelIndex(), row, row);
    m_lines.push_back(Line{m_messageCount, text});
    endInsertRows();
}

QString EventLogModel::key(int row) const
{
    return QLatin1Char('c') + QString::number(m_lines.at(std::size_t(row)).number);
}

QString EventLogModel::text(int row) const { return m_lines.at(std::size_t(row)).text; }

int EventLogModel::rowOfKey(const QString &key) const
{
    if (!key.startsWith(QLatin1Char('c')) || m_lines.empty())
        return -1;
    bool ok = false;
    const qint32 number = QStringView(key).mid(1).toInt(&ok);
    if (!ok)
        return -1;
    // Numbers are consecutive, so the row follows from the first one.
    const qint64 row = qint64(number) - m_lines.front().number;
    return (row >= 0 && row < qint64(m_lines.size())) ? int(row) : -1;
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
