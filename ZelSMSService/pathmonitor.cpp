#include "pathmonitor.h"

#include "deliveryrouter.h"
#include "icommonsmsinterface.h"
#include "ismsoutcomeinterface.h"
#include "pcnudplink.h"

#include <QObject>
#include <QStringList>

namespace {

// The modem's device status word: bit 24 says it is valid, then whether the
// modem answered, its registration and its signal (see the modem provider).
constexpr quint32 WordValid = 1u << 24;
constexpr int Registered = 1;

QString notReadyReason(quint32 word)
{
    if (((word >> 16) & 0xff) == 0)
        return QStringLiteral("not answering");
    switch ((word >> 8) & 0xff) {
    case 0:
        return QStringLiteral("registration unknown");
    case 2:
        return QStringLiteral("no SIM");
    case 3:
        return QStringLiteral("searching");
    case 4:
        return QStringLiteral("registration refused");
    default:
        return QStringLiteral("not registered");
    }
}

} // namespace

const QStringList &PathMonitor::stateNames()
{
    static const QStringList names{QStringLiteral("working"), QStringLiteral("paused"),
                                   QStringLiteral("down"), QStringLiteral("not started"),
                                   QStringLiteral("not ready")};
    return names;
}

PathMonitor::State PathMonitor::classify(const Probe &p)
{
    if (!p.loaded)
        return {QStringLiteral("not started"), QString()};
    if (!p.running)
        return {QStringLiteral("down"), QString()};
    // A modem that runs but cannot send yet: its own word says why.
    if (p.hasWord && (p.word & WordValid) &&
        (((p.word >> 16) & 0xff) == 0 || int((p.word >> 8) & 0xff) != Registered))
        return {QStringLiteral("not ready"), notReadyReason(p.word)};
    if (p.status == StatusNoLink)
        return {QStringLiteral("down"), QString()};
    // Failed sends: the provider waits its pause before it tries again.
    if (p.status == StatusGatewayError)
        return {QStringLiteral("paused"), QString()};
    return {QStringLiteral("working"), QString()};
}

PathMonitor::Probe PathMonitor::probe(ICommonSmsInterface *sms)
{
    Probe p;
    if (!sms)
        return p;
    p.loaded = true;
    const auto *tracked = qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(sms));
    p.running = !tracked || tracked->isRunning();
    p.status = sms->providerStatus();
    p.word = sms->parameter(ParamDeviceStatus).toUInt(&p.hasWord);
    return p;
}

void PathMonitor::setPaths(const QVector<Path> &paths)
{
    m_paths = paths;
    m_states = QVector<State>(paths.size());
    m_station.clear();
}

void PathMonitor::note(const QString &path, const QString &provider, const State &state)
{
    m_router->spool().notePathChange(
        Spool::PathChange{path, provider, state.state, state.reason, Spool::now()});
    m_router->flushSoon();
}

void PathMonitor::serviceStarted()
{
    note(QString(), QString(), {QStringLiteral("service started"), QString()});
}

void PathMonitor::serviceStopped()
{
    note(QString(), QString(), {QStringLiteral("service stopped"), QString()});
}

bool PathMonitor::sample(const PcnUdpLink *link)
{
    bool changed = false;
    for (int i = 0; i < m_paths.size(); ++i) {
        const State now = classify(probe(m_paths.at(i).sms));
        if (now == m_states.at(i))
            continue;
        m_states[i] = now;
        note(m_paths.at(i).name, m_paths.at(i).provider, now);
        changed = true;
    }
    // The station counts as in contact from its first datagram on.
    if (link && (link->isLinkLost() || link->msSinceContact() >= 0)) {
        const QString now =
            link->isLinkLost() ? QStringLiteral("lost") : QStringLiteral("in contact");
        if (now != m_station) {
            m_station = now;
            note(QStringLiteral("station"), QString(), {now, QString()});
            changed = true;
        }
    }
    return changed;
}
