#include "app/FrmConnect.h"

#include "common/CoolIcon.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtMath>
#include <qrencode.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace vanterel::app {

namespace {
// Readers need four light modules around the code to find it.
constexpr int QuietZoneModules = 4;
// Large enough for a phone camera at arm's length from the screen.
constexpr int QrMinimumSize = 240;
} // namespace

QImage QrCodeImage(const QString &text, int minimumSize)
{
    const QByteArray bytes = text.toUtf8();
    // Level M: a smudged screen or a glare still reads, and a URL stays a
    // small code with large modules.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code)
        return {};
    const int modules = code->width + 2 * QuietZoneModules;
    const int scale = std::max(1, (minimumSize + modules - 1) / modules);
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1)) // bit 0: a dark module
                continue;
            for (int row = 0; row < scale; ++row) {
                uchar *line = image.scanLine((y + QuietZoneModules) * scale + row);
                std::memset(line + std::ptrdiff_t{x + QuietZoneModules} * scale, 0, std::size_t(scale));
            }
        }
    }
    return image;
}

FrmConnect::FrmConnect(QWidget *parent, AddressSource addresses)
    : QWidget(parent, Qt::Dialog)
    , m_addresses(std::move(addresses))
    , m_scroll(new QScrollArea(this))
    , chkOnlyAllowed(new QCheckBox(u"Only devices I allow press keys"_s, this))
    , lstDevices(new QListWidget(this))
    , cmdForget(new QPushButton(u"Forget"_s, this))
{
    setObjectName(u"FrmConnect"_s);
    setWindowTitle(u"Connect a tablet"_s);
    CoolIcon::SetWindowIcons(this, u"DEF"_s);
    auto *hint
        = new QLabel(u"Open this address in the tablet's browser, or point its camera at the code."_s, this);
    hint->setWordWrap(true);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    chkOnlyAllowed->setObjectName(u"chkOnlyAllowed"_s);
    chkOnlyAllowed->setEnabled(false);
    lstDevices->setObjectName(u"lstDevices"_s);
    lstDevices->setMaximumHeight(100);
    cmdForget->setObjectName(u"cmdForget"_s);
    cmdForget->setEnabled(false);
    connect(chkOnlyAllowed, &QCheckBox::toggled, this, [this](bool on) {
        if (m_devices)
            m_devices->setOnlyApproved(on);
    });
    connect(lstDevices, &QListWidget::itemSelectionChanged, this,
            [this] { cmdForget->setEnabled(!lstDevices->selectedItems().isEmpty()); });
    connect(cmdForget, &QPushButton::clicked, this, [this] {
        for (const QListWidgetItem *item : lstDevices->selectedItems())
            m_devices->forget(item->text());
    });
    auto *devices = new QHBoxLayout;
    devices->addWidget(lstDevices, 1);
    devices->addWidget(cmdForget, 0, Qt::AlignTop);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addWidget(m_scroll, 1);
    layout->addWidget(chkOnlyAllowed);
    layout->addLayout(devices);
}

void FrmConnect::setDevices(http::DeviceAccess *devices)
{
    m_devices = devices;
    chkOnlyAllowed->setEnabled(m_devices != nullptr);
    devicesChanged();
}

void FrmConnect::devicesChanged()
{
    rebuildDevices();
    // The URLs carry the code, or stop carrying it.
    if (isVisible())
        rebuild();
}

void FrmConnect::rebuildDevices()
{
    const bool only = m_devices && m_devices->onlyApproved();
    const QSignalBlocker quiet(chkOnlyAllowed);
    chkOnlyAllowed->setChecked(only);
    lstDevices->clear();
    if (m_devices)
        lstDevices->addItems(m_devices->approved());
    lstDevices->setEnabled(only);
    cmdForget->setEnabled(false);
}

void FrmConnect::setServer(qint32 port, const QString &listeningAddress)
{
    m_port = port;
    m_listeningAddress = listeningAddress;
    if (isVisible())
        rebuild();
}

void FrmConnect::showEvent(QShowEvent *event)
{
    // Interfaces come and go (a Wi-Fi joined, a cable pulled): look again
    // each time the window opens.
    rebuild();
    QWidget::showEvent(event);
}

void FrmConnect::rebuild()
{
    QStringList addresses;
    if (!m_listeningAddress.isEmpty()) {
        addresses.append(m_listeningAddress);
        addresses.append(m_addresses());
        addresses.removeDuplicates();
    }

    auto *list = new QWidget;
    auto *rows = new QVBoxLayout(list);
    if (addresses.isEmpty()) {
        rows->addWidget(new QLabel(
            u"The server is not listening: see the event log, and set a free port in Options."_s, list));
    }
    const qreal ratio = devicePixelRatioF();
    QFont large = font();
    large.setPixelSize(28);
    large.setBold(true);
    for (const QString &address : std::as_const(addresses)) {
        // The user's own panel, and beside it the program's panel of every command.
        const QString base = u"http://%1:%2/"_s.arg(address).arg(m_port);
        const QString pairing = m_devices && m_devices->onlyApproved()
            ? u"?"_s + m_devices->pairingQuery() // opening either allows the device
            : QString();
        auto *row = new QHBoxLayout;
        const std::pair<QString, QString> links[]
            = {{base + pairing, u"Url"_s}, {base + u".vanterel/commands"_s + pairing, u"CommandsUrl"_s}};
        for (const auto &[url, name] : links) {
            auto *code = new QLabel(list);
            code->setObjectName(u"picQr"_s + name);
            // Drawn for the screen's own pixels, so that no module is smeared.
            QPixmap pixmap = QPixmap::fromImage(QrCodeImage(url, qCeil(QrMinimumSize * ratio)));
            pixmap.setDevicePixelRatio(ratio);
            code->setPixmap(pixmap);
            auto *text = new QLabel(url, list);
            text->setObjectName(u"lbl"_s + name);
            text->setFont(name == u"Url" ? large : font());
            text->setWordWrap(true);
            text->setTextInteractionFlags(Qt::TextSelectableByMouse);
            row->addWidget(code);
            row->addWidget(text, 1);
        }
        rows->addLayout(row);
    }
    rows->addStretch(1);
    m_scroll->setWidget(list); // deletes the previous list
    // As large as the codes need, up to most of the screen; scrolling beyond.
    const QSize wanted = list->sizeHint() + QSize(40, 60);
    const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect(0, 0, 1024, 768);
    resize(std::min(wanted.width(), screen.width() * 9 / 10),
           std::min(wanted.height(), screen.height() * 9 / 10));
}

} // namespace vanterel::app
