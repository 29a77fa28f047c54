#pragma once

#include "keys/KeyBindings.h"

#include <QList>
#include <QMetaType>
#include <QTest>

Q_DECLARE_METATYPE(vanterel::keys::KeyBinding)

namespace vanterel::keys {

// Readable failure messages for QCOMPARE on bindings and lists of them.
inline char *toString(const KeyBinding &b)
{
    return QTest::toString(QStringLiteral("{\"%1\" second %2/%3 first %4/%5}")
                               .arg(b.Callback)
                               .arg(b.SecondKey)
                               .arg(b.SecondModifiers)
                               .arg(b.FirstKey)
                               .arg(b.FirstModifiers));
}

// Bindings 1..upperBound, to compare a table with an expected list.
inline QList<KeyBinding> Contents(const KeyBindings &table)
{
    QList<KeyBinding> list;
    for (qint32 i = 1; i <= table.upperBound(); ++i)
        list.append(table.at(i));
    return list;
}

inline KeyBinding Binding(const QString &callback, qint32 secondKey, qint32 secondMods,
                          qint32 firstKey = 0, qint32 firstMods = 0)
{
    return KeyBinding{firstKey, firstMods, secondKey, secondMods, callback};
}

} // namespace vanterel::keys
