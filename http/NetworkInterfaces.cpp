#include "http/NetworkInterfaces.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace vanterel::http {

QStringList LocalIPv4Addresses()
{
    QStringList addresses;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nif : interfaces) {
        const auto flags = nif.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = nif.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress addr = entry.ip();
            if (addr.protocol() == QAbstractSocket::IPv4Protocol && !addr.isLoopback())
                addresses.append(addr.toString());
        }
    }
    return addresses;
}

QString LocalIP()
{
    const QStringList addresses = LocalIPv4Addresses();
    return addresses.isEmpty() ? QStringLiteral("127.0.0.1") : addresses.front();
}

} // namespace vanterel::http
