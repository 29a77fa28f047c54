#pragma once

#include <QString>
#include <QStringList>

// Where devices of the local network can reach this host. The listener takes
// every address; these are the ones worth showing to a user.
namespace vanterel::http {

// The IPv4 addresses at which devices of the network may reach this host:
// those of every interface that is up, running and not the loopback.
QStringList LocalIPv4Addresses();

// The address a browser on the local network would use to reach this host:
// the first of LocalIPv4Addresses(), else the loopback address.
QString LocalIP();

} // namespace vanterel::http
