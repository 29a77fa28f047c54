// The request decision, the document-root look-up, the pacing clock and the file server over loopback TCP, on
// one folder tree.
#include "common/EventSink.h"
#include "http/DeviceAccess.h"
#include "http/Pacing.h"
#include "http/Request.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/LiveClient.h"
#include "tests/support/TcpClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace Qt::StringLiterals;
using namespace vanterel;
using http::EntryKind;
using testing::TcpClient;

namespace {
const QByteArray NotFound = "HTTP/1.1 404 Not Found\r\nServer: Vanterel Version 1.1.0\r\n\r\n";
const QByteArray NotImplemented = "HTTP/1.1 501 Not Implemented\r\nServer: Vanterel Version 1.1.0\r\n\r\n";
const QString Fire = u"FIRE"_s, None, Done = u"Finished Transfer."_s;

QByteArray ok(const char *type, qint64 length = 4, bool cache = false)
{
    return "HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\nContent-Type: " + QByteArray(type)
        + "\r\nContent-Length: " + QByteArray::number(length) + "\r\n"
        + (cache ? "Cache-Control: max-age=3600, public\r\n" : "") + "\r\n";
}
QByteArray redirect(const QByteArray &host)
{
    return "HTTP/1.1 303 See Other\r\nLocation: http://" + host + "/index.htm\r\n\r\n";
}
QByteArray get(const QByteArray &path, const QByteArray &headers = {})
{
    return "GET " + path + " HTTP/1.1\r\n" + headers + "\r\n";
}

// What the program would show in its list, write to Log.txt and press; the server does it on its thread.
class Recorder final : public EventSink {
    mutable std::mutex m_mutex;
    QStringList m_messages, m_lines, m_pressed;

public:
    void AddMsg(const QString &text) override
    {
        std::lock_guard lock(m_mutex);
        m_messages.append(text);
    }
    void WriteLogLine(const QString &line) override
    {
        std::lock_guard lock(m_mutex);
        m_lines.append(line);
    }
    void press(const QString &command)
    {
        std::lock_guard lock(m_mutex);
        m_pressed.append(command);
    }
    QStringList messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    QStringList logLines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    QStringList pressed() const
    {
        std::lock_guard lock(m_mutex);
        return m_pressed;
    }
};
} // namespace

class TestHttp : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    Settings settings;
    std::unique_ptr<Recorder> log;
    std::unique_ptr<http::Server> server;

    QString at(const QString &relative) const { return dir.filePath(relative); }
    http::ServingRules servingRules() const { return {settings.ServerSignature, {}}; }
    void writeFile(const QString &relative, const QByteArray &bytes = "four")
    {
        QFile f(at(relative));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    int finished() const { return int(log->messages().count(Done)); }
    qint32 start(std::chrono::milliseconds idle = http::Server::DefaultIdleTimeout)
    {
        server = std::make_unique<http::Server>(settings, *log, [this](const QString &c) { log->press(c); });
        server->setIdleTimeout(idle);
        if (!server->StartListening())
            qFatal("cannot listen on port %d", settings.ServerPort);
        server->Start();
        return settings.ServerPort;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        for (const QString &folder :
             {u"htdocs/img/no_static"_s, u"htdocs/v1.2"_s, u"htdocs-old"_s, u".local/htdocs"_s})
            QVERIFY(QDir(dir.path()).mkpath(folder));
        const std::pair<QString, QByteArray> files[]
            = {{u"htdocs/index.htm"_s, "<meta name=viewport><p>panel</p>"},
               {u"htdocs/bare.HTML"_s, "<p>bare</p>"},
               {u"htdocs/empty.gif"_s, {}},
               {u"htdocs/huge.zip"_s, {}},
               {u"outside.htm"_s, "out"},
               {u"htdocs/.hidden.htm"_s, "no"},
               {u"htdocs-old/x.htm"_s, "old"},
               {u".local/htdocs/index.htm"_s, "local"}};
        for (const auto &[name, bytes] : files)
            writeFile(name, bytes);
        // Four bytes each, for the rules.
        for (const char *name : {"a.htm", "img/a.htm", "My %2e.htm", "Pic.JPG", "no-static.gif", "index.html",
                                 "a.mp3", "a.PLS", "v1.2/pic.jpg", "img/no_static/clock.png"})
            writeFile(u"htdocs/"_s + QLatin1String(name));
        // Sparse: it takes no room on the disk.
        QVERIFY(QFile::resize(at(u"htdocs/huge.zip"_s), 5000000000));
#ifdef Q_OS_UNIX
        const std::pair<QString, QString> links[] = {// target, link
                                                     {u"index.htm"_s, u"htdocs/inner-link.htm"_s},
                                                     {u".hidden.htm"_s, u"htdocs/to-hidden.htm"_s},
                                                     {at(u"htdocs/index.htm"_s), u"htdocs/abs-link.htm"_s},
                                                     {u"htdocs"_s, u"root-link"_s},
                                                     {u"../outside.htm"_s, u"htdocs/outer-link.htm"_s}};
        for (const auto &[target, link] : links)
            QVERIFY(QFile::link(target, at(link)));
        QVERIFY(::mkfifo(QFile::encodeName(at(u"htdocs/pipe.htm"_s)).constData(), 0600) == 0);
#endif
    }
    void init()
    {
        settings.ServerPort = testing::freePort();
        settings.DocumentRoot = at(u"htdocs"_s);
        settings.ServerSignature = u"Vanterel Version 1.1.0"_s;
        settings.HostNames = {u"panel.test"_s};
        log = std::make_unique<Recorder>();
    }
    void cleanup()
    {
        server.reset();
    }

    // What a request gets, the command that runs (the site guard included) and, where the row is about
    // it, the local path it is mapped to: the decision the server makes, on the htdocs folder.
    void rules_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("local");
        auto row = [this](const char *name, const QByteArray &request, const QByteArray &response,
                          const QString &command = None, const QString &local = {}) {
            QTest::addRow("%s", name)
                << request << response << command << (local.isNull() ? local : at(local));
        };
        const QByteArray html = ok("text/html");
        row("a version digit and nothing after it", "GET / HTTP/1.0", redirect(""));
        row("the text ends right after HTTP/1.", "GET / HTTP/1.", NotImplemented);
        row("one blank: the path's blank is the version's", "GET HTTP/1.1\r\n\r\n", NotImplemented);
        row("an empty path is refused", "GET  HTTP/1.1\r\n\r\n", NotFound);
        row("lower-case get", "get / HTTP/1.1\r\n\r\n", NotImplemented);
        row("HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", NotImplemented);
        row("a lower-case host header does not count", get("/", "host: panel\r\n"), redirect(""));
        row("a Host cut off before its line end", "GET / HTTP/1.1\r\nHost: panel", redirect(""));
        row("a second blank stays in the Host", get("/", "Host:  panel\r\n"), redirect(" panel"));
        row("dot-dot is refused with its command", get("/a/../b.htm?FIRE"), NotFound);
        row("a star in the path", get("/x*y"), NotFound);
        row("dot between backslashes", get("\\.\\b.htm"), NotFound);
        row("a hidden name after a backslash", get("\\.hidden.htm"), NotFound);
        row("a trailing dot-dot is hidden, not refused: its command runs", get("/a/..?FIRE"), NotFound, Fire);
        row("a question mark alone is no command", get("/?"), redirect(""));
        row("only the first question mark splits", get("/a.htm?b?c"), html, u"b?c"_s, u"htdocs/a.htm"_s);
        row("a question mark first leaves the root", get("?FIRE"), redirect(""), Fire, u"htdocs"_s);
        row("backslashes are separators", get("\\img\\a.htm"), html, None, u"htdocs/img/a.htm"_s);
        row("a slash and a backslash collapse", get("/img/\\a.htm"), html, None, u"htdocs/img/a.htm"_s);
        row("only %20 is decoded", get("/My%20%2e.htm"), html, None, u"htdocs/My %2e.htm"_s);
        row("no leading slash runs on from the root, out of it", get("-old/x.htm"), NotFound, None,
            u"htdocs-old/x.htm"_s);
        row("an upper-case JPG is a cached jpeg", get("/Pic.JPG"), ok("image/jpeg", 4, true));
        row("no-static with a hyphen is no marker", get("/no-static.gif"), ok("image/gif", 4, true));
        row("no_static in a folder name: no cache line", get("/img/no_static/clock.png"), ok("image/png"));
        row("html is never cached", get("/index.html"), html);
        row("mp3", get("/a.mp3"), ok("audio/mpeg"));
        row("upper-case PLS", get("/a.PLS"), ok("audio/x-mpegurl"));
        row("a zip beyond 4 GiB is announced in full", get("/huge.zip"), ok("application/zip", 5000000000));
        row("the first dot counts, also in a folder", get("/v1.2/pic.jpg"), ok("*/*"));
    }
    void rules()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, local);
        http::ServedRoot root(settings.DocumentRoot);
        const auto decision = http::decideRequest(request, root, servingRules(), {});
        QTEST(decision.response, "response");
        QTEST(decision.command == http::CommandAction::Run ? decision.request.command : None, "command");
        if (!local.isNull())
            QCOMPARE(decision.localPath, local);
    }

    // The guard, for a command to the Host 192.168.1.20:8080 unless a row says otherwise; "" runs it.
    void guard_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<bool>("anySite");
        QTest::addColumn<QString>("refusal");
        const QByteArray lan = "192.168.1.20:8080", browser = "User-Agent: Mozilla/5.0 (X11; Linux)\r\n";
        const QString page = u": the page that sent it is not one of this server's"_s,
                      other = u" from another site"_s;
        auto row = [&](const char *name, const QByteArray &host, const QByteArray &headers,
                       const QString &refusal, bool anySite = false) {
            QTest::addRow("%s", name) << host << headers << anySite << refusal;
        };
        row("curl: no browser, no page needed", lan, "User-Agent: curl/7.88\r\nAccept: */*\r\n", {});
        row("a link of our own page", lan, browser + "Referer: http://192.168.1.20:8080/index.htm?X\r\n", {});
        row("a fetch of our own page, Origin and Referer", lan,
            browser + "Origin: http://192.168.1.20:8080\r\nReferer: http://192.168.1.20:8080/\r\n", {});
        row("no port is port 80", "panel.test", browser + "Referer: http://PANEL.test/a#b\r\n", {});
        row("a typed URL, a no-referrer picture: nothing says whose page", lan, browser, page);
        row("a picture on another site's page", lan, browser + "Referer: http://evil.test:9000/\r\n", page);
        row("our host at another port", lan, browser + "Referer: http://192.168.1.20:8081/\r\n", page);
        row("https is another origin", lan, browser + "Referer: https://192.168.1.20:8080/\r\n", page);
        row("user information in the Referer", lan, browser + "Referer: http://a@192.168.1.20:8080/\r\n",
            page);
        row("our Referer with another site's Origin", lan,
            browser + "Referer: http://192.168.1.20:8080/\r\nOrigin: http://evil.test\r\n", other);
        row("rebinding: a name that is not ours, however same-origin", "evil.example:8080",
            browser + "Origin: http://evil.example:8080\r\nSec-Fetch-Site: same-origin\r\n",
            u": Host evil.example is not this machine"_s);
        row("rebinding from curl too", "192.168.1.20.evil.test", {},
            u": Host 192.168.1.20.evil.test is not this machine"_s);
        row("a port that is no port", "panel.test:99999", {},
            u": Host panel.test:99999 is not this machine"_s);
        row("a name of the user's, in any case, with the closing dot", "PANEL.Test.:8080", {}, {});
        row("IPv6 literal", "[::1]:8080", browser + "Referer: http://[::1]:8080/\r\n", {});
        row("localhost and its subdomains", "app.localhost", {}, {});
        row("no Host: no browser sent it", {}, {}, {});
        row("same-site: another port of this host", lan,
            browser + "Sec-Fetch-Site: same-site\r\nReferer: http://192.168.1.20:8080/\r\n", other);
        row("cross-site: names in any case, values trimmed", lan, "sec-fetch-SITE: \tCross-Site  \r\n",
            other);
        row("Origin: null", lan, "Origin: null\r\n", other);
        row("an Origin at another port of this host", lan, "Origin: http://192.168.1.20:8081\r\n", other);
        row("a header name inside another header's value", lan, "Referer: http://x/?Origin: null\r\n", {});
        row("after the blank line is no header", lan,
            browser + "Referer: http://192.168.1.20:8080/\r\n\r\nOrigin: null\r\n", {});
        row("SITES any: the whole guard is off", "evil.example", browser + "Sec-Fetch-Site: cross-site\r\n",
            {}, true);
    }
    void guard()
    {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, headers);
        QFETCH(bool, anySite);
        QFETCH(QString, refusal);
        const QByteArray request
            = get("/?FIRE", (host.isNull() ? QByteArray() : "Host: " + host + "\r\n") + headers);
        http::ServedRoot root(settings.DocumentRoot);
        const http::ServingRules rules(settings.ServerSignature,
                                       {http::ThisMachineNames({u"panel.test"_s}), anySite});
        const auto decision = http::decideRequest(request, root, rules, {});
        QCOMPARE(decision.command,
                 refusal.isEmpty() ? http::CommandAction::Run : http::CommandAction::Refused);
        QCOMPARE(decision.refusal, refusal);
    }

    // A device is asked about once; the one-time code approves the device that sends it, once.
    void devices()
    {
        QStringList asked;
        int changes = 0;
        http::DeviceAccess devices(true, {u"::ffff:10.0.0.5"_s, u"bogus"_s});
        devices.setObservers([&](const QString &address) { asked.append(address); }, [&] { ++changes; });
        using V = http::DeviceAccess::Verdict;
        QCOMPARE(devices.approved(), QStringList{u"10.0.0.5"_s});
        QCOMPARE(devices.check(u"10.0.0.5"_s, u"FIRE"), V::Allowed);
        QCOMPARE(devices.check(u"10.0.0.7"_s, u"FIRE"), V::NotApproved);
        QCOMPARE(devices.check(u"::ffff:10.0.0.7"_s, u"FIRE"), V::NotApproved);
        QCOMPARE(asked, QStringList{u"10.0.0.7"_s});
        const QString code = devices.pairingQuery();
        QVERIFY(code.startsWith(u".pair=") && code.size() == 6 + 16);
        QCOMPARE(devices.check(u"10.0.0.7"_s, code.left(code.size() - 1) + u'x'), V::StaleCode);
        QCOMPARE(devices.check(u"10.0.0.7"_s, code), V::Paired);
        QCOMPARE(devices.check(u"10.0.0.8"_s, code), V::StaleCode); // once only
        QVERIFY(devices.pairingQuery() != code);
        QCOMPARE(devices.check(u"10.0.0.7"_s, u"FIRE"), V::Allowed);
        devices.forget(u"10.0.0.7"_s);
        devices.deny(u"10.0.0.9"_s);
        QCOMPARE(devices.check(u"10.0.0.9"_s, u"FIRE"), V::NotApproved);
        QCOMPARE(devices.check(u"10.0.0.7"_s, u"FIRE"), V::NotApproved); // forgotten: asked again
        QCOMPARE(asked, (QStringList{u"10.0.0.7"_s, u"10.0.0.7"_s}));
        devices.setOnlyApproved(false);
        QCOMPARE(devices.check(u"10.0.0.9"_s, u"FIRE"), V::Allowed);
        QCOMPARE(changes, 3); // paired, forgotten, mode off
    }

    // The server's own look-up (the kernel resolving beneath a descriptor of the root, or the
    // canonical-path check where it cannot) and the canonical-path check alone agree on every row.
    void documentRoot_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("path");
        QTest::addColumn<EntryKind>("kind");
        QTest::addColumn<bool>("fallback");
        const EntryKind file = EntryKind::File, missing = EntryKind::Missing;
        QTest::addRow("a hidden file") << u"htdocs"_s << u"/.hidden.htm"_s << missing << false;
        QTest::addRow("a NUL cuts no path short") << u"htdocs"_s << u"/index.htm\0.jpg"_s << missing << false;
#ifdef Q_OS_WIN
        // Names Windows reads as something else than the file they seem to name. There the final path
        // of what was opened decides, with no fall-back; links need rights a test does not have.
        const char *special[] = {"/CON",
                                 "/nul.htm",
                                 "/Com1 .txt",
                                 "/img/LPT9.gif",
                                 "/index.htm.",
                                 "/index.htm%20",
                                 "/index.htm::$DATA",
                                 "/C:/windows/win.ini",
                                 "/\\\\localhost\\c$\\x.htm"};
        for (const char *path : special)
            QTest::addRow("Windows: %s", path)
                << u"htdocs"_s << QString::fromLatin1(path) << missing << false;
        QTest::addRow("letters in another case") << u"HTDOCS"_s << u"/INDEX.htm"_s << file << false;
        QTest::addRow("an empty root serves nothing")
            << QString() << u"C:/windows/win.ini"_s << missing << true;
        return;
#endif
        QTest::addRow("a pipe") << u"htdocs"_s << u"/pipe.htm"_s << missing << false;
        QTest::addRow("a link that stays inside") << u"htdocs"_s << u"/inner-link.htm"_s << file << false;
        QTest::addRow("a link to a hidden file") << u"htdocs"_s << u"/to-hidden.htm"_s << missing << false;
        QTest::addRow("an absolute link inside") << u"htdocs"_s << u"/abs-link.htm"_s << file << true;
        QTest::addRow("a link out") << u"htdocs"_s << u"/outer-link.htm"_s << missing << true;
        QTest::addRow("a name running on from the root") << u"htdocs"_s << u"-old/x.htm"_s << missing << true;
        QTest::addRow("a root the mapping changes") << u"root-link//"_s << u"/index.htm"_s << file << true;
        QTest::addRow("an empty root serves nothing") << QString() << u"/etc/hostname"_s << missing << true;
    }
    void documentRoot()
    {
        QFETCH(QString, root);
        QFETCH(QString, path);
        QFETCH(EntryKind, kind);
        http::ServedRoot served(root.isNull() ? QString() : at(root));
        const auto decision = http::decideRequest(get(path.toUtf8()), served, servingRules(), {});
        QCOMPARE(decision.entry.kind, kind);
        QCOMPARE(bool(decision.entry.file), kind == EntryKind::File);
        QTEST(served.usedFallback(), "fallback");
        QCOMPARE(served.openByCanonicalPath(decision.request.path, decision.localPath).kind, kind);
    }

    // The shared clock against time points of the test's own: how many pieces a file goes in, the last
    // one's length and when the last tick is due, in ms after the header went (-1: no tick). The first
    // tick may come late, by less than the clock makes up for or by more.
    void pacing_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<int>("late");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<qint64>("lastPiece");
        QTest::addColumn<int>("lastTick");
        QTest::addRow("an empty file is its header alone") << qint64(0) << 0 << 0 << qint64(0) << -1;
        QTest::addRow("one byte goes with the header") << qint64(1) << 0 << 1 << qint64(1) << -1;
        QTest::addRow("so does a whole piece") << qint64(2048) << 0 << 1 << qint64(2048) << -1;
        QTest::addRow("one byte more waits for a tick") << qint64(2049) << 0 << 2 << qint64(1) << 1;
        QTest::addRow("three pieces, a tick apart") << qint64(6000) << 0 << 3 << qint64(1904) << 2;
        QTest::addRow("8 MiB in 4096 pieces") << qint64(8 << 20) << 0 << 4096 << qint64(2048) << 4095;
        QTest::addRow("a tick 60 ms late is made up") << qint64(6000) << 60 << 3 << qint64(1904) << 2;
        QTest::addRow("one 150 ms late starts afresh") << qint64(6000) << 150 << 3 << qint64(1904) << 151;
    }
    void pacing()
    {
        using namespace http::pacing;
        using std::chrono::milliseconds;
        QFETCH(qint64, length);
        QFETCH(int, late);
        // As the server goes: the first piece with the header, then one per tick while bytes are left.
        const Clock::time_point sent{std::chrono::hours(1)};
        TickSchedule schedule;
        qint64 offset = std::max(qint64(0), pieceLength(length, 0)), lastPiece = offset;
        int pieces = offset > 0 ? 1 : 0, lastTick = -1;
        Clock::time_point now = sent, due = schedule.start(now);
        while (offset < length) {
            now = std::max(now, due) + milliseconds(std::exchange(late, 0)); // the tick runs
            lastTick = int(std::chrono::duration_cast<milliseconds>(due - sent).count());
            lastPiece = pieceLength(length, offset);
            offset += lastPiece;
            ++pieces;
            if (offset < length)
                due = schedule.advance(now);
        }
        QTEST(pieces, "pieces");
        QTEST(lastPiece, "lastPiece");
        QTEST(lastTick, "lastTick");
    }

    // The real server: the exact bytes back, the commands pressed, the lines for the window's list and,
    // where the row says them, the lines for Log.txt.
    void server_answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QStringList>("pressed");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("trace");
        auto row = [](const char *name, const QByteArray &request, const QByteArray &response,
                      const QStringList &pressed, const QStringList &messages, const QStringList &log = {}) {
            QTest::addRow("%s", name) << request << response << pressed << messages << log;
        };
        const QByteArray page = ok("text/html", 32) + "<meta name=viewport><p>panel</p>";
        const QString received = u"Recieved command FIRE"_s, sent = u"Transfering: /index.htm"_s;
        row("a page with a command", get("/index.htm?FIRE"), page, {Fire}, {received, sent, Done},
            {u"1 - Got Data: GET /index.htm?FIRE HTTP/1.1\r\n\r\n"_s,
             u"1 - Requested File: /index.htm?FIRE"_s, u"1 - Pressed keys for command FIRE"_s,
             u"1 - Complete Path: "_s + at(u"htdocs/index.htm"_s),
             u"1 - Sent Data: "_s + QLatin1String(ok("text/html", 32)), u"Finished Transfer 1"_s});
        row("a page without the viewport tag: said once, after its transfer begins", get("/bare.HTML"),
            ok("text/html", 11) + "<p>bare</p>", {},
            {u"Transfering: /bare.HTML"_s,
             u"/bare.HTML has no viewport meta tag: phones wait 300 ms before each tap"_s, Done});
        row("a missing page runs its command", get("/nothing.htm?FIRE"), NotFound, {Fire}, {received, Done});
        row("another site's command is refused, its page served",
            get("/index.htm?FIRE", "Host: panel.test\r\nSec-Fetch-Site: cross-site\r\n"), page, {},
            {u"Refused command FIRE from another site"_s, sent, Done});
        row("another site's page without a command: nothing to refuse",
            get("/index.htm", "Host: pc\r\nSec-Fetch-Site: cross-site\r\n"), page, {}, {sent, Done});
        row("a refused path runs nothing", get("/a/../index.htm?FIRE"), NotFound, {}, {Done});
        row("an empty file is its header alone", get("/empty.gif"), ok("image/gif", 0, true), {},
            {u"Transfering: /empty.gif"_s, Done});
        // Bytes, not characters, are counted: a short count never finished the response.
        row("a plain GET of the live channel's path is a request like any other",
            get("/.vanterel/live?FIRE", "Connection: Upgrade\r\n"), NotFound, {Fire}, {received, Done});
        row("a Host of non-ASCII text", get("/", "Host: \xc3\xa9\r\n"), redirect("\xc3\xa9"), {}, {Done});
    }
    void server_answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, trace);
        QTEST(testing::exchange(start(), request), "response");
        QTRY_COMPARE(log->messages(), messages);
        QTEST(log->pressed(), "pressed");
        if (!trace.isEmpty())
            QTRY_COMPARE(log->logLines(), trace);
    }

    // Two transfers of many pieces at once arrive whole. One peer has shut down its sending side: found
    // by a probe, the response used to be thrown away once the peer's end of stream was read.
    void server_twoDownloadsAtOnceArriveWholeAlsoToAHalfClosedPeer()
    {
        QByteArray big; // numbers in a row: a piece out of place or lost shows
        for (int i = 0; i < 60000; ++i)
            big += QByteArray::number(i) + ' ';
        writeFile(u"htdocs/big.htm"_s, big);
        TcpClient a(start()), b(settings.ServerPort);
        QVERIFY(a.send(get("/big.htm")) && b.send(get("/big.htm")));
        a.shutdownWrite();
        QCOMPARE(a.read(), ok("text/html", big.size()) + big);
        QCOMPARE(b.read(), ok("text/html", big.size()) + big);
        QTRY_COMPARE(finished(), 2);
    }

    // Slots are made on demand and the lowest closed one is taken again. A peer that leaves in the middle
    // of a file frees its slot and the file; a second request on a busy connection takes the slot over.
    void server_slotsAreReusedFreedAndTakenOver()
    {
        const qsizetype length = 4 * 1024 * 1024;
        writeFile(u"htdocs/long.zip"_s, QByteArray(length, 'L'));
        TcpClient a(start()), b(settings.ServerPort), c(settings.ServerPort);
        QVERIFY(b.send(get("/long.zip")) && c.send(get("/long.zip")) && !b.read(10000).endsWith("<timeout>"));
        QVERIFY(server->slotInfo().at(2).hasFile);
        a.close();
        b.close();
        QTRY_VERIFY(server->slotInfo().at(1).state == 0 && server->slotInfo().at(2).state == 0);
        QVERIFY(!server->slotInfo().at(2).hasFile);
        QCOMPARE(finished(), 0);
        QCOMPARE(testing::exchange(settings.ServerPort, get("/nothing")), NotFound);
        QTRY_COMPARE(log->logLines().last(), u"Finished Transfer 1"_s);
        QByteArray got = c.read(20000);
        QVERIFY(c.send(get("/nothing")));
        got += c.read();
        QVERIFY(got.startsWith(ok("application/zip", length)) && got.endsWith(NotFound));
        QVERIFY(got.size() < length);
        QTRY_COMPARE(finished(), 2);
        QCOMPARE(server->slotInfo().size(), std::size_t(4));
    }

    // Found when it happened: a file cut short after its header went out left the connection open.
    void server_aFileThatShrinksEndsTheConnection()
    {
        writeFile(u"htdocs/shrinking.htm"_s, QByteArray(200000, 's'));
        const QByteArray header = ok("text/html", 200000);
        TcpClient client(start());
        QVERIFY(client.send(get("/shrinking.htm")));
        QByteArray got = client.read(header.size() + 4096);
        QVERIFY(QFile::resize(at(u"htdocs/shrinking.htm"_s), 3000));
        got += client.read();
        QVERIFY(got.startsWith(header) && got.size() < header.size() + 200000);
        QTRY_COMPARE(server->slotInfo().at(1).state, 0);
        QCOMPARE(finished(), 0);
    }

    // Found when idle connections used up the descriptors: one that sends nothing is closed once the idle
    // time has passed, and not before. A request a second after its connection opened is served under the
    // default idle time, and a download that lasts longer than the idle time arrives whole.
    void server_idleConnectionsAreClosedOnlyWhenSilentForTheIdleTime()
    {
        const qsizetype length = 3 * 1024 * 1024; // 1536 pieces: 1.5 s at least
        writeFile(u"htdocs/long.zip"_s, QByteArray(length, 'L'));
        http::Server patient(settings, *log);
        QCOMPARE(patient.idleTimeout(), std::chrono::seconds(30));
        QVERIFY(patient.StartListening());
        patient.Start();
        TcpClient late(settings.ServerPort);
        QElapsedTimer opened;
        opened.start();
        settings.ServerPort = testing::freePort();
        TcpClient silent(start(std::chrono::seconds(1))), busy(settings.ServerPort);
        QVERIFY(busy.send(get("/long.zip")));
        QVERIFY(!silent.read(-1, 10000).endsWith("<timeout>") && silent.closedByPeer());
        QCOMPARE_GE(opened.elapsed(), 1000);
        QVERIFY(late.send(get("/index.htm")));
        QCOMPARE(late.read(), ok("text/html", 32) + "<meta name=viewport><p>panel</p>");
        QCOMPARE(busy.read().size(), ok("application/zip", length).size() + length);
    }

    // What the options window asks for: another port (only the listener restarts, its lines in order, a
    // port out of range is refused) and another document root, while an accepted connection goes on.
    void server_settingsChangeWhileConnectionsGoOn()
    {
        TcpClient accepted(start());
        QTRY_COMPARE(server->slotInfo().size(), std::size_t(2));
        const qint32 oldPort = settings.ServerPort, newPort = testing::freePort();
        server->SetDocumentRoot(at(u".local/htdocs"_s)); // in order with the restarts that follow
        for (const qint32 port : {0, 65536, newPort})
            server->RestartListening(port);
        const QString closed = u"Server closed."_s;
        const QString refused = u"Server could not listen on port %1: the port must be from 1 to 65535"_s;
        QTRY_COMPARE(log->messages().size(), 6);
        QCOMPARE(log->messages().mid(0, 5),
                 (QStringList{closed, refused.arg(0), closed, refused.arg(65536), closed}));
        QVERIFY(log->messages().at(5).endsWith(u':' + QString::number(newPort)));
        QCOMPARE(testing::exchange(newPort, get("/index.htm")), ok("text/html", 5) + "local");
        QVERIFY(!TcpClient(oldPort).connected());
        QVERIFY(accepted.send(get("/nothing")));
        QCOMPARE(accepted.read(), NotFound);
    }

    // The live channel: what a page sends ("<reconnect>": a new channel after a closing handshake,
    // "<drop>": the connection lost without one, "<silent>": the page stops answering pings), the
    // answers, what was pressed and whether a hold was let go for the channel.
    void live_data()
    {
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QStringList>("pressed");
        QTest::addColumn<bool>("letGo");
        const QString hold = u"h1 +BRAKES"_s, id64 = QString(64, u'i');
        QTest::addRow("a tap is pressed and acknowledged")
            << QStringList{u"1 FIRE"_s} << QStringList{u"ok 1"_s} << QStringList{Fire} << false;
        QTest::addRow("a resent id presses once, also after a reconnect")
            << QStringList{u"7 FIRE"_s, u"7 FIRE"_s, u"<reconnect>"_s, u"7 FIRE"_s, u"8 FIRE"_s}
            << QStringList{u"ok 7"_s, u"ok 7"_s, u"ok 7"_s, u"ok 8"_s} << QStringList{Fire, Fire} << false;
        QTest::addRow("malformed messages press nothing")
            << QStringList{u"FIRE"_s, u" FIRE"_s, u"1 "_s, u"2 A B"_s, id64 + u"x FIRE"_s, id64 + u" FIRE"_s}
            << (QStringList(5, u"refused - malformed"_s) << u"ok "_s + id64) << QStringList{Fire} << false;
        QTest::addRow("a lost connection lets go of its holds")
            << QStringList{hold, u"<drop>"_s} << QStringList{u"ok h1"_s}
            << QStringList{u"+BRAKES"_s, u"-BRAKES"_s} << true;
        QTest::addRow("a page that stops answering pings loses its holds")
            << QStringList{hold, u"<silent>"_s} << QStringList{u"ok h1"_s}
            << QStringList{u"+BRAKES"_s, u"-BRAKES"_s} << true;
        QTest::addRow("a hold let go by the page is not let go again")
            << QStringList{hold, u"h2 -brakes"_s, u"<drop>"_s} << QStringList{u"ok h1"_s, u"ok h2"_s}
            << QStringList{u"+BRAKES"_s, u"-brakes"_s} << false;
    }
    void live()
    {
        QFETCH(QStringList, script);
        QFETCH(QStringList, pressed);
        QFETCH(bool, letGo);
        auto client = std::make_unique<testing::LiveClient>(
            start(), "http://127.0.0.1:" + std::to_string(settings.ServerPort));
        QVERIFY(client->open());
        QCOMPARE(server->slotInfo().at(1).state, 7); // the channel holds its slot while open
        QStringList answers;
        for (const QString &step : script) {
            if (step == u"<reconnect>") {
                client->close();
                client = std::make_unique<testing::LiveClient>(
                    settings.ServerPort, "http://127.0.0.1:" + std::to_string(settings.ServerPort));
                QVERIFY(client->open());
            } else if (step == u"<drop>") {
                client->drop();
            } else if (step != u"<silent>") {
                answers << QString::fromUtf8(client->ask(step.toUtf8()));
            }
        }
        QTEST(answers, "answers");
        QTRY_COMPARE(log->pressed(), pressed);
        QCOMPARE(log->messages().contains(u"Let go of BRAKES: its live channel closed"_s), letGo);
        QTRY_COMPARE(server->slotInfo().at(1).state, script.last().startsWith(u'<') ? 0 : 7);
    }

    // A channel is opened only for a page of this server, at a name of this machine: a refused handshake
    // is answered 403 and closed, and nothing it would send is pressed.
    void live_handshakeFromElsewhereIsRefused()
    {
        const int port = start();
        const QByteArray handshake
            = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        const QByteArray forbidden
            = "HTTP/1.1 403 Forbidden\r\nServer: Vanterel Version 1.1.0\r\nContent-Length: "
              "0\r\nConnection: close\r\n\r\n";
        QCOMPARE(
            testing::exchange(port, get("/.vanterel/live", handshake + "Origin: http://evil.example\r\n")),
            forbidden);
        QCOMPARE(testing::exchange(port, get("/.vanterel/live", handshake)), forbidden);
        QTRY_COMPARE(log->messages(),
                     (QStringList{u"Refused live channel for 127.0.0.1 from another site"_s, Done,
                                  u"Refused live channel for 127.0.0.1: no Origin"_s, Done}));
        QTRY_COMPARE(server->slotInfo().at(1).state, 0);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
