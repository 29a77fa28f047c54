// The Linux side of the one key table: each named key presses a kernel key of
// its own, which X can carry; key names are checked with the key commands.

#include "inject/KeyConstads.h"

#include <QTest>

#include <linux/input-event-codes.h>

class TestKeyConstads : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void linuxCode_data();
    void linuxCode();
    void linuxCodes_eachKeyItsOwn();
};

void TestKeyConstads::linuxCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("linuxCode");

    // Up to 83 the scan code is the Linux code; the invariant below checks them.
    QTest::addRow("F12, after the gap at 84-86") << 88 << KEY_F12;
    QTest::addRow("F13 leaves the scan-code numbering") << 100 << KEY_F13;
    QTest::addRow("UNDERLINE is the Japanese RO key") << 147 << KEY_RO;
    QTest::addRow("NUMPADENTER, extended ENTER") << 156 << KEY_KPENTER;
    QTest::addRow("NUMPADDOT of the extended set is the keypad comma") << 179 << KEY_KPCOMMA;
    QTest::addRow("APPSKEY, last of the table") << 221 << KEY_COMPOSE;
}

void TestKeyConstads::linuxCode()
{
    QFETCH(int, code);
    QFETCH(int, linuxCode);
    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(code);
    QVERIFY(key);
    QCOMPARE(int(key->linuxCode), linuxCode);
}

void TestKeyConstads::linuxCodes_eachKeyItsOwn()
{
    // On a Japanese keyboard ^, @ and : sit where a US one has =, [ and ': the
    // same kernel keys. Any other sharing is a mistake.
    const QMap<int, int> aliases{{144, 13}, {145, 26}, {146, 40}};
    QMap<int, int> codeOf; // Linux code -> the first key code pressing it
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
        const QByteArray name = QByteArray::number(key.code) + ' ' + key.name;
        QVERIFY2(key.code == 0 ? key.linuxCode == 0 : key.linuxCode != 0, name); // NONE presses nothing
        QVERIFY2(key.code > 83 || key.linuxCode == key.code, name);
        QVERIFY2(key.linuxCode + KeyConstads::XKeycodeOffset <= 255 && key.linuxCode <= KEY_MAX, name);
        if (key.linuxCode != 0 && codeOf.contains(key.linuxCode))
            QVERIFY2(aliases.value(key.code, -1) == codeOf[key.linuxCode], name);
        else
            codeOf.insert(key.linuxCode, key.code);
    }
}

QTEST_GUILESS_MAIN(TestKeyConstads)
#include "tst_keyconstads.moc"
