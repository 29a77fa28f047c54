#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace vanterel {

// The settings every part of the program reads. One object, owned by the main
// window and handed by reference to whoever needs it, so that a test can build
// its own without touching anything global.
struct Settings {
    qint32 ServerPort = 80;
    QString DocumentRoot;
    QString TargetWindowTitle = QStringLiteral("Marlek ORS");
    // Folder of the executable, always ending in '/'.
    QString AppFolder;
    // Value of every "Server: " header.
    QString ServerSignature;
    // Run commands from pages of other sites too: for a panel hosted on
    // another server. Off unless keys.dat holds the record SITES with "any".
    bool AllowOtherSites = false;
    // Names under which devices reach this machine besides its own (a name
    // given to it in the router, say): the HOSTS record.
    QStringList HostNames;
    // Only the approved devices press keys (the DEVICES record: "only", then
    // the approved addresses).
    bool OnlyApprovedDevices = false;
    QStringList ApprovedDevices;
    // How long a tap keeps its key down, in milliseconds, for a binding
    // without a hold of its own (the HOLD record); 0 when keys.dat sets none
    // and the injector's own hold applies.
    qint32 TapHoldMs = 0;
    // The key file last imported, which the program watches and imports
    // again when it changes (the KEYFILE record); empty for none.
    QString KeyFile{};
};

} // namespace vanterel
