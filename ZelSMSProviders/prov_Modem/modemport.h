#pragma once

#include "modemsettings.h"
#include "modemtimings.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

// The modem's serial port. Finds the port again by its device's hardware id
// when its name changed, opens and configures it from the provider's
// settings, logs a failing open once per reason and hour while the provider
// keeps retrying, and closes a port whose device vanished so that it is
// retried like one that never opened.
// Time is read from the modem library's clock so tests can move it.
class ModemPort : public QObject
{
    Q_OBJECT

public:
    explicit ModemPort(QObject *parent = nullptr);
    ~ModemPort() override;

    // The name the port will be opened by: the enumerated port with the
    // configured hardware id, else the configured name.
    static QString nameToOpen(const ModemSettings &settings);

    // Settings and timings are taken at every call: a new start() of the
    // provider may have changed them.
    void open(const ModemSettings &settings, const ModemTimings &timings);
    void close();
    bool isOpen() const { return m_port.isOpen(); }
    QString portName() const { return m_port.portName(); }
    QByteArray readAll() { return m_port.readAll(); }
    // Written only while open; bytes for a closed port are dropped.
    void write(const QByteArray &data);
    // When the port was last tried, or found gone: the provider's retries
    // count from here.
    qint64 lastOpenAttemptMs() const { return m_lastOpenAttemptMs; }
    // The device the name led to when the port was opened is gone, or the
    // name (a /dev/serial/by-id/... link) now leads elsewhere: a pseudo-
    // terminal, and some USB drivers, leave the old port open but dead. Then
    // the port is closed, to be opened again by name.
    bool closeIfDeviceChanged();

    // Appended to every line this logs: names the provider's settings group
    // when it is not the modem's usual one (empty then).
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

signals:
    void readyRead();
    // The port was closed, whoever closed it: what was on the line is lost.
    // Emitted before anyone can see the port closed from the event loop.
    void closed();

private slots:
    void onError(QSerialPort::SerialPortError error);

private:
    void configure(const ModemSettings &settings);
    void reportOpenFailure(const QString &name, const QString &error, const ModemTimings &timings);

    QSerialPort m_port;
    QString m_openedName;   // the name as configured (the port's own name drops "/dev/")
    QString m_openedDevice; // the device file that name led to at open
    qint64 m_lastOpenAttemptMs = 0;
    qint64 m_lastOpenLogMs = 0;
    QString m_lastOpenFailure;
    int m_openFailures = 0;
    QString m_logOrigin;
};
