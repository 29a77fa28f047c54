#pragma once

#include <QTcpServer>

namespace vanterel::testing {

// A port nobody listens on right now, picked by the system.
inline qint32 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace vanterel::testing
