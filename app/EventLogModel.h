#pragma once

#include <QAbstractListModel>
#include <QString>

#include <deque>
#include <vector>

namespace vanterel::app {

// The lines of the main window's event log: the newest MaxLines lines, each
// with the key "c<n>" where n counts every line since start-up. A plain model
// of our own: adding a line is a ring-buffer step and two row signals, with no
// per-item objects; the view catches up when it next paints.
class EventLogModel final : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr int MaxLines = 100;

    explicit EventLogModel(QObject *parent = nullptr);

    // Adds a line as the newest; drops the oldest once there are MaxLines.
    void append(const QString &text);
    // Adds lines in order, as append() would one by one, with one change
    // signal for all: of a large batch only the newest MaxLines are kept.
    void append(const std::vector<QString> &lines);

    // Lines given to append since start-up.
    qint32 MessageCount() const { return m_messageCount; }
    QString key(int row) const;
    QString text(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    struct Line {
        qint32 number;
        QString text;
    };
    std::deque<Line> m_lines;
    qint32 m_messageCount = 0;
};

} // namespace vanterel::app
