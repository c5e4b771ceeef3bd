#include "syslogwriter.h"

#include "servicepaths.h"

#include <syslog.h>

SyslogWriter::SyslogWriter(const QString &serviceName) : m_ident(identFor(serviceName).toUtf8())
{
    ::openlog(m_ident.constData(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

SyslogWriter::~SyslogWriter()
{
    ::closelog();
}

QString SyslogWriter::identFor(const QString &serviceName)
{
    return ServicePaths::baseName(serviceName);
}

int SyslogWriter::syslogPriority(Priority priority)
{
    switch (priority) {
    case Priority::Warning:
        return LOG_WARNING;
    case Priority::Error:
        return LOG_ERR;
    case Priority::Information:
        break;
    }
    return LOG_INFO;
}

void SyslogWriter::write(Priority priority, const QString &text)
{
    QByteArray line = text.toUtf8();
    while (line.endsWith('\n'))
        line.chop(1);
    // Always through "%s": the text may contain '%' from a gateway's reply.
    ::syslog(LOG_DAEMON | syslogPriority(priority), "%s", line.constData());
}
