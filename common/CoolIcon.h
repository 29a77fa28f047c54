#pragma once

#include <QIcon>
#include <QString>

class QWidget;

// Window icons from the program's own icon groups.
namespace CoolIcon {

// Every size of the named icon group ("DEF"), largest first.
QIcon LoadIconGroup(const QString &name);

// Gives the window its large and small icon from the named icon group.
void SetWindowIcons(QWidget *window, const QString &name);

} // namespace CoolIcon
