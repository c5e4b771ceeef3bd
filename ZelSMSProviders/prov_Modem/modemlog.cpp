#include "modemlog.h"

#include <QDebug>

namespace ModemLog {

void write(QtMsgType type, const QString &text)
{
    switch (type) {
    case QtDebugMsg:
        qDebug().noquote() << text;
        break;
    case QtInfoMsg:
        qInfo().noquote() << text;
        break;
    case QtWarningMsg:
        qWarning().noquote() << text;
        break;
    default:
        qCritical().noquote() << text;
        break;
    }
}

} // namespace ModemLog
