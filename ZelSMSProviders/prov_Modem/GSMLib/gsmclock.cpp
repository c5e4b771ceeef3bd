#include "gsmclock.h"

#include <QDateTime>

namespace {
std::function<qint64()> &source()
{
    static std::function<qint64()> s;
    return s;
}
} // namespace

qint64 GsmClock::nowMs()
{
    const auto &s = source();
    return s ? s() : QDateTime::currentMSecsSinceEpoch();
}

void GsmClock::setSource(std::function<qint64()> s)
{
    source() = std::move(s);
}
