#include "gsmlog.h"

#include "logcategories.h"

#include <QDebug>
#include <QString>

void G_LOG(LoggingSeverity severity, const std::string &text)
{
    // QDebug's string quoting is how the host's log has always shown these.
    const QString message = QString::fromUtf8(text.data(), int(text.size()));
    switch (int(severity)) {
    case LS_VERBOSE:
    case LS_INFO:
        qCDebug(lcModemAt) << message;
        break;
    case LS_WARNING:
        qCWarning(lcModemAt) << message;
        break;
    case LS_ERROR:
    case LS_CRITICAL:
        qCCritical(lcModemAt) << message;
        break;
    default:
        break;
    }
}
