#pragma once

#include "config/Prompts.h"

#include <QAction>
#include <QMenu>

namespace vanterel::testing {

// Answers a window's questions from a script and records what was asked.
struct ScriptedPrompts final : config::Prompts {
    QStringList files; // answers to openFile in order; none left is a cancel
    QList<config::FileRequest> asked;
    QStringList messages; // "title: text"
    QList<QPoint> menus;
    QString menuChoice; // object name of the menu item to choose; empty dismisses the menu

    QString openFile(QWidget *, const config::FileRequest &request) override
    {
        asked.append(request);
        return files.isEmpty() ? QString() : files.takeFirst();
    }
    void message(QWidget *, const QString &title, const QString &text) override
    {
        messages.append(title + QStringLiteral(": ") + text);
    }
    void popupMenu(QWidget *, QMenu *menu, const QPoint &globalPos) override
    {
        menus.append(globalPos);
        if (QAction *action = menu->findChild<QAction *>(menuChoice); action && !menuChoice.isEmpty())
            action->trigger();
    }
};

} // namespace vanterel::testing
