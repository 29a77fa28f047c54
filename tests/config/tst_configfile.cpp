#include "config/ConfigFile.h"
#include "config/ReplaceFile.h"
#include "tests/keys/BindingTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::config;
using namespace vanterel::keys;

using Bindings = QList<KeyBinding>;

namespace {

const QString StartRoot = u"/start/htdocs"_s;

// Lines of keys.dat as the user or the program writes them; "|" stands for
// the field separator so the rows stay readable.
QByteArray datLines(const char *text)
{
    QByteArray bytes(text);
    bytes.replace('|', '\x1e');
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void load_data();
    void load();
    void load_missingFile_setsDefaultsAndEmptiesTable();
    void save_writesExactBytes();
    void sitesRecord_data();
    void sitesRecord();
    void save_roundTripOfThreeBindings();
    void save_folderComesBack_data();
    void save_folderComesBack();
    void save_unstorableCharactersBecomeBlanks();
    void save_touchesNothingButKeysDat_data();
    void save_touchesNothingButKeysDat();
    void save_failureReportsReason_data();
    void save_failureReportsReason();
    void fileExists_data();
    void fileExists();

private:
    // A fresh folder for every test function and row.
    std::unique_ptr<QTemporaryDir> m_tempDir;
    QString path(const QString &name) const { return m_tempDir->filePath(name); }
    QString folder() const { return m_tempDir->path(); }
    Settings m_settings;
    KeyBindings m_table;

    // Settings as start-up leaves them before loading, plus a stale binding
    // and values that differ from every default, so that a load that forgets
    // to set or reset something shows.
    void prepareStartState();
};

void TestConfigFile::init()
{
    m_tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tempDir->isValid());
    prepareStartState();
}

void TestConfigFile::prepareStartState()
{
    m_settings = Settings{};
    m_settings.ServerPort = 1234;
    m_settings.TargetWindowTitle = u"Something else"_s;
    m_settings.DocumentRoot = StartRoot;
    m_table.reset();
    m_table.append(Binding(u"stale"_s, 1, 0));
}

void TestConfigFile::load_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint32>("port");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<Bindings>("bindings");

    const Bindings none;
    QTest::addRow("port in mixed case") << datLines("Port|8080") << 8080 << StartRoot << none;
    QTest::addRow("a blank before the separator makes the key unknown")
        << datLines("PORT |8080") << 80 << StartRoot << none;
    QTest::addRow("a blank instead of the separator is one field")
        << datLines("PORT 8080") << 80 << StartRoot << none;
    QTest::addRow("a tab before the key is not stripped")
        << datLines("\tPORT|8080") << 80 << StartRoot << none;
    QTest::addRow("blanks around the line are stripped")
        << datLines("   PORT|8080   ") << 8080 << StartRoot << none;
    QTest::addRow("three blanks then # is a comment") << datLines("   #PORT|1") << 80 << StartRoot << none;
    QTest::addRow("// is a comment") << datLines("//PORT|1") << 80 << StartRoot << none;
    QTest::addRow("# later in the line is text")
        << datLines("FOLDER|/a#b") << 80 << u"/a#b"_s << none;
    QTest::addRow("nothing after PORT| reads 0") << datLines("PORT|") << 0 << StartRoot << none;
    QTest::addRow("80.5 reads 80") << datLines("PORT|80.5") << 80 << StartRoot << none;
    QTest::addRow("a port beyond 32 bits reads 0") << datLines("PORT|4294967376") << 0 << StartRoot << none;
    QTest::addRow("the later PORT and FOLDER win")
        << datLines("PORT|1\r\nFOLDER|/a\r\nPORT|2\r\nFOLDER|/b") << 2 << u"/b"_s << none;
    QTest::addRow("FOLDER| sets an empty folder") << datLines("FOLDER|") << 80 << QString() << none;
    QTest::addRow("two blanks in a folder become one")
        << datLines("FOLDER|/my  site/x y") << 80 << u"/my site/x y"_s << none;
    QTest::addRow("a tab in a folder becomes a blank")
        << datLines("FOLDER|/my\tsite") << 80 << u"/my site"_s << none;
    QTest::addRow("a blank at the end of the folder is stripped with the line")
        << datLines("FOLDER|/site ") << 80 << u"/site"_s << none;
    QTest::addRow("a blank at the end of the folder stays before a further separator")
        << datLines("FOLDER|/site  |x") << 80 << u"/site "_s << none;
    QTest::addRow("an unknown key is skipped") << datLines("TITLE|x\r\nPORT|81") << 81 << StartRoot << none;

    QTest::addRow("key line with six fields, callback keeps its case")
        << datLines("key|GearUp|30|4|29|1") << 80 << StartRoot << Bindings{Binding(u"GearUp"_s, 30, 4, 29, 1)};
    QTest::addRow("key line with five fields is skipped") << datLines("key|GearUp|30|4|29") << 80 << StartRoot << none;
    QTest::addRow("key line with seven fields ignores the last")
        << datLines("KEY|a|30|4|29|1|99") << 80 << StartRoot << Bindings{Binding(u"a"_s, 30, 4, 29, 1)};
    QTest::addRow("empty fields count and read 0")
        << datLines("key||30|||") << 80 << StartRoot << Bindings{Binding(QString(), 30, 0, 0, 0)};
    QTest::addRow("negative and fractional key numbers")
        << datLines("key|a|-1|2.5|3.5|x") << 80 << StartRoot << Bindings{Binding(u"a"_s, -1, 2, 4, 0)};
    QTest::addRow("CR LF, lone CR and lone LF all end lines")
        << datLines("key|a|1|0|0|0\r\nkey|b|2|0|0|0\rkey|c|3|0|0|0\nPORT|9\r\n") << 9 << StartRoot
        << Bindings{Binding(u"a"_s, 1, 0), Binding(u"b"_s, 2, 0), Binding(u"c"_s, 3, 0)};
    QTest::addRow("a byte that is not UTF-8 stays in its field")
        << datLines("key|caf\xE9|30|0|0|0") << 80 << StartRoot
        << Bindings{Binding(u"caf\uFFFD"_s, 30, 0)};
    QTest::addRow("a UTF-8 name survives") << datLines("FOLDER|/srv/caf\xC3\xA9") << 80 << u"/srv/café"_s << none;
}

void TestConfigFile::load()
{
    QFETCH(QByteArray, bytes);

    const QString dat = path(u"keys.dat"_s);
    QVERIFY(writeAll(dat, bytes));
    QVERIFY(LoadConfig(dat, m_settings, m_table).ok);
    QTEST(m_settings.ServerPort, "port");
    QTEST(m_settings.DocumentRoot, "folder");
    QTEST(Contents(m_table), "bindings");
    QCOMPARE(m_settings.TargetWindowTitle, u"Marlek ORS"_s);
}

void TestConfigFile::load_missingFile_setsDefaultsAndEmptiesTable()
{
    const ConfigResult result = LoadConfig(path(u"absent.dat"_s), m_settings, m_table);
    QVERIFY(result.ok);
    QCOMPARE(m_settings.ServerPort, 80);
    QCOMPARE(m_settings.TargetWindowTitle, u"Marlek ORS"_s);
    QCOMPARE(m_settings.DocumentRoot, StartRoot);
    QCOMPARE(m_table.upperBound(), 0);
}

void TestConfigFile::save_writesExactBytes()
{
    m_settings.ServerPort = -8;
    m_settings.DocumentRoot = u"/srv/café"_s;
    m_table.reset();
    m_table.append(Binding(u"Alpha"_s, 30, 4));
    m_table.append(Binding(u"Beta"_s, 25, 2, 46, 1));

    const QString dat = path(u"keys.dat"_s);
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    QCOMPARE(readAll(dat), datLines("PORT|-8\r\nFOLDER|/srv/caf\xC3\xA9\r\n"
                                     "key|Alpha|30|4|0|0\r\nkey|Beta|25|2|46|1\r\n"));

    m_table.reset();
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    QCOMPARE(readAll(dat), datLines("PORT|-8\r\nFOLDER|/srv/caf\xC3\xA9\r\n"));
}

void TestConfigFile::sitesRecord_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("allow");
    QTest::addRow("any") << datLines("SITES|any") << true;
    QTest::addRow("key and value in any case") << datLines("sites|Any") << true;
    QTest::addRow("another value") << datLines("SITES|own") << false;
    QTest::addRow("the later line wins") << datLines("SITES|any\r\nSITES|") << false;
}

void TestConfigFile::sitesRecord()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, allow);

    m_settings.AllowOtherSites = !allow; // a load must set it either way
    const QString dat = path(u"keys.dat"_s);
    QVERIFY(writeAll(dat, datLines("PORT|81\r\n") + bytes));
    QVERIFY(LoadConfig(dat, m_settings, m_table).ok);
    QCOMPARE(m_settings.AllowOtherSites, allow);
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    QCOMPARE(readAll(dat),
             datLines("PORT|81\r\nFOLDER|/start/htdocs\r\n") + (allow ? datLines("SITES|any\r\n") : ""));
}

void TestConfigFile::save_roundTripOfThreeBindings()
{
    const Bindings three{Binding(u"GearUp"_s, 30, 2, 29, 0), Binding(u"gear down"_s, -1, 9, 221, 7),
                         Binding(u"GEARUP"_s, 0, 0, 57, -3)};
    m_settings.ServerPort = 8080;
    m_settings.DocumentRoot = u"/srv/my site"_s;
    m_table.reset();
    for (const KeyBinding &b : three)
        m_table.append(b);

    const QString dat = path(u"keys.dat"_s);
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    prepareStartState();
    QVERIFY(LoadConfig(dat, m_settings, m_table).ok);
    QCOMPARE(m_settings.ServerPort, 8080);
    QCOMPARE(m_settings.DocumentRoot, u"/srv/my site"_s);
    QCOMPARE(Contents(m_table), three);
}

void TestConfigFile::save_folderComesBack_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("loaded");

    QTest::addRow("a blank inside stays")
        << u"/srv/my site"_s << datLines("FOLDER|/srv/my site") << u"/srv/my site"_s;
    QTest::addRow("a blank at the end is kept by a closing separator")
        << u"/srv/site "_s << datLines("FOLDER|/srv/site |") << u"/srv/site "_s;
    QTest::addRow("an empty folder") << QString() << datLines("FOLDER|") << QString();
    QTest::addRow("a line end at the end becomes a blank that is kept")
        << u"/srv/site\n"_s << datLines("FOLDER|/srv/site |") << u"/srv/site "_s;
}

void TestConfigFile::save_folderComesBack()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, line);

    m_settings.DocumentRoot = folder;
    const QString dat = path(u"keys.dat"_s);
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    QCOMPARE(readAll(dat).split('\n').value(1), line + '\r');
    prepareStartState();
    QVERIFY(LoadConfig(dat, m_settings, m_table).ok);
    QTEST(m_settings.DocumentRoot, "loaded");
}

void TestConfigFile::save_unstorableCharactersBecomeBlanks()
{
    m_settings.DocumentRoot = u"/a\nPORT\x1e" u"1"_s;
    m_table.reset();
    m_table.append(Binding(u"x\x1ey\r\nz"_s, 30, 0));

    const QString dat = path(u"keys.dat"_s);
    QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
    QCOMPARE(readAll(dat).count("\r\n"), 3);
    prepareStartState();
    QVERIFY(LoadConfig(dat, m_settings, m_table).ok);
    QCOMPARE(m_settings.ServerPort, 1234);
    QCOMPARE(m_settings.DocumentRoot, u"/a PORT 1"_s);
    QCOMPARE(Contents(m_table), Bindings{Binding(u"x y z"_s, 30, 0)});
}

void TestConfigFile::save_touchesNothingButKeysDat_data()
{
    QTest::addColumn<QString>("neighbour");
    QTest::addColumn<QString>("how");
    // Copies a user keeps beside the file, and one named like the program's
    // own temporary: a save never created it, so it is not the save's to remove.
    for (const char *name : {"keys.dat.backup", "KEYS.DAT.Backup", "keys.dat.2024-1", "keys.dat.vanterel-save-abcdef"})
        for (const char *how : {"save", "failed save", "killed save"})
            QTest::addRow("%s, %s", name, how) << QString::fromLatin1(name) << QString::fromLatin1(how);
}

void TestConfigFile::save_touchesNothingButKeysDat()
{
    QFETCH(QString, neighbour);
    QFETCH(QString, how);
#ifdef Q_OS_UNIX
    const QString dat = path(u"keys.dat"_s);
    const QByteArray old = datLines("PORT|81\r\nFOLDER|/old\r\n");
    const QByteArray users = "the user's own file\n";
    QVERIFY(writeAll(dat, old));
    QVERIFY(writeAll(path(neighbour), users));
    // Big enough to run into the size limit below.
    for (int i = 0; i < 1000; ++i)
        m_table.append(Binding(u"binding number %1"_s.arg(i), 30, 0));
    QVERIFY(QDir(folder()).mkdir(u"expected"_s));
    QVERIFY(SaveConfig(path(u"expected/keys.dat"_s), m_settings, m_table).ok);
    const QByteArray saved = readAll(path(u"expected/keys.dat"_s));

    if (how == u"save") {
        QVERIFY(SaveConfig(dat, m_settings, m_table).ok);
        QCOMPARE(readAll(dat), saved);
    } else if (how == u"failed save") {
        // The kernel refuses writes past this size, as a full disk would.
        rlimit unlimited{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        rlimit small = unlimited;
        small.rlim_cur = 4096;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const ConfigResult result = SaveConfig(dat, m_settings, m_table);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!result.ok);
        QVERIFY(!result.reason.isEmpty());
        QCOMPARE(readAll(dat), old);
    } else {
        // A child saves again and again; once one of its saves has landed,
        // it is killed in the middle of a later one.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            for (;;)
                (void)SaveConfig(dat, m_settings, m_table);
        }
        const bool landed = QTest::qWaitFor([&] { return readAll(dat) == saved; }, 10000);
        ::kill(child, SIGKILL);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        QVERIFY(landed);
        QCOMPARE(readAll(dat), saved);
    }

    QCOMPARE(readAll(path(neighbour)), users);
    // Only a save killed in the moment between naming its new content and
    // renaming it over keys.dat can leave a file, under the program's own name.
    const QString ours = u"keys.dat"_s + QLatin1String(SaveTemporaryInfix);
    for (const QString &name : QDir(folder()).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(name == u"keys.dat" || name == neighbour || (how == u"killed save" && name.startsWith(ours)),
                 qPrintable(name));
#else
    QSKIP("needs fork() and a per-process file size limit");
#endif
}

void TestConfigFile::save_failureReportsReason_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addRow("the folder does not exist") << u"no-such-folder/keys.dat"_s;
    QTest::addRow("a folder stands at the path") << u"folder"_s;
}

void TestConfigFile::save_failureReportsReason()
{
    QFETCH(QString, relativePath);

    QVERIFY(QDir(folder()).mkdir(u"folder"_s));
    const ConfigResult result = SaveConfig(path(relativePath), m_settings, m_table);
    QVERIFY(!result.ok);
    QVERIFY(!result.reason.isEmpty());
    QVERIFY(QFileInfo(path(u"folder"_s)).isDir());
    QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList{});
}

void TestConfigFile::fileExists_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<bool>("exists");

    QTest::addRow("a file") << u"file.dat"_s << true;
    QTest::addRow("a file with one trailing separator") << u"file.dat/"_s << true;
    QTest::addRow("a file with two trailing separators") << u"file.dat//"_s << false;
    QTest::addRow("a folder") << u"folder"_s << false;
    QTest::addRow("nothing there") << u"absent.dat"_s << false;
}

void TestConfigFile::fileExists()
{
    QFETCH(QString, relativePath);

    QVERIFY(writeAll(path(u"file.dat"_s), "x"));
    QDir(folder()).mkdir(u"folder"_s);
    QTEST(FileExists(folder() + u'/' + relativePath), "exists");
    QVERIFY(!FileExists(QString()));
}

QTEST_APPLESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
