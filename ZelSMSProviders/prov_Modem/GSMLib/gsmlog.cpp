#include "gsmlog.h"

#include "logcategories.h"

#include <QDebug>
#include <QString>

namespace {

// Each modem works in the thread of its provider; the scope is that thread's.
thread_local const QString *currentOrigin = nullptr;

// The end of a line: the origin, if any, after QDebug's own separating space.
struct Origin
{
};

QDebug operator<<(QDebug line, Origin)
{
    if (currentOrigin && !currentOrigin->isEmpty())
        line.noquote() << currentOrigin->trimmed();
    return line;
}

} // namespace

GsmLogOrigin::GsmLogOrigin(const QString &origin) : m_previous(currentOrigin)
{
    currentOrigin = &origin;
}

GsmLogOrigin::~GsmLogOrigin()
{
    currentOrigin = m_previous;
}

void G_LOG(LoggingSeverity severity, const std::string &text)
{
    // QDebug's string quoting is how the host's log has always shown these.
    const QString message = QString::fromUtf8(text.data(), int(text.size()));
    switch (int(severity)) {
    case LS_VERBOSE:
    case LS_INFO:
        qCDebug(lcModemAt) << message << Origin();
        break;
    case LS_WARNING:
        qCWarning(lcModemAt) << message << Origin();
        break;
    case LS_ERROR:
    case LS_CRITICAL:
        qCCritical(lcModemAt) << message << Origin();
        break;
    default:
        break;
    }
}
