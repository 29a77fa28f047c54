// Where keys.dat, Log.txt and htdocs live, and what the first start of an
// installed program puts into the user's data folder.
#include "app/DataFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vanterel::app;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestDataFolder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void choose_data()
    {
        QTest::addColumn<QString>("program"); // "build", "installed" or "read-only"
        QTest::addColumn<QByteArray>("usersKeys"); // keys.dat already in the user's folder
        QTest::addColumn<bool>("samples");
        QTest::addColumn<QStringList>("created");

        const QStringList both{QStringLiteral("htdocs"), QStringLiteral("keys.dat")};
        QTest::addRow("a build tree keeps its files beside the program") << "build" << QByteArray() << true << QStringList();
        QTest::addRow("installed: the user's folder, even where it can write beside itself (root)")
            << "installed" << QByteArray() << true << both;
        QTest::addRow("a program folder that cannot be written") << "read-only" << QByteArray() << true << both;
        QTest::addRow("a keys.dat already there is kept")
            << "installed" << QByteArray("PORT\x1e" "8080\r\n") << true << QStringList{QStringLiteral("htdocs")};
        QTest::addRow("without samples the folder is still made, and the problem said")
            << "installed" << QByteArray() << false << QStringList();
    }

    void choose()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, usersKeys);
        QFETCH(bool, samples);
        QFETCH(QStringList, created);

        QTemporaryDir root;
        const QString bin = root.filePath(QStringLiteral("bin"));
        const QString user = root.filePath(QStringLiteral("home/.local/share/vanterel"));
        const QString share = root.filePath(QStringLiteral("share/vanterel"));
        const QByteArray sampleKeys = "PORT\x1e" "80\r\n";
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(share + QStringLiteral("/htdocs/img")));
        if (samples)
            QVERIFY(writeFile(share + QStringLiteral("/htdocs/img/up.png"), "png")
                    && writeFile(share + QStringLiteral("/keys.sample.dat"), sampleKeys));
        else
            QVERIFY(QDir(share).removeRecursively());
        if (!usersKeys.isEmpty())
            QVERIFY(QDir().mkpath(user) && writeFile(user + QStringLiteral("/keys.dat"), usersKeys));
        if (program == QStringLiteral("read-only")) {
            QVERIFY(QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner));
            if (QFileInfo(bin).isWritable())
                QSKIP("folder permissions are not enforced for this user (running as root)");
        }
        const bool beside = program == QStringLiteral("build");
        const DataFolderPaths paths{bin, program == QStringLiteral("installed") ? bin : QStringLiteral("/usr/bin"),
                                    user, share};

        const DataFolder chosen = ChooseDataFolder(paths);
        QCOMPARE(chosen.besideProgram, beside);
        QCOMPARE(chosen.folder, beside ? bin : user);
        QCOMPARE(chosen.created, created);
        QCOMPARE(chosen.problem.isEmpty(), beside || samples);
        QVERIFY(chosen.logLine().contains(chosen.folder));
        const QByteArray keysAfter = !usersKeys.isEmpty() ? usersKeys
            : created.contains(QStringLiteral("keys.dat")) ? sampleKeys : QByteArray();
        QCOMPARE(readFile(user + QStringLiteral("/keys.dat")), keysAfter);
        QCOMPARE(readFile(user + QStringLiteral("/htdocs/img/up.png")),
                 created.contains(QStringLiteral("htdocs")) ? QByteArray("png") : QByteArray());
        // Nothing else is left there, not even the copy's staging folder.
        QStringList expected = created;
        if (!usersKeys.isEmpty())
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
