#include "app/FrmMain.h"
#include "app/OpenFileLimit.h"
#include "app/SignalHandler.h"
#include "common/Version.h"

#include <QApplication>
#include <QtGlobal>

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // Without any display the program still serves and presses keys: the
    // window is then drawn off screen. Windows always has its desktop.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif

    // Every connection costs a descriptor; the default soft limit of many
    // sessions is far below what the server can serve at once.
    vanterel::app::RaiseOpenFileLimit();

    // These name the user's data folder (~/.local/share/vanterel/ without an
    // organisation) and tie the window to its desktop entry.
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QStringLiteral("vanterel"));
    QCoreApplication::setApplicationVersion(vanterel::VersionText());
    QGuiApplication::setDesktopFileName(QStringLiteral(VANTEREL_APP_ID));
    QApplication app(argc, argv);
    vanterel::app::FrmMain window;
    bool terminated = false;
    vanterel::app::SignalHandler signals;
    QObject::connect(&signals, &vanterel::app::SignalHandler::terminationRequested, &window,
                     [&window, &terminated](int) {
                         terminated = true;
                         window.close();
                         QCoreApplication::quit();
                     });
    // Windows ends a program without a console at log-off and shut-down
    // right after this signal (it comes from the session's end message), so
    // sockets, keys.dat and Log.txt are closed here if the window was not.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, [&window] { window.Unload(); });
    window.Load();
    // A signal can arrive while start-up lets events run, before the event
    // loop exists to be quit: the shut-down has run already, so stop here.
    if (terminated)
        return 0;
    window.show();
    return app.exec();
}
