#include "instancelock.h"

#include "logcategories.h"
#include "spool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstanceLock::~InstanceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

qint64 InstanceLock::readPid(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char buffer[32] = {};
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    return got > 0 ? QByteArray(buffer, int(got)).trimmed().toLongLong() : 0;
}

QString InstanceLock::defaultPath()
{
    return QFileInfo(Spool::defaultPath()).absolutePath() + QStringLiteral("/service.lock");
}

bool InstanceLock::acquire(const QString &path)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        m_error = QStringLiteral("cannot create the folder %1").arg(dir);
        return false;
    }
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    // The lock that counts is on the folder itself: a file in it can be
    // removed under a running service, and the next one would lock a new
    // file of the same name beside the first. The folder holds the spool,
    // so it cannot go while the service has anything to lose. A folder that
    // cannot be opened leaves the file's lock alone, as before.
    const int dirFd =
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0 && ::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(dirFd);
        if (err == EWOULDBLOCK) {
            m_held = true;
            m_holderPid = readPid(path);
            m_error = QStringLiteral("cannot lock %1: %2")
                          .arg(dir, QString::fromLocal8Bit(strerror(err)));
            return false;
        }
    } else if (dirFd >= 0) {
        m_dirFd = dirFd;
    }
    // Close-on-exec: the restart copy the service launches must not inherit
    // the lock and keep it after this process has gone.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error =
            QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Held by a service that locks only the file (an older version).
        const int err = errno;
        ::close(fd);
        m_holderPid = readPid(path);
        m_held = err == EWOULDBLOCK;
        m_error =
            QStringLiteral("cannot lock %1: %2").arg(path, QString::fromLocal8Bit(strerror(err)));
        return false;
    }
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock itself holds; only the pid for a refusal message is missing.
        qCWarning(lcService, "[InstanceLock]: cannot write the pid into %s: %s", qPrintable(path),
                  strerror(errno));
    }
    m_fd = fd;
    return true;
}
