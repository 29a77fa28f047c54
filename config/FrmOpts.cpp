#include "config/FrmOpts.h"

#include "common/CoolIcon.h"
#include "common/Layout.h"
#include "common/ServerControl.h"
#include "common/Settings.h"
#include "common/mdlStringFunctions.h"
#include "config/LeadingNumber.h"
#include "config/Prompts.h"
#include "keys/KeyCommands.h"
#include "keys/KeyFileImport.h"

#include <QAction>
#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

namespace vanterel::config {

using layout::px;
using layout::twipsRect;

namespace {

const QString ProgramTitle = QStringLiteral("Vanterel");

QPushButton *makeButton(const QString &name, const QString &caption, const QRect &geometry, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    // No button is the dialog's default: Return in the port box must not
    // import a key file or close the window.
    button->setAutoDefault(false);
    return button;
}

QLabel *makeLabel(const QString &name, const QString &caption, const QRect &geometry, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    return label;
}

QLineEdit *makeTextBox(const QString &name, const QRect &geometry, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setGeometry(geometry);
    return box;
}

// A row of the binding list. Rows sort by their callback without regard to
// case: a name typed in lower case into keys.dat belongs among its peers, not
// after every upper-case one.
class BindingRow final : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
    }
};

} // namespace

FrmOpts::FrmOpts(Settings &settings, keys::KeyCommands &keys, http::ServerControl &server, Prompts &prompts,
                 QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_keys(keys)
    , m_server(server)
    , m_prompts(prompts)
{
    setObjectName(QStringLiteral("FrmOpts"));
    setModal(true);
    setFixedSize(px(9675), px(5145));
    QFont font = this->font();
    // Verdana where it is installed; otherwise a sans-serif of similar width.
    font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    setFont(font);

    ListView1 = new QTreeWidget(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(twipsRect(0, 0, 9615, 3495));
    ListView1->setHeaderLabels(
        {QStringLiteral("CallBack"), QStringLiteral("Key"), QStringLiteral("Modifier")});
    layout::makeReportList(ListView1);
    ListView1->viewport()->installEventFilter(this);

    cmdLoadMarlek = makeButton(QStringLiteral("cmdLoadMarlek"), QStringLiteral("Load Marlek Keys"),
                               twipsRect(0, 3480, 1935, 360), this);
    txtPort = makeTextBox(QStringLiteral("txtPort"), twipsRect(7320, 3600, 975, 285), this);
    cmdSet
        = makeButton(QStringLiteral("cmdSet"), QStringLiteral("Set"), twipsRect(8400, 3555, 990, 360), this);
    lblPortOf = makeLabel(QStringLiteral("lblPortOf"), QStringLiteral("Port of Web Server (Default 80)."),
                          twipsRect(6840, 3960, 2805, 195), this);
    lblHtdocsFolder = makeLabel(QStringLiteral("lblHtdocsFolder"), QStringLiteral("htdocs folder"),
                                twipsRect(120, 3960, 1110, 195), this);
    txtHtdocs = makeTextBox(QStringLiteral("txtHtdocs"), twipsRect(0, 4200, 5055, 285), this);
    cmdChangehtdocs = makeButton(QStringLiteral("cmdChangehtdocs"), QStringLiteral("Change"),
                                 twipsRect(5160, 4155, 990, 360), this);
    cmdClose = makeButton(QStringLiteral("cmdClose"), QStringLiteral("Close"),
                          twipsRect(4342, 4680, 990, 360), this);

    mnupopup1 = new QMenu(QStringLiteral("popup1"), this);
    mnupopup1->setObjectName(QStringLiteral("mnupopup1"));
    mnucopycallback = mnupopup1->addAction(QStringLiteral("Copy Callback"));
    mnucopycallback->setObjectName(QStringLiteral("mnucopycallback"));

    connect(cmdSet, &QPushButton::clicked, this, &FrmOpts::cmdSetClick);
    connect(cmdChangehtdocs, &QPushButton::clicked, this, &FrmOpts::cmdChangehtdocsClick);
    connect(cmdLoadMarlek, &QPushButton::clicked, this, &FrmOpts::cmdLoadMarlekClick);
    connect(cmdClose, &QPushButton::clicked, this, &FrmOpts::reject);
    connect(mnucopycallback, &QAction::triggered, this, &FrmOpts::mnucopycallbackClick);

    // Opening: everything is built afresh from the settings and the table.
    CoolIcon::SetWindowIcons(this, QStringLiteral("DEF"));
    setWindowTitle(QStringLiteral("Options"));
    RefreshList();
    txtPort->setText(QString::number(m_settings.ServerPort));
    txtHtdocs->setText(m_settings.DocumentRoot);
    ListView1->setColumnWidth(0, px(4050));
    ListView1->setColumnWidth(1, px(2580));
    ListView1->setColumnWidth(2, px(2580));
}

FrmOpts::~FrmOpts() = default;

void FrmOpts::RefreshList()
{
    ListView1->setSortingEnabled(false);
    ListView1->clear();

    const std::shared_ptr<const keys::KeyBindings> snapshot = m_keys.bindings();
    const keys::KeyBindings &table = *snapshot;
    const qint32 count = table.upperBound();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(count);
    for (qint32 i = 1; i <= count; ++i) {
        const keys::KeyBinding &binding = table.at(i);
        QString key = m_keys.BindingText(binding.SecondKey, binding.SecondModifiers);
        if (binding.HoldMs > 0)
            key += QStringLiteral(" (%1 ms)").arg(binding.HoldMs);
        auto *row = new BindingRow(
            QStringList{binding.Callback, key, m_keys.BindingText(binding.FirstKey, binding.FirstModifiers)});
        row->setData(0, RowKeyRole, QStringLiteral("d") + QString::number(i));
        rows.append(row);
    }
    ListView1->addTopLevelItems(rows);

    QTreeWidgetItem *first = rows.value(0);
    if (first)
        ListView1->setCurrentItem(first);

    // Sorted by callback, ascending, and kept so: the headers are not
    // clickable, so a click on one cannot turn the order round.
    ListView1->header()->setSortIndicator(0, Qt::AscendingOrder);
    ListView1->setSortingEnabled(true);
    ListView1->header()->setSectionsClickable(false);
    ListView1->header()->setSortIndicatorShown(false);

    // Scrolled to once sorted: sorting moves the row, and the point is that
    // the user sees the selected binding.
    if (first)
        ListView1->scrollToItem(first);
}

void FrmOpts::cmdSetClick()
{
    const LeadingNumber port = ReadLeadingNumber(txtPort->text());
    if (!port.inRange || port.value < 1 || port.value > 65535) {
        m_prompts.message(this, ProgramTitle, QStringLiteral("Invalid port. Should be >0 and <65535"));
        return;
    }
    m_settings.ServerPort = port.value;
    // Only the listener restarts, on the server's thread, which logs how it
    // went; connections already accepted go on.
    m_server.RestartListening(port.value);
}

void FrmOpts::cmdChangehtdocsClick()
{
    // The folder is chosen by choosing a file in it. The file need not exist
    // yet: a fresh folder may have no page in it so far.
    const FileRequest request{QStringLiteral("Set htdocs folder"),
                              QStringLiteral("HTML files (*.htm,*.html)"),
                              {QStringLiteral("*.htm"), QStringLiteral("*.html")},
                              false,
                              m_settings.DocumentRoot};
    const QString fullPath = m_prompts.openFile(this, request);
    const QString bareName = QFileInfo(fullPath).fileName();
    if (fullPath.isEmpty() || bareName.isEmpty())
        return;
    QString root = mdlStringFunctions::LeftOfLast(fullPath, bareName, Qt::CaseSensitive, false);
    // One separator goes: a file at the root of the file system gives the
    // empty text, as the root's own folder name is empty.
    if (root.endsWith(QLatin1Char('/')) || root.endsWith(QLatin1Char('\\')))
        root.chop(1);
    m_settings.DocumentRoot = root;
    m_server.SetDocumentRoot(root);
    txtHtdocs->setText(root);
}

void FrmOpts::cmdLoadMarlekClick()
{
    const FileRequest request{QStringLiteral("Import Marlek Key File"),
                              QStringLiteral("Marlek key files (*.key)"),
                              {QStringLiteral("*.key")},
                              true,
                              QString()};
    const QString path = m_prompts.openFile(this, request);
    if (path.isEmpty())
        return;
    // The import fills a table of its own, which then replaces the one in
    // use whole, also when it failed part-way (what it read so far counts).
    // The list keeps showing what it showed then; the next opening lists the
    // table as it is. The file is followed from now on, also after a failed
    // import: the user's fix to it is then picked up by itself.
    keys::KeyBindings table;
    const auto error = keys::ImportKeyFile(path, table);
    keys::KeepOwnHolds(*m_keys.bindings(), table);
    m_keys.replaceBindings(std::move(table));
    m_settings.KeyFile = path;
    Q_EMIT keyFileImported(path);
    if (error) {
        m_prompts.message(this, ProgramTitle,
                          QStringLiteral("An error occured: Error #") + QString::number(error->number)
                              + QStringLiteral(". ") + error->description);
        return;
    }
    RefreshList();
}

bool FrmOpts::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ListView1->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::RightButton)
            listRightButtonUp(mouse->position().toPoint(), mouse->globalPosition().toPoint());
    }
    return QDialog::eventFilter(watched, event);
}

void FrmOpts::listRightButtonUp(const QPoint &pos, const QPoint &globalPos)
{
    m_selectedCallback.clear();
    const QTreeWidgetItem *row = ListView1->itemAt(pos);
    if (!row)
        return;
    m_selectedCallback = row->text(0);
    m_prompts.popupMenu(this, mnupopup1, globalPos);
}

void FrmOpts::mnucopycallbackClick()
{
    if (!m_selectedCallback.isEmpty())
        QGuiApplication::clipboard()->setText(m_selectedCallback);
}

} // namespace vanterel::config
