#pragma once

#include <QTcpServer>

namespace vanterel::testing {

inline qint32 freePort() // one the system picks, nobody listening on it now
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace vanterel::testing
