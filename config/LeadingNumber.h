#pragma once

#include <QStringView>
#include <QtGlobal>

namespace vanterel::config {

// A whole number read from the start of a text, as typed by people: leading
// blanks (spaces, tabs) are skipped, then an optional sign, digits and a "."
// with more digits; reading stops at the first character that cannot continue
// the number, and a text without a number reads 0. So "8080abc" is 8080 and
// "abc" is 0. There is no exponent: "1e3" is 1, because "e" is as likely a
// typing slip as a power of ten, and a port box should not turn it into 1000.
// A fraction is rounded to the nearest whole number, a half to the even one
// (80.5 is 80, 81.5 is 82), decided on the digits themselves, never through
// floating point.
//
// A number that does not fit in 32 bits signed once rounded reads 0 with
// inRange false: keys.dat then gets the "no number" value (for a key code "no
// key", never some other key), and the port box refuses it like any port
// below 1 even if it ignores inRange.
struct LeadingNumber {
    qint32 value = 0;
    bool inRange = true;
};

LeadingNumber ReadLeadingNumber(QStringView text);

} // namespace vanterel::config
