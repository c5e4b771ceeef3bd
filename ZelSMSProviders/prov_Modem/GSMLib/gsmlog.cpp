#include "gsmlog.h"

#include <QDebug>
#include <QString>

void G_LOG(LoggingSeverity severity, const std::string &text)
{
    // QDebug's string quoting is how the host's log has always shown these.
    const QString message = QString::fromUtf8(text.data(), int(text.size()));
    switch (int(severity)) {
    case LS_VERBOSE:
    case LS_INFO:
        qDebug() << message;
        break;
    case LS_WARNING:
        qWarning() << message;
        break;
    case LS_ERROR:
    case LS_CRITICAL:
        qCritical() << message;
        break;
    default:
        break;
    }
}
