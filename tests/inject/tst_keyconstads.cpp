// The Linux side of the one key table: every named key can be pressed, and
// no two keys press the same Linux key unless a layout makes them one.

#include "inject/KeyConstads.h"

#include <QMultiMap>
#include <QTest>

#include <linux/input-event-codes.h>

class TestKeyConstads : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void linuxCode_matchesTheKernelKey_data();
    void linuxCode_matchesTheKernelKey();
    void linuxCode_everyNamedKeyButNone_hasOne();
    void linuxCode_sharedOnlyByJapaneseLayoutAliases();
    void findKeyByName_data();
    void findKeyByName();
};

void TestKeyConstads::linuxCode_matchesTheKernelKey_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("linuxCode");

    QTest::addRow("ESCAPE, first of the main block") << 1 << KEY_ESC;
    QTest::addRow("A") << 30 << KEY_A;
    QTest::addRow("NUMPADDOT of the main set is the keypad dot") << 83 << KEY_KPDOT;
    QTest::addRow("F12, after the gap at 84-86") << 88 << KEY_F12;
    QTest::addRow("F13 leaves the scan-code numbering") << 100 << KEY_F13;
    QTest::addRow("UNDERLINE is the Japanese RO key") << 147 << KEY_RO;
    QTest::addRow("NUMPADENTER, extended ENTER") << 156 << KEY_KPENTER;
    QTest::addRow("RCTRL, extended LCTRL") << 157 << KEY_RIGHTCTRL;
    QTest::addRow("NUMPADDOT of the extended set is the keypad comma") << 179 << KEY_KPCOMMA;
    QTest::addRow("RALT, extended LALT") << 184 << KEY_RIGHTALT;
    QTest::addRow("UP") << 200 << KEY_UP;
    QTest::addRow("DELETE") << 211 << KEY_DELETE;
    QTest::addRow("APPSKEY, last of the table") << 221 << KEY_COMPOSE;
}

void TestKeyConstads::linuxCode_matchesTheKernelKey()
{
    QFETCH(int, code);
    QFETCH(int, linuxCode);

    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(code);
    QVERIFY(key);
    QCOMPARE(int(key->linuxCode), linuxCode);
}

void TestKeyConstads::linuxCode_everyNamedKeyButNone_hasOne()
{
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
        if (key.code == 0) {
            QCOMPARE(key.linuxCode, quint16(0)); // "NONE" presses nothing
            continue;
        }
        QVERIFY2(key.linuxCode != 0, key.name);
        // X key codes are 8 bits wide: the Linux code plus the offset must fit.
        QVERIFY2(key.linuxCode + KeyConstads::XKeycodeOffset <= 255, key.name);
        QVERIFY2(key.linuxCode <= KEY_MAX, key.name);
    }
}

void TestKeyConstads::linuxCode_sharedOnlyByJapaneseLayoutAliases()
{
    // On a Japanese keyboard ^, @ and : sit where a US keyboard has =, [ and ',
    // so they press the same Linux keys. Any other sharing is a mistake.
    const QMultiMap<int, int> aliases{{13, 144}, {26, 145}, {40, 146}};

    QMultiMap<quint16, int> byLinuxCode;
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys())
        if (key.linuxCode != 0)
            byLinuxCode.insert(key.linuxCode, key.code);

    for (const quint16 linuxCode : byLinuxCode.uniqueKeys()) {
        QList<int> codes = byLinuxCode.values(linuxCode);
        if (codes.size() == 1)
            continue;
        std::sort(codes.begin(), codes.end());
        QVERIFY2(codes.size() == 2 && aliases.contains(codes[0], codes[1]),
                 qPrintable(QStringLiteral("Linux code %1 pressed by codes %2 and %3")
                                .arg(linuxCode)
                                .arg(codes[0])
                                .arg(codes[1])));
    }
}

void TestKeyConstads::findKeyByName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("code"); // -1: none

    QTest::addRow("any letter case") << QByteArray("numpadEnter") << 156;
    QTest::addRow("a shared name finds the lower code") << QByteArray("NUMPADDOT") << 83;
    QTest::addRow("a digit names its key, not a code") << QByteArray("1") << 2;
    QTest::addRow("the backslash") << QByteArray("\\") << 43;
    QTest::addRow("a prefix is no name") << QByteArray("NUMPAD") << -1;
    QTest::addRow("empty") << QByteArray("") << -1;
}

void TestKeyConstads::findKeyByName()
{
    QFETCH(QByteArray, name);
    QFETCH(int, code);

    const KeyConstads::KeyInfo *key = KeyConstads::FindKeyByName(name.toStdString());
    QCOMPARE(key ? key->code : -1, code);
}

QTEST_GUILESS_MAIN(TestKeyConstads)
#include "tst_keyconstads.moc"
