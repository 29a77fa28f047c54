// keys.dat read, written and replaced, the numbers people type, and the folder
// that keys.dat, Log.txt and htdocs live in.
#include "app/DataFolder.h"
#include "config/ConfigFile.h"
#include "config/LeadingNumber.h"
#include "config/ReplaceFile.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

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
        QTest::addRow("no file") << QByteArray() << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("keys in any case; the later wins; a port is a leading number; a folder keeps its case")
            << "Port|1\nfolder|/a\nport|-80.5|\nFOLDER|/My Site/B"_ba << dat("PORT|-80\nFOLDER|/My Site/B\n");
        QTest::addRow("no PORT with a blank or tab by the key; empty values")
            << "PORT|\nFOLDER|\nPORT |1\nPORT 2\n\tPORT|3"_ba << dat("PORT|0\nFOLDER|\n");
        QTest::addRow("comments only at the start")
            << "   #PORT|1\n//PORT|2\nFOLDER|/a#b//c"_ba << dat("PORT|80\nFOLDER|/a#b//c\n");
        QTest::addRow("blanks around a line go; tabs and runs of blanks are one blank")
            << "   FOLDER|/My \t Site/X y   "_ba << dat("PORT|80\nFOLDER|/My Site/X y\n");
        // A folder that ended in a blank used to come back without it.
        QTest::addRow("a blank before a further field stays")
            << "FOLDER|/Site  |x"_ba << dat("PORT|80\nFOLDER|/Site |\n");
        QTest::addRow("six fields or more, the seventh a hold, later ones go; unknown keys go; case kept")
            << "key|GearUp|30|4|29|1\nKEY|a|30|4|29|1|99|7\nkey|b|30|4|29\nTITLE|x"_ba
            << dat("PORT|80\nFOLDER|/s\nkey|GearUp|30|4|29|1\nkey|a|30|4|29|1|99\n");
        QTest::addRow("a binding's hold: 10 to 1000 kept; below, above, no number or empty are none")
            << "key|a|1|0|0|0|9\nkey|b|1|0|0|0|10\nkey|c|1|0|0|0|1000.4\nkey|d|1|0|0|0|1001\nkey|e|1|0|0|0|"
               "x\n"
               "key|f|1|0|0|0|"_ba
            << dat("PORT|80\nFOLDER|/s\nkey|a|1|0|0|0\nkey|b|1|0|0|0|10\nkey|c|1|0|0|0|1000\nkey|d|1|0|0|0\n"
                   "key|e|1|0|0|0\nkey|f|1|0|0|0\n");
        QTest::addRow(
            "HOLD as a binding's hold, the later wins; after DEVICES; KEYFILE after it, a blank kept")
            << "keyfile|/My Sim/k.key |\nhold|5\nHOLD|999.6\nDEVICES|only"_ba
            << dat("PORT|80\nFOLDER|/s\nDEVICES|only\nHOLD|1000\nKEYFILE|/My Sim/k.key |\n");
        QTest::addRow("HOLD out of range after one in range: none written")
            << "HOLD|50\nHOLD|1001"_ba << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("empty fields count; numbers are leading numbers")
            << "key||30|||\nkey|a|-1|2.5|3.5|x"_ba
            << dat("PORT|80\nFOLDER|/s\nkey||30|0|0|0\nkey|a|-1|2|4|0\n");
        QTest::addRow("UTF-8 passes, capitals too")
            << "FOLDER|/CAF\xC3\x89"_ba << dat("PORT|80\nFOLDER|/CAF\xC3\x89\n");
        QTest::addRow("SITES any, any case") << "sites|Any"_ba << dat("PORT|80\nFOLDER|/s\nSITES|any\n");
        QTest::addRow("the later SITES wins") << "SITES|any\nSITES|own"_ba << dat("PORT|80\nFOLDER|/s\n");
        QTest::addRow("HOSTS: names kept as written, empty fields go")
            << "hosts|Panel.Home||cockpit "_ba << dat("PORT|80\nFOLDER|/s\nHOSTS|Panel.Home|cockpit\n");
        QTest::addRow("DEVICES only, with its devices")
            << "DEVICES|Only|192.168.1.23|fe80::1"_ba
            << dat("PORT|80\nFOLDER|/s\nDEVICES|only|192.168.1.23|fe80::1\n");
        QTest::addRow("DEVICES: devices kept while the mode is off")
            << "DEVICES|any|10.0.0.2"_ba << dat("PORT|80\nFOLDER|/s\nDEVICES|any|10.0.0.2\n");
        QTest::addRow("DEVICES off without devices writes no line")
            << "DEVICES|no"_ba << dat("PORT|80\nFOLDER|/s\n");
    }

    void loadThenSave()
    {
        QFETCH(QByteArray, file);
        QTemporaryDir dir; // in a folder whose name has capitals and a blank, as users' folders do
        const QString path = dir.filePath(u"My Panel/keys.dat"_s);
        QVERIFY(QDir(dir.path()).mkdir(u"My Panel"_s));
        QVERIFY(file.isNull() || writeFile(path, file.replace('|', '\x1e')));
        for (int round = 0; round < 2; ++round) { // what was saved reads back as the same
            // Start-up's state before loading, with values a load must replace or reset.
            Settings settings{1234, u"/s"_s,        u"Other title"_s, {}, {}, true, {u"old.host"_s},
                              true, {u"10.9.9.9"_s}};
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
#ifndef Q_OS_UNIX
        // QFile::link makes a shortcut there, not a link; there is no file size limit per process nor
        // fork() to cut a save short.
        QSKIP("links, size limits and fork() are Unix's");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(u"keys.dat"_s), mine = dir.filePath(u"mine/keys.dat"_s);
        const QByteArray old = dat("PORT|81\n");
        // A copy the user keeps (saves used to delete such files), and one named like a save's temporary.
        const QStringList neighbours{u"keys.dat.backup"_s, u"keys.dat.vanterel-save-abcdef"_s};
        QVERIFY(writeFile(path, old) && writeFile(dir.filePath(neighbours[0]), "1")
                && writeFile(dir.filePath(neighbours[1]), "2"));
        const Settings settings;
        keys::KeyBindings table;
        for (int i = 0; i < 1000; ++i) // beyond the size limit below
            table.append({0, 0, 30, 0, u"binding number %1"_s.arg(i)});
        QVERIFY(QDir(dir.path()).mkdir(u"mine"_s) && SaveConfig(mine, settings, table).ok);
        const QByteArray saved = readFile(mine);

        if (how == u"save through a link") { // the file linked to is replaced
            QVERIFY(QFile::remove(mine) && QFile::rename(path, mine)
                    && QFile::link(u"mine/keys.dat"_s, path));
            QVERIFY(SaveConfig(path, settings, table).ok);
            QVERIFY(QFileInfo(path).isSymLink());
            QCOMPARE(readFile(path), saved);
        } else if (how == u"failed save") { // the kernel refuses to write past a size, as a full disk would
            rlimit limit{};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
            const rlimit unlimited = limit;
            limit.rlim_cur = 4096;
            std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails rather than ending the test
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
            const ConfigResult result = SaveConfig(path, settings, table);
            setrlimit(RLIMIT_FSIZE, &unlimited);
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
        QCOMPARE(readFile(dir.filePath(neighbours[0])) + readFile(dir.filePath(neighbours[1])),
                 QByteArray("12"));
        // Only a save killed between naming its new content and renaming it can leave a file, under our name.
        const QString ours = u"keys.dat"_s + QLatin1String(SaveTemporaryInfix);
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(name == u"keys.dat" || neighbours.contains(name)
                         || (how == u"killed save" && name.startsWith(ours)),
                     qPrintable(name));
#endif
    }

    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("value"); // 0 for a number out of range
        QTest::addColumn<bool>("inRange");
        // Named by their text: a half to the even neighbour, decided on the digits (a double would round
        // "80.4999999999999999999" up), no exponent, the 32-bit bounds before and after rounding.
        const std::tuple<const char16_t *, qint32, bool> rows[] = {{u" \t 8080", 8080, true},
                                                                   {u"+5", 5, true},
                                                                   {u"- 5", 0, true},
                                                                   {u"\u0663", 0, true},
                                                                   {u"80.5", 80, true},
                                                                   {u"81.5", 82, true},
                                                                   {u"80.500", 80, true},
                                                                   {u"80.50001", 81, true},
                                                                   {u"80.4999999999999999999", 80, true},
                                                                   {u"-1.5", -2, true},
                                                                   {u"-2.5", -2, true},
                                                                   {u".6", 1, true},
                                                                   {u"5.e3", 5, true},
                                                                   {u"-2147483648", -2147483647 - 1, true},
                                                                   {u"-2147483649", 0, false},
                                                                   {u"2147483647.5", 0, false},
                                                                   {u"-2147483648.5", -2147483647 - 1, true},
                                                                   {u"99999999999999999999", 0, false}};
        for (const auto &[text, value, inRange] : rows)
            QTest::addRow("%s", qPrintable(QString::fromUtf16(text)))
                << QString::fromUtf16(text) << value << inRange;
    }

    void leadingNumber()
    {
        QFETCH(QString, text);
        QTEST(ReadLeadingNumber(text).value, "value");
        QTEST(ReadLeadingNumber(text).inRange, "inRange");
    }

    void dataFolder_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("samples"); // where they lie: "share", "bin" (a portable copy) or none
        QTest::addColumn<bool>("usersKeys");  // a keys.dat of the user's already in the folder chosen
        QTest::addColumn<QStringList>("created");
        QTest::addRow("a build keeps its files beside itself")
            << false << u"share"_s << false << QStringList();
        QTest::addRow("a portable copy makes its keys.dat from the sample beside it")
            << false << u"bin"_s << false << QStringList{u"keys.dat"_s};
        QTest::addRow("a portable copy unpacked again keeps the user's keys.dat")
            << false << u"bin"_s << true << QStringList();
        QTest::addRow("installed: the user's folder, though root could write beside the program")
            << true << u"share"_s << false << QStringList{u"htdocs"_s, u"keys.dat"_s};
        QTest::addRow("the user's keys.dat stays") << true << u"share"_s << true << QStringList{u"htdocs"_s};
        QTest::addRow("no samples: the folder, and why") << true << QString() << false << QStringList();
    }

    void dataFolder()
    {
        QFETCH(bool, installed);
        QFETCH(QString, samples);
        QFETCH(bool, usersKeys);
        QFETCH(QStringList, created);
        QTemporaryDir root;
        const QString bin = root.filePath(u"bin"_s), user = root.filePath(u"v"_s),
                      share = root.filePath(u"share"_s);
        const QString chosenFolder = installed ? user : bin;
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(share + u"/htdocs/img"_s) && QDir().mkpath(user));
        QVERIFY(!usersKeys || writeFile(chosenFolder + u"/keys.dat"_s, "user's"));
        if (samples == u"share"_s)
            QVERIFY(writeFile(share + u"/htdocs/img/up.png"_s, "png")
                    && writeFile(share + u"/keys.sample.dat"_s, "s"));
        else
            QVERIFY(QDir(share).removeRecursively());
        QVERIFY(samples != u"bin"_s || writeFile(bin + u"/keys.sample.dat"_s, "s"));
        const app::DataFolderPaths paths{bin, installed ? bin : u"/usr/bin"_s, user, share};
        const app::DataFolder chosen = app::ChooseDataFolder(paths);
        QCOMPARE(chosen.folder, chosenFolder);
        QTEST(chosen.created, "created");
        QCOMPARE(chosen.problem.isEmpty(), !samples.isEmpty());
        const char *keys = usersKeys ? "user's" : (created.contains(u"keys.dat"_s) ? "s" : "<none>");
        QCOMPARE(readFile(chosenFolder + u"/keys.dat"_s), QByteArray(keys));
        QCOMPARE(readFile(user + u"/htdocs/img/up.png"_s),
                 QByteArray(installed && samples == u"share"_s ? "png" : "<none>"));
    }
};

QTEST_APPLESS_MAIN(TestConfig)
#include "tst_config.moc"
