// keys.dat when the program dies in the middle of saving it: whatever the
// moment, the file holds either the previous content or the new one, whole.
#include "common/Settings.h"
#include "config/ConfigFile.h"
#include "config/ReplaceFile.h"
#include "keys/KeyBindings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vanterel;

namespace {

constexpr int Rounds = 150;

struct Content {
    Settings settings;
    keys::KeyBindings bindings;
};

// Two contents of clearly different sizes, so that a file cut short, or one
// that mixes the two, can never pass for either.
Content small()
{
    Content c;
    c.settings.ServerPort = 80;
    c.settings.DocumentRoot = QStringLiteral("/srv/panel");
    c.bindings.append({30, 0, 0, 0, QStringLiteral("Alpha")});
    c.bindings.append({46, 2, 25, 1, QStringLiteral("Beta")});
    return c;
}

Content large()
{
    Content c;
    c.settings.ServerPort = 8080;
    c.settings.DocumentRoot = QStringLiteral("/home/user/a much longer folder/htdocs");
    for (int i = 0; i < 3000; ++i)
        c.bindings.append({i % 200, i % 8, (i * 7) % 200, (i / 8) % 8, QStringLiteral("Command%1").arg(i)});
    return c;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<cannot be read>");
}

// The child: saves the two contents in turn for ever, telling the parent once
// it has begun and after every save it finished. Only plain calls after
// fork(): no event loop, no threads.
[[noreturn]] void saveForEver(const QString &path, int ready)
{
    const Content contents[2] = {large(), small()};
    const char byte = 'x';
    for (unsigned n = 0;; ++n) {
        if (::write(ready, &byte, 1) != 1)
            ::_exit(2);
        const Content &c = contents[n % 2];
        (void)config::SaveConfig(path, c.settings, c.bindings);
    }
}

// Waits for the child's n-th report; false when it does not come.
bool waitForReports(int fd, int n)
{
    char byte = 0;
    for (int i = 0; i < n; ++i) {
        pollfd readable = {fd, POLLIN, 0};
        if (::poll(&readable, 1, 10000) != 1 || ::read(fd, &byte, 1) != 1)
            return false;
    }
    return true;
}

} // namespace

class TestSaveKill : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void killedWhileSaving_leavesTheOldOrTheNewFileWhole()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("keys.dat"));

        // The two files as a save that is not disturbed writes them.
        const Content a = small();
        const Content b = large();
        QVERIFY(config::SaveConfig(path, b.settings, b.bindings).ok);
        const QByteArray large = readAll(path);
        QVERIFY(config::SaveConfig(path, a.settings, a.bindings).ok);
        const QByteArray small = readAll(path);
        QVERIFY(small.size() > 0 && large.size() > 10 * small.size());
        // How long a save of the large content takes on this machine now, so
        // that the kills spread over whole saves however busy it is.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(config::SaveConfig(path, b.settings, b.bindings).ok);
        QVERIFY(config::SaveConfig(path, a.settings, a.bindings).ok);
        const qint64 saveMicroseconds = std::max<qint64>(clock.nsecsElapsed() / 2000, 1);

        // Seeded, so that a failing round can be run again as it was.
        QRandomGenerator random(20240611);
        int sawSmall = 0;
        int sawLarge = 0;
        for (int round = 0; round < Rounds; ++round) {
            int ready[2];
            QCOMPARE(::pipe(ready), 0);
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                ::close(ready[0]);
                saveForEver(path, ready[1]);
            }
            ::close(ready[1]);
            // Let the child begin up to two more saves (the first writes the
            // large content, the second the small), then kill it somewhere
            // within the next two saves. The delay only picks the moment;
            // nothing waits on it.
            const bool started = waitForReports(ready[0], 1 + int(random.bounded(3)));
            const auto delay = std::chrono::microseconds(random.bounded(2 * saveMicroseconds + 1));
            std::this_thread::sleep_for(delay);
            ::kill(child, SIGKILL);
            ::close(ready[0]);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(started);
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

            const QByteArray now = readAll(path);
            QVERIFY2(now == small || now == large,
                     qPrintable(QStringLiteral("round %1, killed after %2 us: %3 bytes, neither the old nor "
                                               "the new content")
                                    .arg(round).arg(delay.count()).arg(now.size())));
            (now == small ? sawSmall : sawLarge) += 1;
        }
        // A killed save leaves nothing, or a file under the program's own name.
        const QString ours = QStringLiteral("keys.dat") + QLatin1String(config::SaveTemporaryInfix);
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(name == QStringLiteral("keys.dat") || name.startsWith(ours), qPrintable(name));
        // The kills landed in different saves, not all before the first one.
        QVERIFY2(sawSmall > 0 && sawLarge > 0,
                 qPrintable(QStringLiteral("small %1 times, large %2 times").arg(sawSmall).arg(sawLarge)));
    }
};

QTEST_GUILESS_MAIN(TestSaveKill)
#include "tst_savekill.moc"
