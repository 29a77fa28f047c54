// The one key table: each name leads to one key and back, and each named key
// presses a kernel key of its own that X can carry.

#include "inject/KeyConstads.h"

#include <QTest>

#include <linux/input-event-codes.h>

class TestKeyConstads : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void names_leadToOneKeyAndBack()
    {
        // The one name that two codes share, as the target application has
        // it: the name finds the lower code. Any other shared name is a key
        // renamed by mistake, and the name would press the wrong key.
        const QMap<int, int> sharedName{{179, 83}};
        QSet<QByteArray> seen;
        for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
            const QByteArray name(key.name), what = QByteArray::number(key.code) + ' ' + name;
            QVERIFY2(!seen.contains(name.toUpper()) || sharedName.contains(key.code), what);
            seen.insert(name.toUpper());
            // code -> name -> code, the name looked up in another case
            const KeyConstads::KeyInfo *byName = KeyConstads::FindKeyByName(name.toLower().toStdString());
            QVERIFY2(byName && byName->code == sharedName.value(key.code, key.code), what);
            // name -> code -> name
            QVERIFY2(KeyConstads::FindKey(byName->code) == byName && byName->name == name, what);
        }
    }

    void linuxCodes()
    {
        // Up to 83 the scan code is the kernel's code; past the gap at 84-86, and
        // for the extended set, a few that tell.
        for (const auto &[code, linuxCode] : {std::pair{88, KEY_F12},
                                              {100, KEY_F13},
                                              {147, KEY_RO},
                                              {156, KEY_KPENTER},
                                              {179, KEY_KPCOMMA},
                                              {221, KEY_COMPOSE}})
            QCOMPARE(KeyConstads::FindKey(code)->linuxCode, linuxCode);
        // On a Japanese keyboard ^, @ and : sit where a US one has =, [ and ':
        // the same kernel keys. Any other sharing is a mistake.
        const QMap<int, int> aliases{{144, 13}, {145, 26}, {146, 40}};
        QMap<int, int> codeOf; // Linux code -> the first key code pressing it
        for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
            const QByteArray name = QByteArray::number(key.code) + ' ' + key.name;
            QVERIFY2(key.code == 0 ? key.linuxCode == 0 : key.linuxCode != 0, name); // NONE presses nothing
            QVERIFY2(key.code > 83 || key.linuxCode == key.code, name);
            QVERIFY2(key.linuxCode + KeyConstads::XKeycodeOffset <= 255 && key.linuxCode <= KEY_MAX, name);
            if (key.linuxCode != 0 && codeOf.contains(key.linuxCode))
                QVERIFY2(aliases.value(key.code, -1) == codeOf[key.linuxCode], name);
            codeOf.insert(key.linuxCode, codeOf.value(key.linuxCode, key.code));
        }
    }
};

QTEST_GUILESS_MAIN(TestKeyConstads)
#include "tst_keyconstads.moc"
