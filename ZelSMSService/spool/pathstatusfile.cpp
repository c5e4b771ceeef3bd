#include "pathstatusfile.h"

#include "bootclock.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The service writes a few hundred bytes per path; anything far larger is
// not its file, and is not read into memory whole.
constexpr qint64 MaxFileBytes = 1 << 20;

QString errnoText()
{
    return QString::fromLocal8Bit(strerror(errno));
}

QJsonObject pathJson(const PathStatus &p)
{
    QJsonObject o{
        {"tier", p.tier},         {"group", p.group},           {"provider", p.providerId},
        {"state", p.state},       {"status", p.providerStatus}, {"waiting", p.waiting},
        {"inFlight", p.inFlight}, {"delivered", p.delivered},   {"lastError", p.lastError}};
    if (p.hasWord)
        o.insert("deviceWord", qint64(p.word));
    return o;
}

bool isInteger(const QJsonValue &v, double min, double max)
{
    const double d = v.toDouble(-1.5);
    return v.isDouble() && d == double(qint64(d)) && d >= min && d <= max;
}

bool pathFromJson(const QJsonValue &value, PathStatus *p)
{
    const QJsonObject o = value.toObject();
    for (const char *key : {"group", "provider", "state", "lastError"})
        if (!o.value(key).isString())
            return false;
    for (const char *key : {"tier", "status", "waiting", "inFlight"})
        if (!isInteger(o.value(key), 0, 2147483647.0))
            return false;
    if (!isInteger(o.value("delivered"), 0, 9007199254740992.0))
        return false;
    const QJsonValue word = o.value("deviceWord");
    if (!word.isUndefined() && !isInteger(word, 0, 4294967295.0))
        return false;
    p->tier = o.value("tier").toInt();
    p->group = o.value("group").toString();
    p->providerId = o.value("provider").toString();
    p->state = o.value("state").toString();
    p->providerStatus = o.value("status").toInt();
    p->hasWord = !word.isUndefined();
    p->word = p->hasWord ? quint32(word.toDouble()) : 0;
    p->waiting = o.value("waiting").toInt();
    p->inFlight = o.value("inFlight").toInt();
    p->delivered = qint64(o.value("delivered").toDouble());
    p->lastError = o.value("lastError").toString();
    return true;
}

bool writeAll(int fd, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

bool PathStatus::operator==(const PathStatus &o) const
{
    return tier == o.tier && group == o.group && providerId == o.providerId && state == o.state &&
           providerStatus == o.providerStatus && hasWord == o.hasWord && word == o.word &&
           waiting == o.waiting && inFlight == o.inFlight && delivered == o.delivered &&
           lastError == o.lastError;
}

QString PathStatus::describeWord(quint32 word)
{
    // The layout the station reads: valid, answered, registration, signal.
    if (!(word & (1u << 24)))
        return QStringLiteral("no word");
    if (((word >> 16) & 0xff) == 0)
        return QStringLiteral("not answering");
    QString text;
    switch ((word >> 8) & 0xff) {
    case 0:
        text = QStringLiteral("registration unknown");
        break;
    case 1:
        text = QStringLiteral("registered");
        break;
    case 2:
        text = QStringLiteral("no SIM");
        break;
    case 3:
        text = QStringLiteral("searching");
        break;
    case 4:
        text = QStringLiteral("registration refused");
        break;
    default:
        text = QStringLiteral("registration %1").arg((word >> 8) & 0xff);
    }
    const quint32 signal = word & 0xff;
    if (signal <= 31)
        text += QStringLiteral(", signal %1").arg(signal);
    return text;
}

QString PathStatusFile::pathFor(const QString &spoolPath)
{
    return QFileInfo(spoolPath).absolutePath() + QLatin1Char('/') + QLatin1String(FileName);
}

QByteArray PathStatusFile::render(const QVector<PathStatus> &paths, qint64 pid,
                                  const QString &bootId, qint64 wallMs)
{
    QJsonArray list;
    for (const PathStatus &p : paths)
        list.append(pathJson(p));
    return QJsonDocument(
               QJsonObject{{"pid", pid}, {"boot", bootId}, {"writtenMs", wallMs}, {"paths", list}})
        .toJson(QJsonDocument::Indented);
}

bool PathStatusFile::parse(const QByteArray &data, Reading *reading, QString *bootId,
                           QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (doc.isNull()) {
        *error = QStringLiteral("not JSON (%1 at byte %2)")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    const QJsonObject o = doc.object();
    if (!isInteger(o.value("pid"), 1, 2147483647.0) || !o.value("boot").isString() ||
        !isInteger(o.value("writtenMs"), 0, 9007199254740992.0) || !o.value("paths").isArray()) {
        *error = QStringLiteral("pid, boot, writtenMs or paths missing or of the wrong type");
        return false;
    }
    QVector<PathStatus> paths;
    const QJsonArray list = o.value("paths").toArray();
    for (int i = 0; i < list.size(); ++i) {
        PathStatus p;
        if (!pathFromJson(list.at(i), &p)) {
            *error =
                QStringLiteral("path %1 lacks a field or has one of the wrong type").arg(i + 1);
            return false;
        }
        paths.append(p);
    }
    reading->pid = qint64(o.value("pid").toDouble());
    reading->writtenMs = qint64(o.value("writtenMs").toDouble());
    reading->paths = paths;
    *bootId = o.value("boot").toString();
    return true;
}

bool PathStatusFile::write(const QVector<PathStatus> &paths, qint64 wallMs, QString *error)
{
    if (m_hasWritten && paths == m_written)
        return true;
    const QByteArray text = render(paths, ::getpid(), BootClock::bootId(), wallMs);
    // Beside the target, so that the rename is atomic.
    const QFileInfo target(m_file);
    const QByteArray temp = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") +
                                              target.fileName() + QStringLiteral(".tmp"));
    QString failure;
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        failure = errnoText();
    } else {
        if (!writeAll(fd, text))
            failure = errnoText();
        if (::close(fd) != 0 && failure.isEmpty())
            failure = errnoText();
        if (failure.isEmpty() && ::rename(temp.constData(), QFile::encodeName(m_file)) != 0)
            failure = errnoText();
        if (!failure.isEmpty())
            ::unlink(temp.constData());
    }
    m_hasWritten = failure.isEmpty();
    if (m_hasWritten)
        m_written = paths;
    if (error)
        *error = failure;
    return m_hasWritten;
}

void PathStatusFile::remove()
{
    ::unlink(QFile::encodeName(m_file).constData());
    m_hasWritten = false;
}

PathStatusFile::Reading PathStatusFile::read(const QString &file)
{
    Reading r;
    QFile f(file);
    if (!f.exists())
        return r;
    if (!f.open(QIODevice::ReadOnly)) {
        r.service = Reading::Unreadable;
        r.error = f.errorString();
        return r;
    }
    const QByteArray data = f.read(MaxFileBytes + 1);
    QString bootId;
    if (data.size() > MaxFileBytes) {
        r.service = Reading::Unreadable;
        r.error = QStringLiteral("larger than %1 bytes").arg(MaxFileBytes);
        return r;
    }
    if (!parse(data, &r, &bootId, &r.error)) {
        r.service = Reading::Unreadable;
        return r;
    }
    // A file left by a crash: its writer is gone, or it was another boot's
    // (where the same pid may now be another program).
    const QString thisBoot = BootClock::bootId();
    const bool gone = (::kill(pid_t(r.pid), 0) != 0 && errno == ESRCH) ||
                      (!bootId.isEmpty() && !thisBoot.isEmpty() && bootId != thisBoot);
    r.service = gone ? Reading::NotRunning : Reading::Running;
    if (gone)
        r.paths.clear();
    return r;
}
