// The connect window: which URLs it shows, in which order, and that every
// code reads back as its URL.
#include "app/FrmConnect.h"

#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using vanterel::app::FrmConnect;

class TestFrmConnect : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void urls_data()
    {
        QTest::addColumn<QString>("listening");
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QStringList>("urls");
        QTest::addRow("the listening address first, none twice")
            << u"10.0.0.5"_s << QStringList { u"192.168.1.20"_s, u"10.0.0.5"_s, u"172.17.0.1"_s }
            << QStringList { u"http://10.0.0.5:8080/"_s, u"http://192.168.1.20:8080/"_s,
                   u"http://172.17.0.1:8080/"_s };
        QTest::addRow("the loopback fall-back of a machine without network")
            << u"127.0.0.1"_s << QStringList {} << QStringList { u"http://127.0.0.1:8080/"_s };
        QTest::addRow("not listening: no address works")
            << QString() << QStringList { u"10.0.0.5"_s } << QStringList {};
    }

    void urls()
    {
        QFETCH(QString, listening);
        QFETCH(QStringList, interfaces);
        QFETCH(QStringList, urls);

        FrmConnect window(nullptr, [&interfaces] { return interfaces; });
        window.setServer(80, listening);
        window.show();
        window.setServer(8080, listening); // the open window follows a port change
        QStringList shown;
        for (const QLabel *label : window.findChildren<QLabel *>(u"lblUrl"_s))
            shown.append(label->text());
        QCOMPARE(shown, urls);
        QCOMPARE(window.findChildren<QLabel *>(u"picQrCode"_s).size(), urls.size());
    }

    void codes_readBackAsTheirUrls()
    {
        const QString zbarimg = QStandardPaths::findExecutable(u"zbarimg"_s);
        if (zbarimg.isEmpty())
            QSKIP("zbarimg is not installed (Debian package zbar-tools): nothing reads the codes back");
        // At least 200 pixels square and read back as the URL beside it.
        FrmConnect window(nullptr, [] { return QStringList { u"192.168.100.200"_s }; });
        window.setServer(65535, u"10.0.0.5"_s);
        window.show();
        QTemporaryDir dir;
        QStringList files;
        for (const QLabel *code : window.findChildren<QLabel *>(u"picQrCode"_s)) {
            QVERIFY(code->pixmap().width() >= 200 && code->pixmap().height() == code->pixmap().width());
            files.append(dir.filePath(u"%1.png"_s.arg(files.size())));
            QVERIFY(code->pixmap().save(files.last()));
        }
        QProcess zbar;
        zbar.start(zbarimg, QStringList { u"--quiet"_s, u"--raw"_s } + files);
        QVERIFY(zbar.waitForFinished(30000));
        QCOMPARE(zbar.readAllStandardOutput(), "http://10.0.0.5:65535/\nhttp://192.168.100.200:65535/\n");
    }
};

QTEST_MAIN(TestFrmConnect)
#include "test_frmconnect.moc"
