#pragma once

#include "app/EventChannel.h"
#include "app/EventLogModel.h"
#include "app/LogFile.h"
#include "common/Settings.h"
#include "config/KeyFileWatcher.h"
#include "config/Prompts.h"
#include "http/DeviceAccess.h"
#include "http/Server.h"
#include "keys/KeyCommands.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QDialog;
class QLabel;
class QPushButton;
class QTreeView;

namespace vanterel::app {

class CommandPanel;
class FrmConnect;

// How a main window is put together; tests change what a user cannot.
struct FrmMainOptions {
    // Folder of keys.dat, Log.txt and htdocs; chosen by ChooseDataFolder when empty.
    QString appFolder;
    // Picks the key-injection backend at start-up; the machine's own when empty.
    std::function<inject::InjectorChoice()> makeInjector;
    // File dialogs, message boxes and menus of the options window; real ones when null.
    config::Prompts *prompts = nullptr;
};

// The main window: its load is the program's start-up, its close the
// shut-down. It owns the event log and the file server, which runs on a thread
// of its own: this thread only draws, and the server's lines reach the list in
// batches, at most once a frame. The server logs through a sink of its own
// (NetworkLog), never through the window.
class FrmMain final : public QWidget {
    Q_OBJECT

public:
    using Options = FrmMainOptions;

    explicit FrmMain(Options options = {}, QWidget *parent = nullptr);
    ~FrmMain() override;

    // Start-up: everything up to listening, then lets pending events run once.
    // Each part is made after the one it needs: the injector, the key
    // commands that press through it, the server that runs them.
    void Load();
    // Shut-down; runs once, whether from closing the window or from a signal.
    void Unload();

    // Lines of the window's own (start-up, errors); they follow every line
    // the server sent before.
    void AddMsg(const QString &text);

    // Text of the selected line of the event log (empty when none).
    QString SelectedLogText() const;

    // Takes the lines the server has sent so far into the list at once.
    void takeServerLines();
    EventLogModel &logModel() { return m_logModel; }
    // Made by Load().
    http::DeviceAccess &devices() { return *m_devices; }
    QString ServerSignature() const { return m_settings.ServerSignature; }
    qint32 MessageCount() const { return m_logModel.MessageCount(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void onServerLines();
    void showLines(const std::vector<QString> &lines);
    void followNewestLine();
    void cmdOptionsClick();
    void cmdSendKeyClick();
    void cmdConnectClick();
    QString keysDatPath() const;
    void startDevices();
    void releaseLeftoverKeys();
    // The key file changed and settled: its bindings replace the table, or,
    // when it cannot be read whole, the table stays and the log says why.
    void importKeyFileAgain();
    // "Allow <address> to press keys?", beside the window: the server never
    // waits for the answer, it refuses the device until it is allowed.
    void askAboutDevice(const QString &address);

    Options m_options;
    Settings m_settings;
    EventLogModel m_logModel;
    LogFile m_logFile;
    EventChannel m_channel;
    NetworkLog m_netLog{m_channel, m_logFile};
    // Made by Load() in this order, and destroyed in the reverse: each uses
    // the one before it.
    std::unique_ptr<inject::Injector> m_injector;
    std::unique_ptr<keys::KeyCommands> m_keys;
    std::unique_ptr<http::DeviceAccess> m_devices;
    std::unique_ptr<CommandPanel> m_commandPanel;
    std::unique_ptr<http::Server> m_server;
    QTimer m_follow;
    QTimer m_takeLines;
    QElapsedTimer m_sinceTake;
    bool m_copyToStderr = false;
    bool m_unloaded = false;
    QPointer<QDialog> m_frmOpts;
    config::WidgetPrompts m_widgetPrompts;
    config::KeyFileWatcher m_keyFileWatcher;

    QCheckBox *chkEnabeLog;
    QPushButton *cmdConnect;
    FrmConnect *m_frmConnect;
    QPushButton *cmdSendKey;
    QPushButton *cmdOptions;
    QTreeView *ListView1;
    QLabel *Picture1;
};

} // namespace vanterel::app
