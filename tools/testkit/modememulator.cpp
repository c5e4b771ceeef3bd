#include "modememulator.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}
} // namespace

ModemEmulator::ModemEmulator(QObject *parent) : QObject(parent)
{
    m_writeTimer = new QTimer(this);
    m_writeTimer->setSingleShot(true);
    connect(m_writeTimer, &QTimer::timeout, this, &ModemEmulator::writeNext);
}

ModemEmulator::~ModemEmulator()
{
    stop();
}

bool ModemEmulator::start()
{
    stop();
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0) {
        m_error = systemError("posix_openpt");
        return false;
    }
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        m_error = systemError("grantpt/unlockpt");
        stop();
        return false;
    }
    const char *name = ptsname(m_master);
    if (!name) {
        m_error = systemError("ptsname");
        stop();
        return false;
    }
    m_devicePath = QString::fromLocal8Bit(name);
    // A device that appears is a modem just powered up (echo on, SIM locked
    // again when it has a PIN); the first start changes nothing.
    m_model.powerUp();
    // Without this the line discipline would echo and translate CR to LF
    // before the client has configured the port.
    makeRaw(m_master);
    m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slaveKeeper >= 0)
        makeRaw(m_slaveKeeper);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ModemEmulator::onReadable);
    if (!m_linkPath.isEmpty()) {
        QFile::remove(m_linkPath);
        if (!QFile::link(m_devicePath, m_linkPath)) {
            m_error = QStringLiteral("cannot link %1").arg(m_linkPath);
            stop();
            return false;
        }
    }
    return true;
}

void ModemEmulator::stop()
{
    delete m_notifier;
    m_notifier = nullptr;
    m_writeTimer->stop();
    m_pending.clear();
    if (m_slaveKeeper >= 0)
        ::close(m_slaveKeeper);
    if (m_master >= 0) {
        ::close(m_master);
        if (!m_linkPath.isEmpty())
            QFile::remove(m_linkPath);
    }
    m_slaveKeeper = m_master = -1;
}

void ModemEmulator::onReadable()
{
    char buffer[1024];
    // Bounded: a pty delivers at most its buffer per wake-up.
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        const int commandsBefore = m_model.commands().size();
        const int smsBefore = m_model.receivedSms().size();
        const QList<QByteArray> writes = m_model.feed(QByteArray(buffer, int(n)));
        if (m_smsDelayMs > 0 && m_model.receivedSms().size() > smsBefore)
            QTimer::singleShot(m_smsDelayMs, this, [this, writes] { queueWrites(writes); });
        else
            queueWrites(writes);
        for (const StatusReportCentre::Due &due : m_model.takeDueReports()) {
            if (due.held)
                m_heldReports.append(due);
            else
                QTimer::singleShot(m_smsDelayMs + due.delayMs, this,
                                   [this, pdu = due.pdu] { reportArrives(pdu); });
        }
        for (int i = commandsBefore; i < m_model.commands().size(); ++i)
            emit commandReceived(m_model.commands().at(i));
        for (int i = smsBefore; i < m_model.receivedSms().size(); ++i)
            emit smsReceived(i);
    }
}

void ModemEmulator::queueWrites(const QList<QByteArray> &writes)
{
    for (const QByteArray &w : writes)
        m_pending.enqueue(w);
    if (!m_writeTimer->isActive() && !m_pending.isEmpty())
        writeNext();
}

void ModemEmulator::writeNext()
{
    if (m_pending.isEmpty() || m_master < 0)
        return;
    const QByteArray data = m_pending.dequeue();
    const ssize_t written = ::write(m_master, data.constData(), size_t(data.size()));
    Q_UNUSED(written); // a full pty buffer only loses what a real line would
    if (!m_pending.isEmpty())
        m_writeTimer->start(m_gapMs);
}

void ModemEmulator::reportArrives(const QByteArray &pdu)
{
    if (m_master < 0)
        return;
    const QByteArray text = m_model.reports().arrive(pdu);
    if (!text.isEmpty())
        queueWrites({text});
    emit reportWritten(pdu);
}

void ModemEmulator::releaseHeldReports()
{
    for (const StatusReportCentre::Due &due : qAsConst(m_heldReports))
        QTimer::singleShot(due.delayMs, this, [this, pdu = due.pdu] { reportArrives(pdu); });
    m_heldReports.clear();
}

void ModemEmulator::injectUnsolicited(const QByteArray &text)
{
    queueWrites({text});
}

void ModemEmulator::powerUp()
{
    queueWrites({m_model.powerUp()});
}
