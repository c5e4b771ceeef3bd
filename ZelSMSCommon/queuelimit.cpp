#include "queuelimit.h"

#include "logcategories.h"

#include <QDebug>

QueueLimit::QueueLimit(const char *origin, int limit) : m_origin(origin), m_limit(limit)
{
}

void QueueLimit::refuse(qint64 nowMs)
{
    ++m_refusedSinceLog;
    if (m_logged && qAbs(nowMs - m_lastLogMs) < LogPeriodMs)
        return;
    qCCritical(lcProvider).noquote()
        << QStringLiteral("%1: очередь SMS заполнена (%2), новые SMS не "
                          "принимаются; отклонено с прошлого сообщения: %3")
               .arg(QString::fromLatin1(m_origin))
               .arg(m_limit)
               .arg(m_refusedSinceLog);
    m_logged = true;
    m_lastLogMs = nowMs;
    m_refusedSinceLog = 0;
}
