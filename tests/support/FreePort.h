#pragma once

#include <QTcpServer>

namespace vanterel::testing {

// A port nobody listens on right now, picked by the system.
inline qint32 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace vanterel::testing
