#include "syslogwriter.h"

#include "servicepaths.h"

#include <sys/stat.h>
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
    case Priority::Debug:
        return LOG_DEBUG;
    case Priority::Warning:
        return LOG_WARNING;
    case Priority::Error:
        return LOG_ERR;
    case Priority::Critical:
        return LOG_CRIT;
    case Priority::Information:
        break;
    }
    return LOG_INFO;
}

bool SyslogWriter::daemonListening()
{
    // While nothing listens on /dev/log (containers), glibc tries to connect
    // again on every call: a socket, a failed connect and a close per log
    // line, which showed in the station link's latency under load. Look for
    // the socket at most every few seconds instead.
    if (!m_sinceCheck.isValid() || m_sinceCheck.elapsed() > 5000) {
        struct stat st;
        m_listening = ::stat("/dev/log", &st) == 0 && S_ISSOCK(st.st_mode);
        m_sinceCheck.start();
    }
    return m_listening;
}

void SyslogWriter::write(Priority priority, const QString &text)
{
    if (!daemonListening())
        return;
    QByteArray line = text.toUtf8();
    while (line.endsWith('\n'))
        line.chop(1);
    // Always through "%s": the text may contain '%' from a gateway's reply.
    ::syslog(LOG_DAEMON | syslogPriority(priority), "%s", line.constData());
}
