#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <mutex>
#include <set>

// On a shared network (a flat, a club, a guest Wi-Fi) every device can reach
// the program's port. When the user asks for it, only the devices they
// approved press keys: a new device is refused and the user is asked once;
// scanning the connect window's QR code approves the scanning device, since
// its URL carries a one-time code that only someone who sees the screen has.
//
// Shared by the network thread, which checks and pairs, and the window, which
// approves, forgets and switches the mode; each call holds the lock only for
// a look-up in a small set.
namespace vanterel::http {

class DeviceAccess {
public:
    // Told on the calling thread (the network thread, for asks), outside the lock.
    using AskObserver = std::function<void(const QString &address)>;
    using ChangeObserver = std::function<void()>;

    DeviceAccess(bool onlyApproved, const QStringList &approved);
    DeviceAccess(const DeviceAccess &) = delete;
    DeviceAccess &operator=(const DeviceAccess &) = delete;

    // Before any other thread calls in.
    void setObservers(AskObserver ask, ChangeObserver changed);

    bool onlyApproved() const;
    void setOnlyApproved(bool on);
    // In the order they were approved.
    QStringList approved() const;
    void approve(const QString &address);
    // Refused from now on without asking again, until it is approved or the
    // program starts again.
    void deny(const QString &address);
    void forget(const QString &address);

    // The query of the connect window's URL: ".pair=" and the current code,
    // 16 hexadecimal digits from the system's random source. Made anew once
    // a device has used it.
    QString pairingQuery() const;
    static bool isPairingQuery(QStringView command);

    enum class Verdict {
        Allowed,     // press the keys
        Paired,      // the query was the current code: the device is approved now
        StaleCode,   // a pairing query with another code: nothing happens
        NotApproved, // refused; the user was asked when this device is new to them
    };
    // For a command from the device at address (as the socket gives it; an
    // IPv4 address mapped into IPv6 is the IPv4 address).
    Verdict check(const QString &address, QStringView command);

    // The address as devices are kept: an IPv4 address mapped into IPv6 is
    // written as the IPv4 address, an IPv6 address in its shortest form.
    static QString normalized(const QString &address);

private:
    void notifyChanged();

    mutable std::mutex m_mutex;
    bool m_onlyApproved;
    QStringList m_approved;
    std::set<QString> m_asked; // asked about or denied in this run
    QString m_code;
    AskObserver m_ask;
    ChangeObserver m_changed;
};

} // namespace vanterel::http
