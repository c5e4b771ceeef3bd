#pragma once

#include <QByteArray>
#include <QString>

// Sends one request line to a running service's control socket and waits,
// within a time limit, for its one-line reply. Blocking: used by the command
// line and by ServiceController, which have no event loop of their own.
class ServiceControlClient
{
public:
    // The reply line without its line feed, or a null array with *error set.
    static QByteArray request(const QString &socketPath, const QByteArray &line, int timeoutMs,
                              QString *error = nullptr);
    // The pid of the service answering on socketPath, 0 when nobody answers.
    static qint64 ping(const QString &socketPath, int timeoutMs);
};
