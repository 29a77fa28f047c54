#pragma once

#include <QPoint>
#include <QString>
#include <QStringList>

class QMenu;
class QWidget;

namespace vanterel::config {

// What a file-open dialog is asked for.
struct FileRequest {
    QString title;
    // The filter as the user reads it, e.g. "HTML files (*.htm,*.html)".
    QString filterName;
    // The patterns it stands for, e.g. {"*.htm", "*.html"}.
    QStringList patterns;
    // False lets the user type the name of a file that is not there yet, in a
    // folder that is.
    bool fileMustExist = true;
    // Folder the dialog opens in; empty for the platform's choice.
    QString startFolder;
};

// The modal questions a window asks its user. Windows ask through this so that
// a test can answer them without running a dialog's event loop.
class Prompts {
public:
    virtual ~Prompts();

    // The full path of the chosen file, or an empty text when the user cancelled.
    virtual QString openFile(QWidget *parent, const FileRequest &request) = 0;
    // A message with an OK button; returns once the user has dismissed it.
    virtual void message(QWidget *parent, const QString &title, const QString &text) = 0;
    // Shows a pop-up menu at a screen position. The chosen item's action fires
    // its triggered signal; nothing fires when the menu is dismissed.
    virtual void popupMenu(QWidget *parent, QMenu *menu, const QPoint &globalPos) = 0;
};

// The real prompts: Qt's file dialog, message box and menu.
class WidgetPrompts final : public Prompts {
public:
    QString openFile(QWidget *parent, const FileRequest &request) override;
    void message(QWidget *parent, const QString &title, const QString &text) override;
    void popupMenu(QWidget *parent, QMenu *menu, const QPoint &globalPos) override;
};

} // namespace vanterel::config
