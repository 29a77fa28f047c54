#include "app/FrmMain.h"

#include "app/CommandPanel.h"
#include "app/DataFolder.h"
#include "app/FrmConnect.h"
#include "app/HeldKeys.h"
#include "common/CoolIcon.h"
#include "common/Layout.h"
#include "common/Version.h"
#include "config/ConfigFile.h"
#include "config/FrmOpts.h"
#include "keys/KeyFileImport.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>

#include <cstdio>

Q_LOGGING_CATEGORY(lcEvent, "vanterel.event")
Q_LOGGING_CATEGORY(lcInject, "vanterel.inject")

namespace vanterel::app {

using layout::px;
using layout::twipsRect;

namespace {
// One frame at 60 Hz: the event log's view catches up at most this often, and
// takes the server's lines at most this often.
constexpr int FollowIntervalMs = 16;

void writeToStderr(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const auto n = std::fwrite(bytes.constData() + done, 1, std::size_t(bytes.size() - done), stderr);
        if (n == 0)
            return;
        done += qsizetype(n);
    }
    std::fflush(stderr);
}

} // namespace

FrmMain::FrmMain(Options options, QWidget *parent)
    : QWidget(parent)
    , m_options(std::move(options))
    , m_channel([this] { QMetaObject::invokeMethod(this, &FrmMain::onServerLines, Qt::QueuedConnection); })
{
    setObjectName(QStringLiteral("FrmMain"));
    setFixedSize(px(6150), px(2925));

    chkEnabeLog = new QCheckBox(QStringLiteral("Enabe Log"), this);
    chkEnabeLog->setObjectName(QStringLiteral("chkEnabeLog"));
    chkEnabeLog->setGeometry(twipsRect(120, 120, 1455, 195));
    // The server's thread reads the box as a flag, at its next trace line.
    connect(chkEnabeLog, &QCheckBox::toggled, this, [this](bool on) { m_netLog.setEnabled(on); });

    cmdConnect = new QPushButton(QStringLiteral("Connect…"), this);
    cmdConnect->setObjectName(QStringLiteral("cmdConnect"));
    cmdConnect->setGeometry(twipsRect(1695, 0, 1185, 360));
    m_frmConnect = new FrmConnect(this);
    connect(cmdConnect, &QPushButton::clicked, this, &FrmMain::cmdConnectClick);

    cmdSendKey = new QPushButton(QStringLiteral("Send Key"), this);
    cmdSendKey->setObjectName(QStringLiteral("cmdSendKey"));
    cmdSendKey->setGeometry(twipsRect(3000, 0, 990, 360));
    connect(cmdSendKey, &QPushButton::clicked, this, &FrmMain::cmdSendKeyClick);

    cmdOptions = new QPushButton(QStringLiteral("Options"), this);
    cmdOptions->setObjectName(QStringLiteral("cmdOptions"));
    cmdOptions->setGeometry(twipsRect(5040, 0, 990, 360));
    connect(cmdOptions, &QPushButton::clicked, this, &FrmMain::cmdOptionsClick);

    ListView1 = new QTreeView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(twipsRect(0, 360, 6135, 2535));
    ListView1->setModel(&m_logModel);
    ListView1->setHeaderHidden(true);
    layout::makeReportList(ListView1);

    // The picture of the window design has no place in the layout and no
    // behaviour; it is kept, hidden, under its name.
    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setFixedSize(227, 225);
    Picture1->hide();

    // Painting the list (text shaping, mostly) costs far more than adding a
    // line. While lines arrive, the list is repainted, and the newest line
    // selected and scrolled to, once per frame rather than once per line.
    m_follow.setSingleShot(true);
    m_follow.setInterval(FollowIntervalMs);
    connect(&m_follow, &QTimer::timeout, this, &FrmMain::followNewestLine);
    m_takeLines.setSingleShot(true);
    connect(&m_takeLines, &QTimer::timeout, this, &FrmMain::takeServerLines);
    m_sinceTake.start();
    connect(&m_keyFileWatcher, &config::KeyFileWatcher::settled, this, &FrmMain::importKeyFileAgain);
    // The event log's lines are copied to standard error for a terminal or a
    // service manager, unless the logging rules silence them.
    m_copyToStderr = lcEvent().isInfoEnabled();
}

FrmMain::~FrmMain()
{
    Unload();
}

void FrmMain::Load()
{
    CoolIcon::SetWindowIcons(this, QStringLiteral("DEF"));
    const QString caption = WindowCaption();
    setWindowTitle(caption);
    m_settings.ServerSignature = MakeServerSignature();
    const DataFolder files = m_options.appFolder.isEmpty() ? ChooseDataFolder(ThisProgramsPaths())
                                                           : DataFolder{m_options.appFolder, true, {}, {}};
    m_settings.AppFolder = files.folder;
    m_logFile.close();
    ListView1->setColumnWidth(0, px(5715));
    AddMsg(caption);
    if (!m_settings.AppFolder.endsWith(QLatin1Char('/')))
        m_settings.AppFolder += QLatin1Char('/');
    m_settings.DocumentRoot = m_settings.AppFolder + QStringLiteral("htdocs");
    keys::KeyBindings table;
    const config::ConfigResult loaded = config::LoadConfig(keysDatPath(), m_settings, table);

    // The injector first, then the key commands that press through it, then
    // the server that runs them: none of them ever sees a part that is not
    // there yet. The injector's line keeps its place after the files line.
    // The library's warnings (dropped strokes, failed backend calls) go to
    // our log category; the event log only gets the factory's one line.
    inject::SetDiagnostics([](std::string_view line) {
        qCWarning(lcInject).noquote() << QString::fromUtf8(line.data(), qsizetype(line.size()));
    });
    inject::InjectorChoice choice
        = m_options.makeInjector ? m_options.makeInjector() : inject::CreateInjector();
    m_injector = std::move(choice.injector);
    m_keys = std::make_unique<keys::KeyCommands>(m_settings, m_injector.get(), std::move(table));
    AddMsg(QStringLiteral("Loaded Configuration"));
    if (!loaded.ok)
        AddMsg(QStringLiteral("keys.dat could not be read, the defaults stand: ") + loaded.reason);
    for (const QString &line : loaded.ignored)
        AddMsg(line);
    m_keyFileWatcher.watch(m_settings.KeyFile);
    for (const QString &name : config::RemoveUnfinishedSaves(keysDatPath()))
        AddMsg(QStringLiteral("Removed ") + name
               + QStringLiteral(", left by a save of keys.dat that was cut short"));
    startDevices();

    if (!m_logFile.open(m_settings.AppFolder + QStringLiteral("Log.txt")))
        AddMsg(QStringLiteral("Could not create Log.txt: ") + m_logFile.error());

    // Commands are pressed on the server's thread, straight from the request.
    m_commandPanel = std::make_unique<CommandPanel>(*m_keys);
    m_server = std::make_unique<http::Server>(
        m_settings, m_netLog, [this](const QString &command) { m_keys->PressCommandKeys(command, false); },
        m_devices.get(), m_commandPanel.get());
    m_netLog.setPoster([this](std::function<void()> fn) { m_server->Post(std::move(fn)); });
    // The connect window follows the listener: at start-up and whenever the
    // options window moves it to another port.
    m_server->setListeningObserver([this](bool listening, const QString &address, qint32 port) {
        QMetaObject::invokeMethod(this, [this, listening, address, port] {
            m_frmConnect->setServer(port, listening ? address : QString());
        });
    });
    if (m_server->StartListening())
        AddMsg(m_server->ListeningLine());
    else
        AddMsg(m_server->ListenFailureLine());
    AddMsg(files.logLine());
    AddMsg(QString::fromStdString(choice.logLine));
    releaseLeftoverKeys();

    m_server->Start();
    QCoreApplication::processEvents();
}

void FrmMain::Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_keyFileWatcher.watch(QString());
    // Every socket closes, and the server's thread ends with its last lines.
    if (m_server)
        m_server->Shutdown();
    takeServerLines();
    // Strokes still queued are played out, so no key is left held down.
    if (m_injector)
        m_injector->shutdown();
    if (m_devices) {
        m_settings.OnlyApprovedDevices = m_devices->onlyApproved();
        m_settings.ApprovedDevices = m_devices->approved();
    }
    // A window that never started has no folder and no table of its own:
    // saving would write a keys.dat wherever the process happens to be.
    if (m_keys) {
        const config::ConfigResult saved = config::SaveConfig(keysDatPath(), m_settings, *m_keys->bindings());
        if (!saved.ok)
            AddMsg(QStringLiteral("keys.dat could not be saved, the previous file stays: ") + saved.reason);
    }
    m_logFile.close();
    if (m_frmOpts)
        m_frmOpts->reject();
}

void FrmMain::closeEvent(QCloseEvent *event)
{
    Unload();
    event->accept();
}

void FrmMain::AddMsg(const QString &text)
{
    takeServerLines();
    showLines({text});
}

void FrmMain::onServerLines()
{
    // Woken by the first line after the last batch: take them now, or once a
    // frame has passed since the last batch, so that a busy server costs this
    // thread one batch a frame however many lines it sends.
    if (m_takeLines.isActive())
        return;
    const qint64 wait = FollowIntervalMs - m_sinceTake.elapsed();
    if (wait <= 0)
        takeServerLines();
    else
        m_takeLines.start(int(wait));
}

void FrmMain::takeServerLines()
{
    m_takeLines.stop();
    m_sinceTake.restart();
    showLines(m_channel.take());
}

void FrmMain::showLines(const std::vector<QString> &lines)
{
    if (lines.empty())
        return;
    m_logModel.append(lines);
    if (m_copyToStderr) {
        // Joined first and converted once: a busy server sends thousands of
        // lines a frame, and one conversion costs far less than thousands.
        qsizetype size = 0;
        for (const QString &line : lines)
            size += line.size() + 1;
        QString all;
        all.reserve(size);
        for (const QString &line : lines) {
            all += line;
            all += u'\n';
        }
        writeToStderr(all.toLocal8Bit());
    }
    if (!m_follow.isActive()) {
        ListView1->viewport()->setUpdatesEnabled(false);
        m_follow.start();
    }
}

void FrmMain::followNewestLine()
{
    const int last = m_logModel.rowCount() - 1;
    if (last >= 0) {
        const QModelIndex newest = m_logModel.index(last, 0);
        ListView1->selectionModel()->setCurrentIndex(newest, QItemSelectionModel::ClearAndSelect);
        ListView1->scrollTo(newest);
    }
    ListView1->viewport()->setUpdatesEnabled(true);
}

QString FrmMain::SelectedLogText() const
{
    // A line added since the view last caught up is the selected one.
    if (m_follow.isActive())
        return m_logModel.rowCount() > 0 ? m_logModel.text(m_logModel.rowCount() - 1) : QString();
    const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    return selected.isEmpty() ? QString() : m_logModel.text(selected.first().row());
}

QString FrmMain::keysDatPath() const
{
    return m_settings.AppFolder + QStringLiteral("keys.dat");
}

void FrmMain::startDevices()
{
    m_devices
        = std::make_unique<http::DeviceAccess>(m_settings.OnlyApprovedDevices, m_settings.ApprovedDevices);
    // Both are told on the server's thread.
    m_devices->setObservers(
        [this](const QString &address) {
            QMetaObject::invokeMethod(this, [this, address] { askAboutDevice(address); });
        },
        [this] { QMetaObject::invokeMethod(m_frmConnect, &FrmConnect::devicesChanged); });
    m_frmConnect->setDevices(m_devices.get());
}

void FrmMain::releaseLeftoverKeys()
{
    if (!m_injector)
        return; // nothing can let them go: the file stays for a run that can
    const QString path = m_settings.AppFolder + QLatin1String(HeldKeysFileName);
    const std::vector<std::int32_t> leftovers = ReadHeldKeys(path);
    if (!leftovers.empty()) {
        m_injector->releaseLeftovers(leftovers);
        QStringList names;
        for (const std::int32_t code : leftovers)
            names.append(keys::KeyName(code));
        AddMsg(QStringLiteral("Released keys left down by the last run: ")
               + names.join(QStringLiteral(", ")));
    }
    WriteHeldKeys(path, {});
    m_injector->watchHeldKeys(
        [path](const std::vector<std::int32_t> &keyCodes) { WriteHeldKeys(path, keyCodes); });
}

void FrmMain::importKeyFileAgain()
{
    if (m_unloaded)
        return;
    // A few kilobytes read and parsed here, on this thread: far less than a
    // frame, and the table is swapped whole, as a manual import does.
    const QString path = m_settings.KeyFile;
    keys::KeyBindings table;
    if (const std::optional<keys::ImportError> error = keys::ImportKeyFile(path, table)) {
        AddMsg(QStringLiteral("Key file changed, the bindings stay: ") + error->description);
        return;
    }
    keys::KeepOwnHolds(*m_keys->bindings(), table);
    const qint32 count = table.upperBound();
    m_keys->replaceBindings(std::move(table));
    AddMsg(QStringLiteral("Key file changed: %1 bindings from %2").arg(count).arg(path));
    if (auto *options = qobject_cast<config::FrmOpts *>(m_frmOpts.data()))
        options->RefreshList();
}

void FrmMain::askAboutDevice(const QString &address)
{
    if (m_unloaded)
        return;
    auto *box = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QStringLiteral("Allow %1 to press keys?").arg(address), QMessageBox::NoButton,
                                this);
    box->setObjectName(QStringLiteral("msgDevice"));
    box->setProperty("address", address);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *allow = box->addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Deny"), QMessageBox::RejectRole);
    connect(box, &QMessageBox::buttonClicked, this, [this, allow, address](QAbstractButton *button) {
        if (button == allow) {
            m_devices->approve(address);
            AddMsg(QStringLiteral("Allowed ") + address + QStringLiteral(" to press keys"));
        } else {
            m_devices->deny(address);
            AddMsg(QStringLiteral("Denied ") + address + QStringLiteral(" pressing keys"));
        }
    });
    box->show();
}

void FrmMain::cmdSendKeyClick()
{
    if (!m_keys || m_keys->bindings()->upperBound() == 0)
        return;
    const QString selected = SelectedLogText();
    if (selected.isEmpty())
        return;
    m_keys->PressCommandKeys(selected, true);
}

void FrmMain::cmdConnectClick()
{
    m_frmConnect->show();
    m_frmConnect->raise();
    m_frmConnect->activateWindow();
}

void FrmMain::cmdOptionsClick()
{
    config::Prompts &prompts = m_options.prompts ? *m_options.prompts : m_widgetPrompts;
    auto *dialog = new config::FrmOpts(m_settings, *m_keys, *m_server, prompts, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &config::FrmOpts::keyFileImported, &m_keyFileWatcher, &config::KeyFileWatcher::watch);
    m_frmOpts = dialog;
    // A nested event loop: the server goes on serving while the window is open.
    dialog->exec();
}

} // namespace vanterel::app
