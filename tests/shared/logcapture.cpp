#include "logcapture.h"

namespace {
LogCapture *current = nullptr;
}

LogCapture::LogCapture(Echo echo) : m_echo(echo), m_outer(current)
{
    current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    current = m_outer;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (current)
        current->take(type, context, text);
}

void LogCapture::take(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool passOnOnly = m_passedOnOnly.contains(type);
    if (!passOnOnly)
        m_entries.append({type, text});
    if (m_echo == Quiet && !passOnOnly)
        return;
    // The handler before this one is the outer capture's when they nest.
    if (m_previous == &LogCapture::handler && m_outer)
        m_outer->take(type, context, text);
    else if (m_previous)
        m_previous(type, context, text);
}

QStringList LogCapture::messages() const
{
    QStringList out;
    for (const Entry &e : m_entries)
        out << e.second;
    return out;
}

QStringList LogCapture::messages(QtMsgType type) const
{
    QStringList out;
    for (const Entry &e : m_entries)
        if (e.first == type)
            out << e.second;
    return out;
}

bool LogCapture::contains(QtMsgType type, const QString &text) const
{
    return count(text, type) > 0;
}

int LogCapture::count(const QString &part) const
{
    int n = 0;
    for (const Entry &e : m_entries)
        n += e.second.contains(part) ? 1 : 0;
    return n;
}

int LogCapture::count(const QString &part, QtMsgType type) const
{
    int n = 0;
    for (const Entry &e : m_entries)
        n += e.first == type && e.second.contains(part) ? 1 : 0;
    return n;
}
