#include "simpinguard.h"

#include "gsmlog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int SaltBytes = 16;
constexpr int HashHexChars = 64;
// The state is three short lines; anything longer is not ours.
constexpr int MaxStateBytes = 256;

bool isHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The folder's entry must reach the disk too: a rename or an unlink that a
// power cut undoes would bring back the old count.
bool syncFolder(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Writes data to path so that after a crash or a power cut the path holds
// either the old content or the new one, never a part of it.
bool replaceDurably(const QString &path, const QByteArray &data, QString *error)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // 0600, never an existing file
    if (fd < 0) {
        *error = lastError();
        return false;
    }
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    bool ok = written == data.size() && ::fsync(fd) == 0;
    if (!ok)
        *error = written == data.size() ? lastError() : QStringLiteral("запись не завершена");
    if (::close(fd) != 0 && ok) {
        *error = lastError();
        ok = false;
    }
    // rename() replaces a link planted at path by the file itself, so nothing
    // is ever written through a link.
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        *error = lastError();
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    if (!syncFolder(dir)) {
        *error = lastError();
        return false;
    }
    return true;
}
} // namespace

void SimPinGuard::setStatePath(const QString &path)
{
    m_path = path;
    m_distrust.clear();
    m_salt.clear();
    m_refusedHash.clear();
    m_refusals = 0;
    if (!path.isEmpty())
        load();
}

void SimPinGuard::load()
{
    const QByteArray name = QFile::encodeName(m_path);
    // Non-blocking: a FIFO put in its place must not hang the provider.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return;
        m_distrust = errno == ELOOP ? QStringLiteral("символическая ссылка")
                                    : QStringLiteral("не открывается: ") + lastError();
        return;
    }
    struct stat st = {};
    QByteArray content(MaxStateBytes + 1, '\0');
    ssize_t n = -1;
    if (::fstat(fd, &st) != 0)
        m_distrust = QStringLiteral("не читается: ") + lastError();
    else if (!S_ISREG(st.st_mode))
        m_distrust = QStringLiteral("не обычный файл");
    else if (st.st_uid != ::geteuid())
        m_distrust = QStringLiteral("владелец не учётная запись службы (uid %1)").arg(st.st_uid);
    else if ((n = ::read(fd, content.data(), size_t(content.size()))) < 0)
        m_distrust = QStringLiteral("не читается: ") + lastError();
    ::close(fd);
    if (!m_distrust.isEmpty())
        return;
    content.truncate(int(n));
    if (!parse(content)) {
        m_salt.clear();
        m_refusedHash.clear();
        m_refusals = 0;
        m_distrust = content.isEmpty() ? QStringLiteral("пуст") : QStringLiteral("повреждён");
    }
}

// Three lines as save() writes them: salt, hash of the refused PIN (may be
// empty), refusals.
bool SimPinGuard::parse(const QByteArray &content)
{
    if (content.size() > MaxStateBytes || !content.endsWith('\n'))
        return false;
    const QList<QByteArray> lines = content.split('\n');
    if (lines.size() != 4)
        return false;
    bool isNumber = false;
    const int refusals = lines.at(2).toInt(&isNumber);
    if (!isHex(lines.at(0), SaltBytes * 2) ||
        !(lines.at(1).isEmpty() || isHex(lines.at(1), HashHexChars)) || !isNumber || refusals < 0 ||
        refusals > SimTries || lines.at(2) != QByteArray::number(refusals))
        return false;
    m_salt = QByteArray::fromHex(lines.at(0));
    m_refusedHash = lines.at(1);
    m_refusals = refusals;
    return true;
}

QByteArray SimPinGuard::hashOf(const QString &pin) const
{
    return QCryptographicHash::hash(m_salt + pin.toUtf8(), QCryptographicHash::Sha256).toHex();
}

void SimPinGuard::setPin(const QString &pin)
{
    if (!m_refusedHash.isEmpty() && !isRefused(pin)) {
        m_refusedHash.clear();
        save();
    }
}

bool SimPinGuard::isRefused(const QString &pin) const
{
    return !m_refusedHash.isEmpty() && hashOf(pin) == m_refusedHash;
}

void SimPinGuard::pinAttempted(const QString &pin)
{
    if (m_salt.isEmpty()) {
        m_salt.resize(SaltBytes);
        for (char &c : m_salt)
            c = char(QRandomGenerator::system()->bounded(256));
    }
    m_refusedHash = hashOf(pin);
    m_refusals = qMin(SimTries, m_refusals + 1);
    save();
}

void SimPinGuard::simReady()
{
    if (m_refusedHash.isEmpty() && m_refusals == 0)
        return;
    m_refusedHash.clear();
    m_refusals = 0;
    save();
}

void SimPinGuard::save() const
{
    // A state that cannot be trusted stays for the administrator to look at.
    if (m_path.isEmpty() || !isTrusted())
        return;
    QString error;
    if (m_refusedHash.isEmpty() && m_refusals == 0) {
        const QByteArray name = QFile::encodeName(m_path);
        if ((::unlink(name.constData()) == 0 || errno == ENOENT) &&
            syncFolder(QFile::encodeName(QFileInfo(m_path).absolutePath())))
            return;
        error = lastError();
    } else {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        // A lost record would let the next start spend one more of the SIM's tries.
        if (replaceDurably(m_path,
                           m_salt.toHex() + '\n' + m_refusedHash + '\n' +
                               QByteArray::number(m_refusals) + '\n',
                           &error))
            return;
    }
    G_LOG(LS_ERROR, "[SimPinGuard]: не удалось сохранить состояние PIN в " + m_path.toStdString() +
                        ": " + error.toStdString());
}
