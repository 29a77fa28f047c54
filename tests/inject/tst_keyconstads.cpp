// The one key table: each name leads to one key and back, and each named key
// presses a kernel key of its own that X can carry.

#include "inject/KeyConstads.h"

#include <QTest>

#include <linux/input-event-codes.h>

class TestKeyConstads : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyKey_hasOneNameAndAKernelKeyOfItsOwn()
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
        // the same kernel keys. The two NUMPADDOTs share a name, and the name
        // finds the lower. Any other sharing is a mistake: a key renamed to
        // another's name would press the wrong key.
        const QMap<int, int> aliases{{144, 13}, {145, 26}, {146, 40}}, sharedName{{179, 83}};
        QMap<int, int> codeOf; // Linux code -> the first key code pressing it
        QSet<QByteArray> names;
        for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
            const QByteArray name(key.name), what = QByteArray::number(key.code) + ' ' + name;
            QVERIFY2(key.code == 0 ? key.linuxCode == 0 : key.linuxCode != 0, what); // NONE presses nothing
            QVERIFY2(key.code > 83 || key.linuxCode == key.code, what);
            QVERIFY2(key.linuxCode + KeyConstads::XKeycodeOffset <= 255 && key.linuxCode <= KEY_MAX, what);
            if (key.linuxCode != 0 && codeOf.contains(key.linuxCode))
                QVERIFY2(aliases.value(key.code, -1) == codeOf[key.linuxCode], what);
            codeOf.insert(key.linuxCode, codeOf.value(key.linuxCode, key.code));
            QVERIFY2(!names.contains(name.toUpper()) || sharedName.contains(key.code), what);
            names.insert(name.toUpper());
            // code -> name -> code (the name in another case), and name -> code -> name
            const KeyConstads::KeyInfo *byName = KeyConstads::FindKeyByName(name.toLower().toStdString());
            QVERIFY2(byName && byName->code == sharedName.value(key.code, key.code), what);
            QVERIFY2(KeyConstads::FindKey(byName->code) == byName && byName->name == name, what);
        }
    }
};

QTEST_GUILESS_MAIN(TestKeyConstads)
#include "tst_keyconstads.moc"
