#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// The control socket of a running service: the managers' stop, pause, resume
// and user commands arrive here as one line each (ServiceControlProtocol).
// Requests are turned into signals from the socket's own event handler, so
// an exception thrown by a hook travels through the application's notify()
// like any other.
class ServiceControlServer : public QObject
{
    Q_OBJECT
public:
    explicit ServiceControlServer(QObject *parent = nullptr);
    ~ServiceControlServer() override;

    // Takes over path. A socket left by a dead instance is removed; one that
    // still answers belongs to a live instance and is left alone (false).
    bool listen(const QString &path);
    void close();
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

    // A client that sends nothing is dropped after this long.
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }

signals:
    void stopRequested();
    void pauseRequested();
    void resumeRequested();
    void commandRequested(int code);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);

    QLocalServer *m_server = nullptr;
    QString m_path;
    QString m_error;
    int m_idleTimeoutMs = 2000;
};
