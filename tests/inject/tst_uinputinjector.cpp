// The uinput backend: the event stream its key sink writes (checked through
// an event writer of the test's own, no device needed) and, where the machine
// lets us, a real virtual keyboard read back through its event node.

#include "inject/Backends.h"

#include <QDir>
#include <QSet>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;

namespace {

// What the sink wrote: "KEY 30 1" (EV_KEY, code, value) and "SYN" (EV_SYN
// SYN_REPORT 0); a write made to fail is marked "!".
struct WrittenEvents {
    std::mutex mutex;
    QStringList events;
    QString failing; // the first write with this text fails
    std::optional<std::chrono::steady_clock::time_point> firstWrite;
};

InputEventWriter recordingWriter(const std::shared_ptr<WrittenEvents> &written)
{
    return [written](std::uint16_t type, std::uint16_t code, std::int32_t value) {
        QString text;
        if (type == EV_KEY)
            text = u"KEY %1 %2"_s.arg(code).arg(value);
        else if (type == EV_SYN && code == SYN_REPORT && value == 0)
            text = u"SYN"_s;
        else
            text = u"other %1 %2 %3"_s.arg(type).arg(code).arg(value);
        std::lock_guard lock(written->mutex);
        if (!written->firstWrite)
            written->firstWrite = std::chrono::steady_clock::now();
        const bool fail = !written->failing.isEmpty() && text == written->failing;
        if (fail)
            written->failing.clear();
        written->events.append(fail ? text + u'!' : text);
        return !fail;
    };
}

// The event nodes of keyboards with our device's name.
QSet<QString> virtualKeyboardNodes(bool *permissionDenied)
{
    QSet<QString> nodes;
    const QDir input(u"/dev/input"_s);
    for (const QString &entry : input.entryList({u"event*"_s}, QDir::Files | QDir::System)) {
        const QString path = input.filePath(entry);
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES)
                *permissionDenied = true;
            continue;
        }
        libevdev *device = nullptr;
        if (libevdev_new_from_fd(fd, &device) == 0) {
            if (qstrcmp(libevdev_get_name(device), "Vanterel virtual keyboard") == 0)
                nodes.insert(path);
            libevdev_free(device);
        }
        ::close(fd);
    }
    return nodes;
}

// One event node, grabbed so that its keys reach this test and no desktop.
class GrabbedKeyboard {
public:
    ~GrabbedKeyboard()
    {
        if (m_device) {
            libevdev_grab(m_device, LIBEVDEV_UNGRAB);
            libevdev_free(m_device);
        }
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool open(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return m_fd >= 0 && libevdev_new_from_fd(m_fd, &m_device) == 0
               && libevdev_grab(m_device, LIBEVDEV_GRAB) == 0;
    }

    // The next count key events as "code value", waiting up to 5 s in all.
    QStringList keys(int count)
    {
        QStringList keys;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (keys.size() < count) {
            input_event event{};
            const int result = libevdev_next_event(m_device, LIBEVDEV_READ_FLAG_NORMAL, &event);
            if (result == LIBEVDEV_READ_STATUS_SUCCESS) {
                if (event.type == EV_KEY)
                    keys.append(u"%1 %2"_s.arg(event.code).arg(event.value));
                continue;
            }
            if (result != -EAGAIN)
                break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0)
                break;
        }
        return keys;
    }

private:
    int m_fd = -1;
    libevdev *m_device = nullptr;
};

} // namespace

class TestUinputInjector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keySink_stroke_writesKeyEventsEachInItsOwnReport_data();
    void keySink_stroke_writesKeyEventsEachInItsOwnReport();
    void keySink_newDevice_takesNoKeysBeforeItHasSettled();
    void realDevice_pressCombo_keyboardReportsTheStroke();
};

void TestUinputInjector::keySink_stroke_writesKeyEventsEachInItsOwnReport_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("expected");

    QTest::addRow("Ctrl+A") << 30 << -1 << QString()
                            << QStringList{u"KEY 29 1"_s, u"SYN"_s, u"KEY 30 1"_s, u"SYN"_s,
                                           u"KEY 30 0"_s, u"SYN"_s, u"KEY 29 0"_s, u"SYN"_s};
    QTest::addRow("extended NUMPADDOT is the keypad comma")
        << 179 << 0 << QString()
        << QStringList{u"KEY 121 1"_s, u"SYN"_s, u"KEY 121 0"_s, u"SYN"_s};
    QTest::addRow("a failed write of the key still releases key and Ctrl")
        << 30 << -1 << u"KEY 30 1"_s
        << QStringList{u"KEY 29 1"_s, u"SYN"_s, u"KEY 30 1!"_s, u"KEY 30 0"_s, u"SYN"_s,
                       u"KEY 29 0"_s, u"SYN"_s};
}

void TestUinputInjector::keySink_stroke_writesKeyEventsEachInItsOwnReport()
{
    QFETCH(int, code);
    QFETCH(int, ctrl);
    QFETCH(QString, failing);
    QFETCH(QStringList, expected);

    auto written = std::make_shared<WrittenEvents>();
    written->failing = failing;
    StrokeInjector injector("uinput", CreateUinputKeySink(recordingWriter(written), 0ms), 0ms);
    injector.PressCombo(code, 0, ctrl, 0, 0);
    injector.shutdown();

    QCOMPARE(written->events, expected);
}

void TestUinputInjector::keySink_newDevice_takesNoKeysBeforeItHasSettled()
{
    // Only a lower bound: the first key may come later, never sooner.
    constexpr auto settle = 30ms;
    auto written = std::make_shared<WrittenEvents>();
    const auto created = std::chrono::steady_clock::now();
    StrokeInjector injector("uinput", CreateUinputKeySink(recordingWriter(written), settle), 0ms);
    injector.PressCombo(30, 0, 0, 0, 0);
    injector.shutdown();

    QCOMPARE(written->events.size(), 4);
    QVERIFY(*written->firstWrite - created >= settle);
}

void TestUinputInjector::realDevice_pressCombo_keyboardReportsTheStroke()
{
    const int probe = ::open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (probe < 0) {
        const QString reason = u"/dev/uinput cannot be opened for writing (%1): "
                               "no virtual keyboard on this machine"_s
                                   .arg(QString::fromLocal8Bit(std::strerror(errno)));
        QSKIP(qPrintable(reason));
    }
    ::close(probe);

    bool permissionDenied = false;
    const QSet<QString> before = virtualKeyboardNodes(&permissionDenied);
    InjectorChoice choice = CreateUinputInjector(0ms);
    QVERIFY2(choice.injector, choice.logLine.c_str());
    QCOMPARE(choice.logLine, "Key presses through uinput (virtual keyboard)");
    QCOMPARE(choice.injector->FindWindow("Marlek ORS"), WindowHandle(0));

    // udev makes the node a moment after the device; ours is the new one.
    QString node;
    const bool appeared = QTest::qWaitFor([&] {
        const QSet<QString> now = virtualKeyboardNodes(&permissionDenied) - before;
        if (!now.isEmpty())
            node = *now.begin();
        return !node.isEmpty();
    }, 5000);
    if (!appeared && permissionDenied)
        QSKIP("the event nodes of /dev/input cannot be read here: the keys cannot be read back");
    QVERIFY2(appeared, "no event node appeared for the virtual keyboard");

    GrabbedKeyboard keyboard;
    QVERIFY2(keyboard.open(node), qPrintable(node));
    choice.injector->PressCombo(30, 0, -1, 0, 0);
    QCOMPARE(keyboard.keys(4), (QStringList{u"29 1"_s, u"30 1"_s, u"30 0"_s, u"29 0"_s}));
    choice.injector->shutdown();
}

QTEST_GUILESS_MAIN(TestUinputInjector)
#include "tst_uinputinjector.moc"
