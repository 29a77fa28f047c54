#pragma once

#include "config/Prompts.h"

#include <QAction>
#include <QList>
#include <QMenu>
#include <QPoint>
#include <QStringList>

namespace vanterel::testing {

// Answers a window's questions from a script and records what was asked.
class ScriptedPrompts final : public config::Prompts {
public:
    struct Message {
        QString title;
        QString text;
    };

    // Answers to openFile, in order; an empty text, or none left, is a cancel.
    QStringList files;
    QList<config::FileRequest> fileRequests;
    QList<Message> messages;
    QList<QPoint> menuPositions;
    // Object name of the menu item to choose; empty dismisses the menu.
    QString menuChoice;

    QString openFile(QWidget *, const config::FileRequest &request) override
    {
        fileRequests.append(request);
        return files.isEmpty() ? QString() : files.takeFirst();
    }

    void message(QWidget *, const QString &title, const QString &text) override
    {
        messages.append({title, text});
    }

    void popupMenu(QWidget *, QMenu *menu, const QPoint &globalPos) override
    {
        menuPositions.append(globalPos);
        if (menuChoice.isEmpty())
            return;
        const auto actions = menu->actions();
        for (QAction *action : actions) {
            if (action->objectName() == menuChoice)
                action->trigger();
        }
    }
};

} // namespace vanterel::testing
