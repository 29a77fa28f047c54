// The uinput backend: the events its key sink writes, through a writer of the
// test's own, and a real virtual keyboard read back where the machine allows.

#include "inject/Backends.h"

#include <QDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;

class TestUinputInjector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keySink_data()
    {
        QTest::addColumn<int>("settleMs");
        QTest::addColumn<int>("ctrl");
        QTest::addColumn<QString>("failing"); // its first write fails
        QTest::addColumn<QString>("expected");

        QTest::addRow("Ctrl+A: each transition a report of its own")
            << 0 << -1 << QString() << u"KEY 29 1, SYN, KEY 30 1, SYN, KEY 30 0, SYN, KEY 29 0, SYN"_s;
        QTest::addRow("a failed write of the key: key and Ctrl still go up")
            << 0 << -1 << u"KEY 30 1"_s << u"KEY 29 1, SYN, KEY 30 1!, KEY 30 0, SYN, KEY 29 0, SYN"_s;
        QTest::addRow("a new device takes no key before it has settled")
            << 30 << 0 << QString() << u"KEY 30 1, SYN, KEY 30 0, SYN"_s;
    }

    void keySink()
    {
        QFETCH(int, settleMs);
        QFETCH(int, ctrl);
        QFETCH(QString, failing);
        QFETCH(QString, expected);

        QStringList written; // by the player's thread alone; read once it has ended
        steady_clock::time_point firstWrite;
        const auto created = steady_clock::now();
        const auto write = [&](std::uint16_t type, std::uint16_t code, std::int32_t value) {
            const QString event = type == EV_KEY                 ? u"KEY %1 %2"_s.arg(code).arg(value)
                : type == EV_SYN && code == SYN_REPORT && !value ? u"SYN"_s
                                                                 : u"?"_s;
            firstWrite = written.isEmpty() ? steady_clock::now() : firstWrite;
            const bool fail = event == failing;
            if (fail)
                failing.clear();
            written.append(fail ? event + u'!' : event);
            return !fail;
        };
        StrokeInjector injector("uinput", CreateUinputKeySink(write, milliseconds(settleMs)), 0ms);
        injector.PressCombo(30, 0, ctrl, 0, 0);
        injector.shutdown();
        QCOMPARE(written.join(u", "_s), expected);
        QVERIFY(firstWrite - created >= milliseconds(settleMs));
    }

    void realDevice_reportsTheStroke()
    {
        if (::access("/dev/uinput", W_OK) != 0)
            QSKIP(qPrintable(u"no virtual keyboard here: /dev/uinput: "_s
                             + QString::fromLocal8Bit(strerror(errno))));
        const auto keyboards = [] { // the event nodes of our virtual keyboards
            QStringList nodes;
            for (const QString &node :
                 QDir(u"/sys/class/input"_s).entryList({u"event*"_s}, QDir::AllEntries)) {
                QFile name(u"/sys/class/input/%1/device/name"_s.arg(node));
                if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "Vanterel virtual keyboard")
                    nodes.append(u"/dev/input/"_s + node);
            }
            return nodes;
        };
        const QStringList before = keyboards();
        InjectorChoice choice = CreateUinputInjector(0ms);
        QVERIFY2(choice.injector, choice.logLine.c_str());
        QCOMPARE(choice.logLine, "Key presses through uinput (virtual keyboard)");
        QCOMPARE(choice.injector->FindWindow("Marlek ORS"), WindowHandle(0));
        QString node; // udev makes it a moment after the device
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         for (const QString &found : keyboards())
                             node = before.contains(found) ? node : found;
                         return QFile::exists(node);
                     },
                     5000),
                 "no event node appeared for the virtual keyboard");
        const int fd = ::open(QFile::encodeName(node).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            QSKIP(qPrintable(node + u" cannot be read: "_s + QString::fromLocal8Bit(strerror(errno))));
        QCOMPARE(::ioctl(fd, EVIOCGRAB, 1), 0); // the keys reach this test and no desktop
        choice.injector->PressCombo(30, 0, -1, 0, 0);
        QStringList keys;
        input_event event{};
        pollfd readable{fd, POLLIN, 0};
        while (keys.size() < 4 && ::poll(&readable, 1, 5000) == 1
               && ::read(fd, &event, sizeof event) == sizeof event)
            if (event.type == EV_KEY)
                keys.append(u"%1 %2"_s.arg(event.code).arg(event.value));
        ::close(fd);
        QCOMPARE(keys, (QStringList{u"29 1"_s, u"30 1"_s, u"30 0"_s, u"29 0"_s}));
    }
};

QTEST_GUILESS_MAIN(TestUinputInjector)
#include "tst_uinputinjector.moc"
