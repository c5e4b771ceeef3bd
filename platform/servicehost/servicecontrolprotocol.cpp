#include "servicecontrolprotocol.h"

#include <QList>

namespace ServiceControlProtocol {

namespace {
QString quoted(const QByteArray &line)
{
    QByteArray shown = line.left(32);
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '?';
    }
    return QStringLiteral("'%1'%2").arg(QString::fromLatin1(shown),
                                        line.size() > 32 ? QStringLiteral("...") : QString());
}
} // namespace

Request parseRequest(const QByteArray &line)
{
    Request r;
    QByteArray text = line;
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.endsWith('\r'))
        text.chop(1);
    if (text.size() > MaxLineLength) {
        r.error = QStringLiteral("request too long: %1").arg(quoted(text));
        return r;
    }
    const QList<QByteArray> parts = text.split(' ');
    const QByteArray verb = parts.value(0);
    if (parts.size() == 1 && verb == "ping")
        r.kind = Kind::Ping;
    else if (parts.size() == 1 && verb == "stop")
        r.kind = Kind::Stop;
    else if (parts.size() == 1 && verb == "pause")
        r.kind = Kind::Pause;
    else if (parts.size() == 1 && verb == "resume")
        r.kind = Kind::Resume;
    else if (parts.size() == 2 && verb == "command") {
        bool ok = false;
        r.code = parts.at(1).toInt(&ok);
        if (ok)
            r.kind = Kind::Command;
        else
            r.error = QStringLiteral("bad command code: %1").arg(quoted(text));
    } else {
        r.error = QStringLiteral("unknown request: %1").arg(quoted(text));
    }
    return r;
}

QByteArray formatRequest(Kind kind, int code)
{
    switch (kind) {
    case Kind::Ping:
        return "ping\n";
    case Kind::Stop:
        return "stop\n";
    case Kind::Pause:
        return "pause\n";
    case Kind::Resume:
        return "resume\n";
    case Kind::Command:
        return "command " + QByteArray::number(code) + '\n';
    case Kind::Invalid:
        break;
    }
    return QByteArray();
}

qint64 parsePingReply(const QByteArray &line)
{
    const QList<QByteArray> parts = line.trimmed().split(' ');
    if (parts.size() != 2 || parts.at(0) != "running")
        return 0;
    bool ok = false;
    const qint64 pid = parts.at(1).toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

} // namespace ServiceControlProtocol
