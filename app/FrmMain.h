#pragma once

#include "app/EventLogModel.h"
#include "app/LogFile.h"
#include "common/EventSink.h"
#include "common/Settings.h"
#include "config/Prompts.h"
#include "http/RequestHandler.h"
#include "http/Server.h"
#include "keys/KeyCommands.h"

#include <QPointer>

#include <functional>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QDialog;
class QLabel;
class QPushButton;
class QTreeView;

namespace vanterel::app {

class FrmConnect;

// How a main window is put together; tests change what a user cannot.
struct FrmMainOptions {
    // Folder of keys.dat, Log.txt and htdocs; the executable's folder when empty.
    QString appFolder;
    // Picks the key-injection backend at start-up; the machine's own when empty.
    std::function<inject::InjectorChoice()> makeInjector;
    // File dialogs, message boxes and menus of the options window; real ones when null.
    config::Prompts *prompts = nullptr;
};

// The main window: its load is the program's start-up, its close the
// shut-down. It owns the event log and the file server.
class FrmMain final : public QWidget, public EventSink {
    Q_OBJECT

public:
    using Options = FrmMainOptions;

    explicit FrmMain(Options options = {}, QWidget *parent = nullptr);
    ~FrmMain() override;

    // Start-up: everything up to listening, then lets pending events run once.
    void Load();
    // Shut-down; runs once, whether from closing the window or from a signal.
    void Unload();

    void AddMsg(const QString &text) override;
    void WriteLogLine(const QString &text) override;

    // Text of the selected line of the event log (empty when none).
    QString SelectedLogText() const;

    Settings &settings() { return m_settings; }
    keys::KeyCommands &keyCommands() { return m_keys; }
    http::Server &server() { return *m_server; }
    EventLogModel &logModel() { return m_logModel; }
    QString AppFolder() const { return m_settings.AppFolder; }
    QString ServerSignature() const { return m_settings.ServerSignature; }
    qint32 MessageCount() const { return m_logModel.MessageCount(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void followNewestLine();
    void cmdOptionsClick();
    void cmdSendKeyClick();
    void cmdConnectClick();
    QString keysDatPath() const;

    Options m_options;
    Settings m_settings;
    keys::KeyCommands m_keys{m_settings, nullptr};
    EventLogModel m_logModel;
    LogFile m_logFile;
    std::unique_ptr<http::Server> m_server;
    std::unique_ptr<http::RequestHandler> m_requests;
    std::unique_ptr<inject::Injector> m_injector;
    QTimer m_follow;
    bool m_unloaded = false;
    QPointer<QDialog> m_frmOpts;
    config::WidgetPrompts m_widgetPrompts;

    QCheckBox *chkEnabeLog;
    QPushButton *cmdConnect;
    FrmConnect *m_frmConnect;
    QPushButton *cmdSendKey;
    QPushButton *cmdOptions;
    QTreeView *ListView1;
    QLabel *Picture1;
};

} // namespace vanterel::app
