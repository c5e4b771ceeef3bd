#include "deliveryrouter.h"

#include "icommonsmsinterface.h"

#include <cstddef>
#include <functional>
#include <string_view>

// Which path may have a record now: the paths that run, their tiers and
// pauses, and the choice inside a tier (the least work, or a repeat's twin).

namespace {

// A provider that names no retry pause of its own pauses this long.
constexpr int DefaultPauseS = 60;

} // namespace

bool DeliveryRouter::running(int path) const
{
    if (path < 0 || path >= pathCount())
        return false;
    const Provider &p = provider(path);
    return p.loaded() && (!p.tracked || p.tracked->isRunning());
}

bool DeliveryRouter::anyRunning() const
{
    for (int path = 0; path < pathCount(); ++path)
        if (running(path))
            return true;
    return false;
}

int DeliveryRouter::pauseMs(int path) const
{
    const int s =
        provider(path).loaded() ? provider(path).sms->parameter(ParamRetryPause).toInt() : 0;
    return (s > 0 ? s : DefaultPauseS) * 1000;
}

quint64 DeliveryRouter::tierPaths(int tier) const
{
    quint64 bits = 0;
    for (int path = 0; path < pathCount(); ++path)
        if (m_paths[size_t(path)].tier == tier)
            bits |= bit(path);
    return bits;
}

quint64 DeliveryRouter::pathsAfterTier(int tier) const
{
    quint64 bits = 0;
    for (int path = 0; path < pathCount(); ++path)
        if (m_paths[size_t(path)].tier > tier)
            bits |= bit(path);
    return bits;
}

int DeliveryRouter::pathFor() const
{
    const Route any;
    return pathFor(any);
}

StationAdmission::Receiver::Taker DeliveryRouter::takerOfNew() const
{
    const int path = pathFor();
    if (path == NoPath)
        return Taker();
    return Taker{provider(path).id, group(path)};
}

bool DeliveryRouter::mayHave(int path, const Route &route, qint64 now) const
{
    const quint64 b = bit(path);
    if (!running(path) || (route.refused & b) || failPaused(path, now))
        return false;
    if (path < route.heldUntil.size() && now < route.heldUntil.at(path))
        return false;
    // Never back where its report was lost, while another path could take it.
    return !(route.lost & b) || !(m_loaded & ~route.lost);
}

quint64 DeliveryRouter::contentKey(const SMSMessage &msg)
{
    static_assert(offsetof(SMSMessage, text) == SMSMessage::PhoneSize, "phone and text adjacent");
    return std::hash<std::string_view>{}(
        std::string_view(msg.phone, SMSMessage::PhoneSize + SMSMessage::TextSize));
}

int DeliveryRouter::twinPath(const Route &route, qint64 now) const
{
    if (!m_manyPaths || m_twins.isEmpty())
        return NoPath;
    const auto twin = m_routes.constFind(m_twins.value(contentKey(route.msg), -1));
    if (twin == m_routes.cend() || &*twin == &route || twin->delivered || !twin->at ||
        !SmsText::sameMessage(twin->msg, route.msg))
        return NoPath;
    for (int path = 0; path < pathCount(); ++path)
        if ((twin->at & bit(path)) && mayHave(path, route, now))
            return path;
    return NoPath;
}

void DeliveryRouter::noteTwin(qint64 id, const Route &route)
{
    if (!m_manyPaths)
        return;
    if (m_twins.size() > 2 * m_routes.size() + 1024)
        for (auto it = m_twins.begin(); it != m_twins.end();) {
            if (m_routes.contains(it.value()))
                ++it;
            else
                it = m_twins.erase(it);
        }
    m_twins.insert(contentKey(route.msg), id);
}

int DeliveryRouter::pathFor(const Route &route, int fromTier) const
{
    const qint64 now = nowMs();
    const int twin = twinPath(route, now);
    for (int tier = fromTier; tier < m_tierCount; ++tier) {
        // Identical requests go out once: a repeat joins its twin's path.
        if (twin != NoPath && m_paths[size_t(twin)].tier == tier)
            return twin;
        int best = NoPath;
        for (int path = 0; path < pathCount(); ++path)
            if (m_paths[size_t(path)].tier == tier && mayHave(path, route, now) &&
                (best == NoPath || m_paths[size_t(path)].load < m_paths[size_t(best)].load))
                best = path;
        if (best != NoPath)
            return best;
    }
    return NoPath;
}
