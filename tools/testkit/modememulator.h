#pragma once

#include "modemmodel.h"

#include <QObject>
#include <QQueue>
#include <QString>

class QSocketNotifier;
class QTimer;

// A GSM modem on a real pseudo-terminal: the slave side (devicePath()) is
// opened like a serial port by the code under test, the master side answers
// through ModemModel. Separate writes of the model reach the port as separate
// chunks (writeGapMs apart), so split answers really arrive split.
//
// Typical use in a test:
//   ModemEmulator modem;
//   QVERIFY2(modem.start(), qPrintable(modem.errorString()));
//   modem.model().setPin("1234");
//   ... open modem.devicePath() with QSerialPort ...
//   modem.injectUnsolicited(ModemModel::ringText("+79001234567"));
//   modem.model().receivedSms().first().info.text
class ModemEmulator : public QObject
{
    Q_OBJECT
public:
    explicit ModemEmulator(QObject *parent = nullptr);
    ~ModemEmulator() override;

    bool start();
    // Closes the device as a USB modem pulled out does: the client's port
    // fails, and the link (setLinkPath) goes with it.
    void stop();
    // A symbolic link made to the device at every start() and removed at
    // stop(), as /dev/serial/by-id/... follows a USB modem; empty: none.
    void setLinkPath(const QString &path) { m_linkPath = path; }
    QString linkPath() const { return m_linkPath; }
    bool isRunning() const { return m_master >= 0; }
    QString devicePath() const { return m_devicePath; }
    QString errorString() const { return m_error; }

    ModemModel &model() { return m_model; }
    void setWriteGapMs(int ms) { m_gapMs = ms; }
    // How long the network takes to accept an SMS: the final result of
    // AT+CMGS comes this long after the PDU arrived.
    void setSmsDelayMs(int ms) { m_smsDelayMs = ms; }

    // Writes text as it stands (a RING, an incoming SMS, noise).
    void injectUnsolicited(const QByteArray &text);
    // The modem restarts and announces it.
    void powerUp();
    // The reports planned as held reach the modem now, each after its delay.
    void releaseHeldReports();

signals:
    void commandReceived(QByteArray line);
    void smsReceived(int index);
    // A status report reached the modem from the network (written at once,
    // stored, or held until the previous one is acknowledged).
    void reportWritten(QByteArray pdu);

private:
    void onReadable();
    void writeNext();
    void queueWrites(const QList<QByteArray> &writes);
    void reportArrives(const QByteArray &pdu);

    ModemModel m_model;
    int m_master = -1;
    int m_slaveKeeper = -1; // keeps the master readable while no client is open
    QString m_devicePath;
    QString m_linkPath;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_writeTimer = nullptr;
    QQueue<QByteArray> m_pending;
    QList<StatusReportCentre::Due> m_heldReports;
    int m_gapMs = 15;
    int m_smsDelayMs = 0;
};
