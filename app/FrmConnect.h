#pragma once

#include "http/NetworkInterfaces.h"

#include <QImage>
#include <QStringList>
#include <QWidget>

#include <functional>

class QLabel;
class QScrollArea;

namespace vanterel::app {

// The addresses at which devices of the network may reach this computer.
using AddressSource = std::function<QStringList()>;

// The text as a QR code, black on white, ready to be scanned off a screen:
// a whole number of pixels to a module, a quiet zone of four modules around
// it, and at least minimumSize pixels square. Null when the text does not fit.
QImage QrCodeImage(const QString &text, int minimumSize);

// "Connect a tablet": every address at which the server can be reached, as a
// URL in large text and as a QR code that a phone's camera opens. The
// address of the listening line comes first; the others follow in the order
// the address source gives them.
class FrmConnect final : public QWidget {
    Q_OBJECT

public:
    explicit FrmConnect(QWidget *parent = nullptr, AddressSource addresses = http::LocalIPv4Addresses);

    // Where the server listens: its port and the address its listening line
    // names. An empty address means that it does not listen.
    void setServer(qint32 port, const QString &listeningAddress);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void rebuild();

    AddressSource m_addresses;
    qint32 m_port = 0;
    QString m_listeningAddress;
    QScrollArea *m_scroll;
};

} // namespace vanterel::app
