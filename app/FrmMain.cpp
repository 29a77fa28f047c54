#include "app/FrmMain.h"

#include "app/FrmConnect.h"
#include "common/CoolIcon.h"
#include "common/Layout.h"
#include "common/Version.h"
#include "config/ConfigFile.h"
#include "config/FrmOpts.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTreeView>

Q_LOGGING_CATEGORY(lcEvent, "vanterel.event")

namespace vanterel::app {

using layout::px;
using layout::twipsRect;

namespace {
// One frame at 60 Hz: the event log's view catches up at most this often.
constexpr int FollowIntervalMs = 16;

} // namespace

FrmMain::FrmMain(Options options, QWidget *parent)
    : QWidget(parent), m_options(std::move(options))
{
    setObjectName(QStringLiteral("FrmMain"));
    setFixedSize(px(6150), px(2925));

    chkEnabeLog = new QCheckBox(QStringLiteral("Enabe Log"), this);
    chkEnabeLog->setObjectName(QStringLiteral("chkEnabeLog"));
    chkEnabeLog->setGeometry(twipsRect(120, 120, 1455, 195));

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

    m_server = std::make_unique<http::Server>(m_settings, *this);
    m_requests = std::make_unique<http::RequestHandler>(
        *m_server, m_settings, *this,
        [this](const QString &command) { m_keys.PressCommandKeys(command, false); });
    m_requests->install();

    // Painting the list (text shaping, mostly) costs far more than adding a
    // line. While lines arrive, the list is repainted, and the newest line
    // selected and scrolled to, once per frame rather than once per line.
    m_follow.setSingleShot(true);
    m_follow.setInterval(FollowIntervalMs);
    connect(&m_follow, &QTimer::timeout, this, &FrmMain::followNewestLine);
}

FrmMain::~FrmMain() { Unload(); }

void FrmMain::Load()
{
    setWindowIcon(CoolIcon::LoadIconGroup(QStringLiteral("DEF")));
    CoolIcon::SetWindowIcons(this, QStringLiteral("DEF"));
    const QString caption = WindowCaption();
    setWindowTitle(caption);
    m_settings.ServerSignature = MakeServerSignature();
    m_settings.AppFolder = m_options.appFolder.isEmpty() ? QCoreApplication::applicationDirPath()
                                                         : m_options.appFolder;
    m_logFile.close();
    ListView1->setColumnWidth(0, px(5715));
    AddMsg(caption);
    if (!m_settings.AppFolder.endsWith(QLatin1Char('/')))
        m_settings.AppFolder += QLatin1Char('/');
    m_settings.DocumentRoot = m_settings.AppFolder + QStringLiteral("htdocs");
    const config::ConfigResult loaded = config::LoadConfig(keysDatPath(), m_settings, m_keys.bindings());
    AddMsg(QStringLiteral("Loaded Configuration"));
    if (!loaded.ok)
        AddMsg(QStringLiteral("keys.dat could not be read, the defaults stand: ") + loaded.reason);

    if (!m_logFile.open(m_settings.AppFolder + QStringLiteral("Log.txt")))
        AddMsg(QStringLiteral("Could not create Log.txt: ") + m_logFile.error());

    if (m_server->StartListening())
        AddMsg(m_server->ListeningLine());
    else
        AddMsg(m_server->ListenFailureLine());

    inject::InjectorChoice choice =
        m_options.makeInjector ? m_options.makeInjector() : inject::CreateInjector();
    m_injector = std::move(choice.injector);
    m_keys.setInjector(m_injector.get());
    AddMsg(choice.logLine);

    QCoreApplication::processEvents();
}

void FrmMain::Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_server->Shutdown();
    // Strokes still queued are played out, so no key is left held down.
    if (m_injector)
        m_injector->shutdown();
    const config::ConfigResult saved = config::SaveConfig(keysDatPath(), m_settings, m_keys.bindings());
    if (!saved.ok)
        AddMsg(QStringLiteral("keys.dat could not be saved, the previous file stays: ") + saved.reason);
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
    m_logModel.append(text);
    qCInfo(lcEvent).noquote() << text;
    // The connect window follows the listener through its log lines: at
    // start-up and whenever the options window moves it to another port.
    static const QString listening = QStringLiteral("Server listening on address ");
    if (text.startsWith(listening))
        m_frmConnect->setServer(m_settings.ServerPort, text.mid(listening.size()).section(u':', 0, 0));
    else if (text.startsWith(QStringLiteral("Server could not listen on port ")))
        m_frmConnect->setServer(m_settings.ServerPort, QString());
    if (!m_follow.isActive()) {
        ListView1->viewport()->setUpdatesEnabled(false);
        m_follow.start();
    }
}

void FrmMain::WriteLogLine(const QString &text)
{
    if (chkEnabeLog->isChecked())
        m_logFile.writeLine(text);
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

QString FrmMain::keysDatPath() const { return m_settings.AppFolder + QStringLiteral("keys.dat"); }

void FrmMain::cmdSendKeyClick()
{
    if (m_keys.bindings().upperBound() == 0)
        return;
    const QString selected = SelectedLogText();
    if (selected.isEmpty())
        return;
    m_keys.PressCommandKeys(selected, true);
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
    auto *dialog = new config::FrmOpts(m_settings, m_keys, *m_server, *this, prompts, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_frmOpts = dialog;
    // A nested event loop: the server goes on serving while the window is open.
    dialog->exec();
}

} // namespace vanterel::app
