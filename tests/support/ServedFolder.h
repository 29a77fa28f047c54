#pragma once

#include "common/Settings.h"
#include "http/RequestHandler.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"

namespace vanterel::testing {

// The file server with its request handling over a folder, on a free port,
// logging into memory and pressing no keys.
struct ServedFolder {
    explicit ServedFolder(const QString &documentRoot)
    {
        settings.ServerPort = freePort();
        settings.DocumentRoot = documentRoot;
        settings.ServerSignature = QStringLiteral("Vanterel Version 1.1.0");
        handler.install();
    }

    Settings settings;
    RecordingLog log;
    http::Server server{settings, log};
    http::RequestHandler handler{server, settings, log, nullptr};
};

} // namespace vanterel::testing
