#include "modemport.h"

#include "gsmclock.h"
#include "logcategories.h"
#include "serialportenum.h"

#include <QFileInfo>
#include <QTimer>

ModemPort::ModemPort(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &ModemPort::readyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &ModemPort::onError);
}

ModemPort::~ModemPort()
{
    if (m_port.isOpen())
        m_port.close();
}

QString ModemPort::nameToOpen(const ModemSettings &settings)
{
    if (settings.comPortHwid.isEmpty())
        return settings.comPort;
    QStringList names, ids;
    const bool enumerated = enumerateSerialPorts(names, ids);
    return ModemFormat::resolvePortName(settings.comPort, settings.comPortHwid, enumerated, names,
                                        ids);
}

void ModemPort::open(const ModemSettings &settings, const ModemTimings &timings)
{
    m_lastOpenAttemptMs = GsmClock::nowMs();
    const QString name = nameToOpen(settings);
    m_port.setPortName(name);
    if (!m_port.open(QIODevice::ReadWrite)) {
        reportOpenFailure(name, m_port.errorString(), timings);
        return;
    }
    configure(settings);
    m_openedName = name;
    m_openedDevice = QFileInfo(name).canonicalFilePath();
    if (m_openFailures > 0)
        qCDebug(lcModem).noquote()
            << QStringLiteral("[ModemPort::open()]: COM порт открыт после неудачных попыток: %1")
                       .arg(m_openFailures) +
                   m_logOrigin;
    m_openFailures = 0;
    m_lastOpenFailure.clear();
    qCDebug(lcModem).noquote() << QStringLiteral("COM порт %1 открыт").arg(name) + m_logOrigin;
}

void ModemPort::configure(const ModemSettings &settings)
{
    QStringList failed;
    if (!m_port.setBaudRate(settings.baudRate))
        failed << QStringLiteral("скорость %1").arg(settings.baudRate);
    if (!m_port.setParity(settings.parity()))
        failed << QStringLiteral("четность %1").arg(settings.parityIndex);
    if (!m_port.setDataBits(settings.bits()))
        failed << QStringLiteral("размер байта %1").arg(settings.dataBits);
    if (!m_port.setStopBits(settings.stopBits()))
        failed << QStringLiteral("стоп-биты %1").arg(settings.stopBitsIndex);
    if (!m_port.setFlowControl(settings.flow()))
        failed << QStringLiteral("контроль потока %1").arg(settings.flowControl);
    if (!failed.isEmpty())
        qCWarning(lcModem).noquote()
            << QStringLiteral("[ModemPort::configure()]: порт %1 не принял настройки: %2 (%3)")
                       .arg(m_port.portName(), failed.join(QStringLiteral(", ")),
                            m_port.errorString()) +
                   m_logOrigin;
}

void ModemPort::reportOpenFailure(const QString &name, const QString &error,
                                  const ModemTimings &timings)
{
    ++m_openFailures;
    const QString reason = name + QStringLiteral(": ") + error;
    const qint64 now = GsmClock::nowMs();
    if (reason == m_lastOpenFailure &&
        qAbs(now - m_lastOpenLogMs) < qint64(timings.portLogRepeatS) * 1000)
        return;
    m_lastOpenFailure = reason;
    m_lastOpenLogMs = now;
    qCCritical(lcModem).noquote() << QStringLiteral("Ошибка открытия COM порта") + m_logOrigin;
    qCCritical(lcModem).noquote()
        << QStringLiteral("[ModemPort::reportOpenFailure()]: %1, попыток: %2, следующая через %3 с")
                   .arg(reason)
                   .arg(m_openFailures)
                   .arg(timings.portRetryS) +
               m_logOrigin;
}

bool ModemPort::closeIfDeviceChanged()
{
    if (!m_port.isOpen() || m_openedDevice.isEmpty())
        return false;
    const QString now = QFileInfo(m_openedName).canonicalFilePath();
    if (now == m_openedDevice)
        return false;
    qCWarning(lcModem).noquote()
        << QStringLiteral("[ModemPort::closeIfDeviceChanged()]: устройство COM порта %1 "
                          "(%2) пропало или заменено")
                   .arg(m_openedName, m_openedDevice) +
               m_logOrigin;
    m_lastOpenAttemptMs = GsmClock::nowMs();
    close();
    return true;
}

void ModemPort::close()
{
    if (!m_port.isOpen())
        return;
    m_port.close();
    qCDebug(lcModem).noquote() << QStringLiteral("COM порт закрыт") + m_logOrigin;
    emit closed();
}

void ModemPort::write(const QByteArray &data)
{
    if (m_port.isOpen())
        m_port.write(data);
}

void ModemPort::onError(QSerialPort::SerialPortError error)
{
    // A USB modem pulled out (or a vanished pseudo-terminal) leaves the port
    // open but dead; closing it lets the provider retry it once a minute.
    if (error != QSerialPort::ResourceError || !m_port.isOpen())
        return;
    qCWarning(lcModem).noquote() << QStringLiteral(
                                        "[ModemPort::onError()]: COM порт %1 недоступен: %2")
                                            .arg(m_port.portName(), m_port.errorString()) +
                                        m_logOrigin;
    m_lastOpenAttemptMs = GsmClock::nowMs();
    QTimer::singleShot(0, this, &ModemPort::close);
}
