#include "config/Prompts.h"

#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>

namespace vanterel::config {

Prompts::~Prompts() = default;

QString WidgetPrompts::openFile(QWidget *parent, const FileRequest &request)
{
    // Qt takes the patterns from the last parentheses of a filter, so the
    // name the user reads (which has parentheses of its own) is followed by
    // the real patterns, and only the name is shown.
    const QString filter = request.filterName + QStringLiteral(" (") + request.patterns.join(QLatin1Char(' '))
        + QLatin1Char(')');
    QFileDialog dialog(parent, request.title, request.startFolder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

void WidgetPrompts::message(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void WidgetPrompts::popupMenu(QWidget *, QMenu *menu, const QPoint &globalPos)
{
    // Not exec(): the menu needs no loop of its own, and the caller's handler
    // returns at once while the menu stays up.
    menu->popup(globalPos);
}

} // namespace vanterel::config
