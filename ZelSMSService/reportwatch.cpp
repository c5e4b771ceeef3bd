#include "reportwatch.h"

#include <QTimer>

ReportWatch::ReportWatch(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_clock.start();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &ReportWatch::check);
}

void ReportWatch::watch(qint64 id, int role)
{
    if (m_waiting.contains(id))
        return;
    const qint64 due = m_clock.elapsed() + m_timeoutMs;
    m_waiting.insert(id, Waiting{role, due});
    // Every record waits the same time, so deadlines come in order.
    m_deadlines.emplace_back(due, id);
    if (m_deadlines.size() == 1)
        arm();
}

bool ReportWatch::take(qint64 id, int *role)
{
    const auto it = m_waiting.constFind(id);
    if (it == m_waiting.constEnd())
        return false;
    if (role)
        *role = it->role;
    m_waiting.erase(it);
    return true; // its deadline is skipped when it comes
}

void ReportWatch::clear()
{
    m_waiting.clear();
    m_deadlines.clear();
    m_timer->stop();
}

void ReportWatch::arm()
{
    if (m_deadlines.empty())
        return;
    // Bounded: a timer of more than 24 days would overflow; checking again
    // in an hour costs nothing.
    const qint64 wait = qBound<qint64>(0, m_deadlines.front().first - m_clock.elapsed(), 3600000);
    m_timer->start(int(wait));
}

void ReportWatch::check()
{
    const qint64 now = m_clock.elapsed();
    // Bounded by the deadlines present now; a slot that watches again adds
    // to the back and waits for the next pass.
    for (std::size_t n = m_deadlines.size(); n > 0 && !m_deadlines.empty(); --n) {
        if (m_deadlines.front().first > now)
            break;
        const auto [due, id] = m_deadlines.front();
        m_deadlines.pop_front();
        const auto it = m_waiting.constFind(id);
        if (it == m_waiting.constEnd() || it->dueMs != due)
            continue; // answered, or waiting again since
        const int role = it->role;
        m_waiting.erase(it);
        emit timedOut(id, role);
    }
    arm();
}
