#include "http/DeviceAccess.h"

#include <QHostAddress>
#include <QRandomGenerator>

namespace vanterel::http {

namespace {

constexpr QStringView PairingPrefix = u".pair=";

QString newCode()
{
    // 64 bits: a guess per request would take a network centuries.
    return QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

} // namespace

DeviceAccess::DeviceAccess(bool onlyApproved, const QStringList &approved)
    : m_onlyApproved(onlyApproved)
    , m_code(newCode())
{
    for (const QString &address : approved) {
        const QString device = normalized(address);
        if (!device.isEmpty() && !m_approved.contains(device))
            m_approved.append(device);
    }
}

void DeviceAccess::setObservers(AskObserver ask, ChangeObserver changed)
{
    m_ask = std::move(ask);
    m_changed = std::move(changed);
}

QString DeviceAccess::normalized(const QString &address)
{
    const QHostAddress parsed(address.trimmed());
    if (parsed.isNull())
        return {};
    bool isV4 = false;
    const quint32 v4 = parsed.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : parsed.toString();
}

bool DeviceAccess::onlyApproved() const
{
    const std::lock_guard lock(m_mutex);
    return m_onlyApproved;
}

void DeviceAccess::setOnlyApproved(bool on)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_onlyApproved == on)
            return;
        m_onlyApproved = on;
    }
    notifyChanged();
}

QStringList DeviceAccess::approved() const
{
    const std::lock_guard lock(m_mutex);
    return m_approved;
}

void DeviceAccess::approve(const QString &address)
{
    const QString device = normalized(address);
    {
        const std::lock_guard lock(m_mutex);
        if (device.isEmpty() || m_approved.contains(device))
            return;
        m_approved.append(device);
        m_asked.erase(device);
    }
    notifyChanged();
}

void DeviceAccess::deny(const QString &address)
{
    const std::lock_guard lock(m_mutex);
    m_asked.insert(normalized(address));
}

void DeviceAccess::forget(const QString &address)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_approved.removeOne(normalized(address)))
            return;
    }
    notifyChanged();
}

QString DeviceAccess::pairingQuery() const
{
    const std::lock_guard lock(m_mutex);
    return PairingPrefix.toString() + m_code;
}

bool DeviceAccess::isPairingQuery(QStringView command)
{
    return command.startsWith(PairingPrefix);
}

DeviceAccess::Verdict DeviceAccess::check(const QString &address, QStringView command)
{
    const QString device = normalized(address);
    bool ask = false;
    Verdict verdict = Verdict::Allowed;
    {
        const std::lock_guard lock(m_mutex);
        if (isPairingQuery(command)) {
            if (command.mid(PairingPrefix.size()) != m_code || device.isEmpty())
                return Verdict::StaleCode;
            m_code = newCode(); // once only: a photo of the screen pairs nobody later
            if (!m_approved.contains(device))
                m_approved.append(device);
            m_asked.erase(device);
            verdict = Verdict::Paired;
        } else if (m_onlyApproved && !m_approved.contains(device)) {
            ask = m_asked.insert(device).second;
            verdict = Verdict::NotApproved;
        }
    }
    if (ask && m_ask)
        m_ask(device);
    if (verdict == Verdict::Paired)
        notifyChanged();
    return verdict;
}

void DeviceAccess::notifyChanged()
{
    if (m_changed)
        m_changed();
}

} // namespace vanterel::http
