// keys.dat read, written and replaced, the numbers people type, and the folder
// that keys.dat, Log.txt and htdocs live in.
#include "app/DataFolder.h"
#include "config/ConfigFile.h"
#include "config/LeadingNumber.h"
#include "config/ReplaceFile.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::config;

class TestConfig : public QObject {
    Q_OBJECT

    // keys.dat from "|" for the separator and "\n" for CR LF.
    static QByteArray dat(QByteArray text) { return text.replace('|', '\x1e').replace("\n", "\r\n"); }
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

private Q_SLOTS:
    void loadThenSave_data()
    {
        QTest::addColumn<QByteArray>("file"); // "|" for the separator; no file when null
        QTest::addColumn<QByteArray>("saved");
        QTest::addRow("no file: port 80, the folder of start-up") << QByteArray() << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("keys in any case; the later wins") << "Port|1\nfolder|/a\nport|8|\nFOLDER|/b"_ba << dat("PORT|8\nFOLDER|/b\n");
        QTest::addRow("empty values: port 0, no folder") << "PORT|\nFOLDER|"_ba << dat("PORT|0\nFOLDER|\n");
        QTest::addRow("a port is a leading number") << "PORT|-80.5"_ba << dat("PORT|-80\nFOLDER|/s\n");
        QTest::addRow("no PORT: blanks beside the key, a tab before") << "PORT |1\nPORT 2\n\tPORT|3"_ba << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("blanks around a line go") << "   PORT|8080   "_ba << dat("PORT|8080\nFOLDER|/s\n");
        QTest::addRow("comments only at the start") << "   #PORT|1\n//PORT|2\nFOLDER|/a#b//c"_ba << dat("PORT|80\nFOLDER|/a#b//c\n");
        QTest::addRow("tabs and runs of blanks are one blank") << "FOLDER|/my \t site/x y "_ba << dat("PORT|80\nFOLDER|/my site/x y\n");
        // A folder that ended in a blank used to come back without it.
        QTest::addRow("a blank before a further field stays") << "FOLDER|/site  |x"_ba << dat("PORT|80\nFOLDER|/site |\n");
        QTest::addRow("six fields or more; unknown keys go; case kept")
            << "key|GearUp|30|4|29|1\nKEY|a|30|4|29|1|99\nkey|b|30|4|29\nTITLE|x"_ba
            << dat("PORT|80\nFOLDER|/s\nkey|GearUp|30|4|29|1\nkey|a|30|4|29|1\n");
        QTest::addRow("empty fields count; numbers are leading numbers")
            << "key||30|||\nkey|a|-1|2.5|3.5|x"_ba << dat("PORT|80\nFOLDER|/s\nkey||30|0|0|0\nkey|a|-1|2|4|0\n");
        QTest::addRow("CR LF, CR and LF end lines") << "key|a|1|0|0|0\r\nkey|b|2|0|0|0\rkey|c|3|0|0|0\nPORT|9\r\n"_ba
                                                    << dat("PORT|9\nFOLDER|/s\nkey|a|1|0|0|0\nkey|b|2|0|0|0\nkey|c|3|0|0|0\n");
        QTest::addRow("a byte that is not UTF-8 stays in its field")
            << "key|caf\xE9|30|0|0|0\nFOLDER|/caf\xC3\xA9"_ba << dat("PORT|80\nFOLDER|/caf\xC3\xA9\nkey|caf\xEF\xBF\xBD|30|0|0|0\n");
        QTest::addRow("SITES any, in any case, is kept") << "sites|Any"_ba << dat("PORT|80\nFOLDER|/s\nSITES|any\n");
        QTest::addRow("the later SITES wins; others are none") << "SITES|any\nSITES|own"_ba << dat("PORT|80\nFOLDER|/s\n");
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

    void save_touchesNothingElse_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : {"save through a link", "failed save", "killed save"})
            QTest::addRow("%s", how) << QString::fromLatin1(how);
    }

    void save_touchesNothingElse()
    {
        QFETCH(QString, how);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"keys.dat"_s), mine = dir.filePath(u"mine/keys.dat"_s);
        const QByteArray old = dat("PORT|81\n");
        // A copy the user keeps (saves used to delete such files), and one named like the save's own
        // temporary, which no save of this run made.
        const QStringList neighbours{u"keys.dat.backup"_s, u"keys.dat.vanterel-save-abcdef"_s};
        QVERIFY(writeFile(path, old) && writeFile(dir.filePath(neighbours[0]), "1") && writeFile(dir.filePath(neighbours[1]), "2"));
        const Settings settings;
        keys::KeyBindings table;
        for (int i = 0; i < 1000; ++i) // beyond the size limit below
            table.append({0, 0, 30, 0, u"binding number %1"_s.arg(i)});
        QVERIFY(QDir(dir.path()).mkdir(u"mine"_s) && SaveConfig(mine, settings, table).ok);
        const QByteArray saved = readFile(mine);

        if (how == u"save through a link") { // the file linked to is replaced, and keeps its permissions
            QVERIFY(QFile::remove(mine) && QFile::rename(path, mine) && QFile::link(u"mine/keys.dat"_s, path));
            QVERIFY(QFile::setPermissions(mine, QFile::ReadOwner | QFile::WriteOwner));
            QVERIFY(SaveConfig(path, settings, table).ok);
            QCOMPARE(QFile::permissions(mine), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
            QVERIFY(QFileInfo(path).isSymLink());
            QCOMPARE(readFile(path), saved);
        } else if (how == u"failed save") { // the kernel refuses to write past a size, as a full disk would
            rlimit limit{};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
            const rlimit unlimited = limit;
            limit.rlim_cur = 4096;
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
            const ConfigResult result = SaveConfig(path, settings, table);
            setrlimit(RLIMIT_FSIZE, &unlimited);
            std::signal(SIGXFSZ, oldHandler);
            QVERIFY(!result.ok && !result.reason.isEmpty());
            QCOMPARE(readFile(path), old);
        } else { // a child saves again and again and is killed once a save has landed
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            while (child == 0)
                (void)SaveConfig(path, settings, table);
            const bool landed = QTest::qWaitFor([&] { return readFile(path) == saved; }, 10000);
            ::kill(child, SIGKILL);
            QCOMPARE(::waitpid(child, nullptr, 0), child);
            QVERIFY(landed);
            QCOMPARE(readFile(path), saved);
        }
        QCOMPARE(readFile(dir.filePath(neighbours[0])) + readFile(dir.filePath(neighbours[1])), QByteArray("12"));
        // Only a save killed between naming its new content and renaming it over keys.dat can leave a file,
        // under the program's own name.
        const QString ours = u"keys.dat"_s + QLatin1String(SaveTemporaryInfix);
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(name == u"keys.dat" || neighbours.contains(name) || (how == u"killed save" && name.startsWith(ours)),
                     qPrintable(name));
    }

    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("value"); // 0 for a number out of range
        QTest::addColumn<bool>("inRange");
        // Rows are named by their text. Beyond the plain cases: a half goes to the even neighbour, decided on the
        // digits ("80.4999999999999999999" is below a half though a double would round it up), no exponent, and
        // the 32-bit bounds before and after rounding.
        const std::tuple<const char16_t *, qint32, bool> rows[] = {
            {u"8080abc", 8080, true}, {u"abc", 0, true}, {u" \t 8080", 8080, true}, {u"+5", 5, true},
            {u"- 5", 0, true}, {u"\u0663", 0, true}, {u"80.5", 80, true}, {u"81.5", 82, true}, {u"80.500", 80, true},
            {u"80.50001", 81, true}, {u"80.4999999999999999999", 80, true}, {u"-1.5", -2, true}, {u"-2.5", -2, true},
            {u".6", 1, true}, {u"5.e3", 5, true}, {u"-2147483648", -2147483647 - 1, true}, {u"-2147483649", 0, false},
            {u"2147483647.5", 0, false}, {u"-2147483648.5", -2147483647 - 1, true}, {u"99999999999999999999", 0, false}};
        for (const auto &[text, value, inRange] : rows)
            QTest::addRow("%s", qPrintable(QString::fromUtf16(text))) << QString::fromUtf16(text) << value << inRange;
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
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(share + u"/htdocs/img"_s) && (!usersKeys || QDir().mkpath(user)));
        QVERIFY(!samples || (writeFile(share + u"/htdocs/img/up.png"_s, "png") && writeFile(share + u"/keys.sample.dat"_s, "s")));
        QVERIFY(samples || QDir(share).removeRecursively());
        QVERIFY(!usersKeys || writeFile(user + u"/keys.dat"_s, "user's"));
        QVERIFY(program != u"read-only" || QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner));
        if (program == u"read-only" && QFileInfo(bin).isWritable())
            QSKIP("folder permissions are not enforced for this user (running as root)");
        const app::DataFolderPaths paths{bin, program == u"installed" ? bin : u"/usr/bin"_s, user, share};

        const app::DataFolder chosen = app::ChooseDataFolder(paths);
        QCOMPARE(chosen.folder, program == u"build" ? bin : user);
        QCOMPARE(chosen.besideProgram, program == u"build");
        QTEST(chosen.created, "created");
        QCOMPARE(chosen.problem.isEmpty(), samples);
        QVERIFY(chosen.logLine().contains(chosen.folder));
        QCOMPARE(readFile(user + u"/keys.dat"_s), QByteArray(usersKeys ? "user's" : created.contains(u"keys.dat") ? "s" : "<none>"));
        QCOMPARE(readFile(user + u"/htdocs/img/up.png"_s), QByteArray(created.contains(u"htdocs") ? "png" : "<none>"));
        // Nothing else is left there, not even the copy's staging folder; later starts find all in place.
        QCOMPARE(QDir(user).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
                 created.size() + (usersKeys ? 1 : 0));
        QCOMPARE(app::ChooseDataFolder(paths).created, QStringList());
    }
};

QTEST_APPLESS_MAIN(TestConfig)
#include "tst_config.moc"
