// Where keys.dat, Log.txt and htdocs live, and what the first start of an
// installed program puts into the user's data folder.
#include "app/DataFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vanterel::app;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray SampleKeys = "PORT\x1e" "80\r\n";
const QByteArray UsersKeys = "PORT\x1e" "8080\r\n";

} // namespace

class TestDataFolder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void choose_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("keysBefore"); // in the user's folder; empty for none
        QTest::addColumn<bool>("samples");
        QTest::addColumn<bool>("beside");
        QTest::addColumn<QStringList>("created");
        QTest::addColumn<QByteArray>("keysAfter");

        const QStringList both{QStringLiteral("htdocs"), QStringLiteral("keys.dat")};
        QTest::addRow("a build tree keeps its files beside the program")
            << "build" << QByteArray() << true << true << QStringList() << QByteArray();
        QTest::addRow("an installed program uses the user's folder even where it can write (root)")
            << "installed" << QByteArray() << true << false << both << SampleKeys;
        QTest::addRow("a program folder that cannot be written")
            << "read-only" << QByteArray() << true << false << both << SampleKeys;
        QTest::addRow("a keys.dat already there is kept")
            << "installed" << UsersKeys << true << false << QStringList{QStringLiteral("htdocs")} << UsersKeys;
        QTest::addRow("without samples the folder is still made, and the problem said")
            << "installed" << QByteArray() << false << false << QStringList() << QByteArray();
    }

    void choose()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, keysBefore);
        QFETCH(bool, samples);
        QFETCH(bool, beside);
        QFETCH(QStringList, created);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString bin = root.filePath(QStringLiteral("bin"));
        const QString user = root.filePath(QStringLiteral("home/.local/share/vanterel"));
        const QString share = root.filePath(QStringLiteral("share/vanterel"));
        QVERIFY(QDir().mkpath(bin));
        if (samples) {
            QVERIFY(QDir().mkpath(share + QStringLiteral("/htdocs/img")));
            writeFile(share + QStringLiteral("/htdocs/img/up.png"), "png");
            writeFile(share + QStringLiteral("/keys.sample.dat"), SampleKeys);
        }
        if (!keysBefore.isEmpty()) {
            QVERIFY(QDir().mkpath(user));
            writeFile(user + QStringLiteral("/keys.dat"), keysBefore);
        }
        if (program == QStringLiteral("read-only")) {
            QVERIFY(QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner));
            if (QFileInfo(bin).isWritable())
                QSKIP("folder permissions are not enforced for this user (running as root)");
        }
        const QString installedBin = program == QStringLiteral("installed") ? bin : QStringLiteral("/usr/bin");
        const DataFolderPaths paths{bin, installedBin, user, share};

        const DataFolder chosen = ChooseDataFolder(paths);
        QCOMPARE(chosen.besideProgram, beside);
        QCOMPARE(chosen.folder, beside ? bin : user);
        QCOMPARE(chosen.created, created);
        QCOMPARE(chosen.problem.isEmpty(), beside || samples);
        QVERIFY(chosen.logLine().contains(chosen.folder));
        QTEST(readFile(user + QStringLiteral("/keys.dat")), "keysAfter");
        if (created.contains(QStringLiteral("htdocs")))
            QCOMPARE(readFile(user + QStringLiteral("/htdocs/img/up.png")), QByteArray("png"));
        // Nothing else is left there, not even the copy's staging folder.
        QStringList expected = created;
        if (!keysBefore.isEmpty())
            expected.append(QStringLiteral("keys.dat"));
        expected.sort();
        QCOMPARE(QDir(user).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), expected);
        // Later starts find everything in place.
        QCOMPARE(ChooseDataFolder(paths).created, QStringList());
        QFile::setPermissions(bin, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestDataFolder)
#include "tst_datafolder.moc"
