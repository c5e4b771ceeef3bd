#include "simpinguard.h"

#include "gsmlog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

namespace {
constexpr int SaltBytes = 16;
}

void SimPinGuard::setStatePath(const QString &path)
{
    m_path = path;
    m_salt.clear();
    m_refusedHash.clear();
    m_refusals = 0;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    // Three lines: salt, hash of the refused PIN (may be empty), refusals.
    const QList<QByteArray> lines = file.read(4096).split('\n');
    if (lines.size() < 3) {
        G_LOG(LS_WARNING, "[SimPinGuard]: файл состояния PIN повреждён: " + path.toStdString());
        return;
    }
    m_salt = QByteArray::fromHex(lines.at(0).trimmed());
    m_refusedHash = lines.at(1).trimmed();
    m_refusals = qBound(0, lines.at(2).trimmed().toInt(), SimTries);
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
    if (m_path.isEmpty())
        return;
    if (m_refusedHash.isEmpty() && m_refusals == 0) {
        QFile::remove(m_path);
        return;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    // A lost record would let the next start spend one more of the SIM's tries.
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        file.write(m_salt.toHex() + '\n' + m_refusedHash + '\n' + QByteArray::number(m_refusals) +
                   '\n');
        if (file.commit())
            return;
    }
    G_LOG(LS_ERROR, "[SimPinGuard]: не удалось сохранить состояние PIN в " + m_path.toStdString() +
                        ": " + file.errorString().toStdString());
}
