#include "config/LeadingNumber.h"

#include <QTest>

using namespace Qt::StringLiterals;
using vanterel::config::ReadLeadingNumber;

class TestLeadingNumber : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void read_data();
    void read();
};

void TestLeadingNumber::read_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint32>("value");
    QTest::addColumn<bool>("inRange");

    QTest::addRow("plain number") << u"8080"_s << 8080 << true;
    QTest::addRow("leading blanks skipped") << u"   8080"_s << 8080 << true;
    QTest::addRow("letters after the number are ignored") << u"8080abc"_s << 8080 << true;
    QTest::addRow("letters alone read 0") << u"abc"_s << 0 << true;
    QTest::addRow("empty text reads 0") << QString() << 0 << true;
    QTest::addRow("leading zeros") << u"0065535"_s << 65535 << true;
    QTest::addRow("minus sign") << u"-5"_s << -5 << true;
    QTest::addRow("plus sign") << u"+5"_s << 5 << true;
    QTest::addRow("blank after the sign ends the number") << u"- 5"_s << 0 << true;
    QTest::addRow("a blank ends the number") << u"12 34"_s << 12 << true;
    QTest::addRow("a comma is no decimal point") << u"1,5"_s << 1 << true;
    QTest::addRow("digits of other scripts are not digits") << u"\u0663"_s << 0 << true;

    QTest::addRow("80.5 rounds down to the even 80") << u"80.5"_s << 80 << true;
    QTest::addRow("81.5 rounds up to the even 82") << u"81.5"_s << 82 << true;
    QTest::addRow("trailing zeros keep an exact half") << u"80.500"_s << 80 << true;
    QTest::addRow("a digit after the 5 makes it more than half") << u"80.50001"_s << 81 << true;
    QTest::addRow("just under a half rounds down") << u"80.4999999999999999999"_s << 80 << true;
    QTest::addRow("0.5 rounds to 0") << u"0.5"_s << 0 << true;
    QTest::addRow("-0.5 rounds to 0") << u"-0.5"_s << 0 << true;
    QTest::addRow("-1.5 rounds to -2") << u"-1.5"_s << -2 << true;
    QTest::addRow("-2.5 rounds to -2") << u"-2.5"_s << -2 << true;
    QTest::addRow("no digits before the point") << u".6"_s << 1 << true;
    QTest::addRow("negative without digits before the point") << u"-.7"_s << -1 << true;
    QTest::addRow("a point without digits after it") << u"5."_s << 5 << true;
    QTest::addRow("a lone point reads 0") << u"."_s << 0 << true;
    QTest::addRow("no exponent: 1e3 is 1") << u"1e3"_s << 1 << true;
    QTest::addRow("a second point ends the number") << u"1.2.9"_s << 1 << true;

    QTest::addRow("largest 32-bit value") << u"2147483647"_s << 2147483647 << true;
    QTest::addRow("smallest 32-bit value") << u"-2147483648"_s << qint32(-2147483647 - 1) << true;
    QTest::addRow("one above the largest") << u"2147483648"_s << 0 << false;
    QTest::addRow("one below the smallest") << u"-2147483649"_s << 0 << false;
    QTest::addRow("rounding past the largest") << u"2147483647.5"_s << 0 << false;
    QTest::addRow("rounding down stays in range") << u"2147483647.4"_s << 2147483647 << true;
    QTest::addRow("smallest half rounds to the even smallest")
        << u"-2147483648.5"_s << qint32(-2147483647 - 1) << true;
    QTest::addRow("far too many digits") << u"99999999999999999999999999999"_s << 0 << false;
}

void TestLeadingNumber::read()
{
    QFETCH(QString, text);

    const auto number = ReadLeadingNumber(text);
    QTEST(number.value, "value");
    QTEST(number.inRange, "inRange");
}

QTEST_APPLESS_MAIN(TestLeadingNumber)
#include "tst_leadingnumber.moc"
