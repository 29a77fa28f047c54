// keys.dat read, written and replaced, the numbers people type, and the folder
// that keys.dat, Log.txt and htdocs live in.
#include "app/DataFolder.h"
#include "config/ConfigFile.h"
#include "config/LeadingNumber.h"
#include "config/ReplaceFile.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::config;

namespace {

// keys.dat from "|" for the separator and "\n" for CR LF.
QByteArray dat(QByteArray text) { return text.replace('|', '\x1e').replace("\n", "\r\n"); }

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestConfig : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loadThenSave_data()
    {
        QTest::addColumn<QByteArray>("file"); // "|" for the separator; no file when null
        QTest::addColumn<QByteArray>("saved");

        QTest::addRow("no file: port 80, the folder start-up set, nothing else") << QByteArray() << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("keys in any case; the later PORT and FOLDER win")
            << "Port|1\nfolder|/a\nport|8080\nFOLDER|/b"_ba << dat("PORT|8080\nFOLDER|/b\n");
        QTest::addRow("empty values: port 0, no folder") << "PORT|\nFOLDER|"_ba << dat("PORT|0\nFOLDER|\n");
        QTest::addRow("a leading number, a half to even") << "PORT|-80.5"_ba << dat("PORT|-80\nFOLDER|/s\n");
        QTest::addRow("no PORT: a blank beside the key or instead of the separator, a tab before it")
            << "PORT |1\nPORT 2\n\tPORT|3"_ba << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("blanks around a line go") << "   PORT|8080   "_ba << dat("PORT|8080\nFOLDER|/s\n");
        QTest::addRow("# and // begin comments only at the start")
            << "   #PORT|1\n//PORT|2\nFOLDER|/a#b//c"_ba << dat("PORT|80\nFOLDER|/a#b//c\n");
        QTest::addRow("a tab is a blank, blanks in a row are one, a blank at the end goes")
            << "FOLDER|/my \t site/x y "_ba << dat("PORT|80\nFOLDER|/my site/x y\n");
        // A folder that ended in a blank used to come back without it.
        QTest::addRow("a blank before a further field stays, and is saved so")
            << "FOLDER|/site  |x"_ba << dat("PORT|80\nFOLDER|/site |\n");
        QTest::addRow("key lines need six fields; unknown keys go; a callback keeps its case")
            << "key|GearUp|30|4|29|1\nKEY|a|30|4|29|1|99\nkey|b|30|4|29\nTITLE|x"_ba
            << dat("PORT|80\nFOLDER|/s\nkey|GearUp|30|4|29|1\nkey|a|30|4|29|1\n");
        QTest::addRow("empty fields count and read 0; numbers are leading numbers")
            << "key||30|||\nkey|a|-1|2.5|3.5|x"_ba << dat("PORT|80\nFOLDER|/s\nkey||30|0|0|0\nkey|a|-1|2|4|0\n");
        QTest::addRow("CR LF, CR and LF end lines") << "key|a|1|0|0|0\r\nkey|b|2|0|0|0\rkey|c|3|0|0|0\nPORT|9\r\n"_ba
                                                    << dat("PORT|9\nFOLDER|/s\nkey|a|1|0|0|0\nkey|b|2|0|0|0\nkey|c|3|0|0|0\n");
        QTest::addRow("a byte that is not UTF-8 stays in its field; UTF-8 passes")
            << "key|caf\xE9|30|0|0|0\nFOLDER|/caf\xC3\xA9"_ba
            << dat("PORT|80\nFOLDER|/caf\xC3\xA9\nkey|caf\xEF\xBF\xBD|30|0|0|0\n");
        QTest::addRow("SITES any, in any case, is kept") << "sites|Any"_ba << dat("PORT|80\nFOLDER|/s\nSITES|any\n");
        QTest::addRow("the later SITES wins; another value is none") << "SITES|any\nSITES|own"_ba << dat("PORT|80\nFOLDER|/s\n");
    }

    void loadThenSave()
    {
        QFETCH(QByteArray, file);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"keys.dat"_s);
        QVERIFY(file.isNull() || writeFile(path, file.replace('|', '\x1e')));
        for (int round = 0; round < 2; ++round) { // what was saved reads back as the same
            // Start-up's state before loading, with values a load must replace or reset.
            Settings settings{1234, u"/s"_s, u"Other title"_s, {}, {}, true};
            keys::KeyBindings table;
            table.append({0, 0, 1, 0, u"stale"_s});
            QVERIFY(LoadConfig(path, settings, table).ok);
            QCOMPARE(settings.TargetWindowTitle, u"Marlek ORS"_s);
            QVERIFY(SaveConfig(path, settings, table).ok);
            QTEST(readFile(path), "saved");
        }
    }

    void save_writesWhatCannotBeStoredAsBlanks()
    {
        QTemporaryDir dir;
        keys::KeyBindings table;
        table.append({-1, 7, 30, 2, u"x\x1ey\r\nz"_s});
        QVERIFY(SaveConfig(dir.filePath(u"keys.dat"_s), {80, u"/a\nPORT\x1e" "1"_s, {}, {}, {}, false}, table).ok);
        QCOMPARE(readFile(dir.filePath(u"keys.dat"_s)), dat("PORT|80\nFOLDER|/a PORT 1\nkey|x y  z|30|2|-1|7\n"));
    }

    void save_touchesNothingElse_data()
    {
        QTest::addColumn<QString>("neighbour");
        QTest::addColumn<QString>("how");
        // A copy the user keeps (saves used to delete such files), and one
        // named like the save's own temporary, which no save of this run made.
        for (const char *name : {"keys.dat.backup", "keys.dat.vanterel-save-abcdef"})
            for (const char *how : {"save through a link", "failed save", "killed save", "folder in the way", "no folder"})
                QTest::addRow("%s, %s", name, how) << QString::fromLatin1(name) << QString::fromLatin1(how);
    }

    void save_touchesNothingElse()
    {
        QFETCH(QString, neighbour);
        QFETCH(QString, how);
        QTemporaryDir dir;
        const QString path = dir.filePath(how == u"no folder" ? u"none/keys.dat"_s : u"keys.dat"_s);
        const QByteArray old = dat("PORT|81\n");
        QVERIFY(writeFile(dir.filePath(u"keys.dat"_s), old) && writeFile(dir.filePath(neighbour), "the user's"));
        QVERIFY(QFile::setPermissions(dir.filePath(u"keys.dat"_s), QFile::ReadOwner | QFile::WriteOwner));
        const Settings settings;
        keys::KeyBindings table;
        for (int i = 0; i < 1000; ++i) // beyond the size limit below
            table.append({0, 0, 30, 0, u"binding number %1"_s.arg(i)});
        QVERIFY(QDir(dir.path()).mkdir(u"mine"_s) && SaveConfig(dir.filePath(u"mine/keys.dat"_s), settings, table).ok);
        const QByteArray saved = readFile(dir.filePath(u"mine/keys.dat"_s));

        ConfigResult result;
        if (how == u"save through a link") {
            // The file linked to is replaced, and keeps its permissions.
            const QString mine = dir.filePath(u"mine/keys.dat"_s);
            QVERIFY(QFile::remove(mine) && QFile::rename(path, mine) && QFile::link(u"mine/keys.dat"_s, path));
            QVERIFY(SaveConfig(path, settings, table).ok);
            QVERIFY(QFileInfo(path).isSymLink());
            struct stat file {};
            QVERIFY(::stat(QFile::encodeName(path).constData(), &file) == 0 && (file.st_mode & 07777) == 0600);
            QCOMPARE(readFile(path), saved);
        } else if (how == u"failed save") {
            // The kernel refuses to write past this size, as a full disk would.
            rlimit limit{};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
            const rlimit unlimited = limit;
            limit.rlim_cur = 4096;
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
            result = SaveConfig(path, settings, table);
            setrlimit(RLIMIT_FSIZE, &unlimited);
            std::signal(SIGXFSZ, oldHandler);
        } else if (how == u"killed save") {
            // A child saves again and again and is killed once a save has landed.
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            while (child == 0)
                (void)SaveConfig(path, settings, table);
            const bool landed = QTest::qWaitFor([&] { return readFile(path) == saved; }, 10000);
            ::kill(child, SIGKILL);
            QCOMPARE(::waitpid(child, nullptr, 0), child);
            QVERIFY(landed);
            QCOMPARE(readFile(path), saved);
        } else {
            QVERIFY(how == u"no folder" || (QFile::remove(path) && QDir(dir.path()).mkdir(u"keys.dat"_s)));
            result = SaveConfig(path, settings, table);
        }
        if (how != u"save through a link" && how != u"killed save") {
            QVERIFY(!result.ok && !result.reason.isEmpty());
            QCOMPARE(readFile(path), how == u"failed save" ? old : QByteArray("<none>"));
        }
        QCOMPARE(readFile(dir.filePath(neighbour)), QByteArray("the user's"));
        // Only a save killed between naming its new content and renaming it
        // over keys.dat can leave a file, under the program's own name.
        const QString ours = u"keys.dat"_s + QLatin1String(SaveTemporaryInfix);
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(name == u"keys.dat" || name == neighbour || (how == u"killed save" && name.startsWith(ours)),
                     qPrintable(name));
    }

    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("value"); // 0 for a number out of range
        QTest::addColumn<bool>("inRange");
        QTest::addRow("letters after the number are ignored") << u"8080abc"_s << 8080 << true;
        QTest::addRow("letters alone, or nothing, read 0") << u"abc"_s << 0 << true;
        QTest::addRow("blanks and tabs before it are skipped") << u" \t 8080"_s << 8080 << true;
        QTest::addRow("a plus sign") << u"+5"_s << 5 << true;
        QTest::addRow("a blank after the sign ends it") << u"- 5"_s << 0 << true;
        QTest::addRow("digits of other scripts are no digits") << u"\u0663"_s << 0 << true;
        QTest::addRow("80.5 rounds to the even 80") << u"80.5"_s << 80 << true;
        QTest::addRow("81.5 rounds to the even 82") << u"81.5"_s << 82 << true;
        QTest::addRow("trailing zeros keep an exact half") << u"80.500"_s << 80 << true;
        QTest::addRow("a digit after the 5 makes it more") << u"80.50001"_s << 81 << true;
        QTest::addRow("just under a half, past floating point") << u"80.4999999999999999999"_s << 80 << true;
        QTest::addRow("-1.5 rounds to -2") << u"-1.5"_s << -2 << true;
        QTest::addRow("-2.5 rounds to -2") << u"-2.5"_s << -2 << true;
        QTest::addRow("no digit before the point") << u".6"_s << 1 << true;
        QTest::addRow("no digit after the point, no exponent") << u"5.e3"_s << 5 << true;
        QTest::addRow("the smallest") << u"-2147483648"_s << qint32(-2147483647 - 1) << true;
        QTest::addRow("one below the smallest") << u"-2147483649"_s << 0 << false;
        QTest::addRow("rounding past the largest") << u"2147483647.5"_s << 0 << false;
        QTest::addRow("the smallest half rounds to the even smallest") << u"-2147483648.5"_s << qint32(-2147483647 - 1)
                                                                        << true;
        QTest::addRow("far too many digits") << u"99999999999999999999999999999"_s << 0 << false;
    }

    void leadingNumber()
    {
        QFETCH(QString, text);
        QTEST(ReadLeadingNumber(text).value, "value");
        QTEST(ReadLeadingNumber(text).inRange, "inRange");
    }

    void dataFolder_data()
    {
        QTest::addColumn<QString>("program"); // "build", "installed" or "read-only"
        QTest::addColumn<bool>("usersKeys"); // a keys.dat already in the user's folder
        QTest::addColumn<bool>("samples");
        QTest::addColumn<QStringList>("created");
        const QStringList both{u"htdocs"_s, u"keys.dat"_s};
        QTest::addRow("a build keeps its files beside itself") << u"build"_s << false << true << QStringList();
        QTest::addRow("installed: the user's folder, though root could write beside it")
            << u"installed"_s << false << true << both;
        QTest::addRow("a program folder that cannot be written") << u"read-only"_s << false << true << both;
        QTest::addRow("a keys.dat already there stays") << u"installed"_s << true << true << QStringList{u"htdocs"_s};
        QTest::addRow("no samples: the folder all the same, and why") << u"installed"_s << false << false << QStringList();
    }

    void dataFolder()
    {
        QFETCH(QString, program);
        QFETCH(bool, usersKeys);
        QFETCH(bool, samples);
        QFETCH(QStringList, created);
        QTemporaryDir root;
        const QString bin = root.filePath(u"bin"_s), user = root.filePath(u"home/v"_s), share = root.filePath(u"share"_s);
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(share + u"/htdocs/img"_s));
        QVERIFY(!samples || (writeFile(share + u"/htdocs/img/up.png"_s, "png") && writeFile(share + u"/keys.sample.dat"_s, "s")));
        QVERIFY(samples || QDir(share).removeRecursively());
        QVERIFY(!usersKeys || (QDir().mkpath(user) && writeFile(user + u"/keys.dat"_s, "user's")));
        QVERIFY(program != u"read-only" || QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner));
        if (program == u"read-only" && QFileInfo(bin).isWritable())
            QSKIP("folder permissions are not enforced for this user (running as root)");
        const bool beside = program == u"build";

        const app::DataFolderPaths paths{bin, program == u"installed" ? bin : u"/usr/bin"_s, user, share};
        const app::DataFolder chosen = app::ChooseDataFolder(paths);
        QFile::setPermissions(bin, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(chosen.folder, beside ? bin : user);
        QCOMPARE(chosen.besideProgram, beside);
        QTEST(chosen.created, "created");
        QCOMPARE(chosen.problem.isEmpty(), beside || samples);
        QVERIFY(chosen.logLine().contains(chosen.folder));
        const char *keys = usersKeys ? "user's" : created.contains(u"keys.dat") ? "s" : "<none>";
        QCOMPARE(readFile(user + u"/keys.dat"_s), QByteArray(keys));
        QCOMPARE(readFile(user + u"/htdocs/img/up.png"_s), QByteArray(created.contains(u"htdocs") ? "png" : "<none>"));
        // Nothing else is left there, not even the copy's staging folder; later starts find all in place.
        QCOMPARE(QDir(user).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
                 created.size() + (usersKeys ? 1 : 0));
        QCOMPARE(app::ChooseDataFolder(paths).created, QStringList());
    }
};

QTEST_APPLESS_MAIN(TestConfig)
#include "tst_config.moc"
