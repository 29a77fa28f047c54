#include "common/CoolIcon.h"

#include <QWidget>

namespace CoolIcon {

QIcon LoadIconGroup(const QString &name)
{
    QIcon icon;
    for (int size : {128, 64, 48, 32, 16})
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    return icon;
}

void SetWindowIcons(QWidget *window, const QString &name)
{
    // One QIcon carries every size: the window system picks the large one for
    // task switchers and the small one for the title bar.
    window->setWindowIcon(LoadIconGroup(name));
}

} // namespace CoolIcon
