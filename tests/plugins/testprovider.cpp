#include "testprovider.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

TestProvider::TestProvider(const QString &variant, const QString &group)
    : m_variant(variant), m_group(group)
{
}

QObject *TestProvider::create(const QString &settingsGroup)
{
    return settingsGroup.isEmpty() ? new TestProvider(m_variant)
                                   : new TestProvider(m_variant, settingsGroup);
}

QVariant TestProvider::parameter(int id)
{
    switch (id) {
    case ParamProviderId:
        return QStringLiteral("ZEL_SMS_PROVIDER_TEST");
    case ParamDeviceStatus:
        return m_deviceStatus;
    case VariantId:
        return m_variant;
    case EnqueueCountId:
        return m_enqueued;
    case StartCountId:
        return m_starts;
    case StopCountId:
        return m_stops;
    default:
        return QVariant();
    }
}

int TestProvider::enqueueSms(const SMSMessage &msg)
{
    ++m_enqueued;
    const QString phone = SmsText::phoneText(msg);
    const QString text = SmsText::messageText(msg);
    qDebug().noquote() << "[TestProvider::enqueueSms()]: phone" << phone << "length"
                       << SmsText::safeTextLength(msg) << "encoding" << int(msg.encoding);
    if (m_recordFile.isEmpty())
        return 0;
    QFile f(m_recordFile);
    if (!f.open(QIODevice::Append))
        qWarning().noquote() << "[TestProvider::enqueueSms()]: cannot open" << m_recordFile << "-"
                             << f.errorString();
    else
        f.write((phone + QLatin1Char('\t') + text + QLatin1Char('\t') +
                 QString::number(msg.encoding) + QLatin1Char('\n'))
                    .toUtf8());
    return 0;
}

double TestProvider::balance(int *known)
{
    if (known)
        *known = m_balanceKnown ? 1 : 0;
    return m_balance;
}

int TestProvider::providerStatus()
{
    return m_status;
}

void TestProvider::start()
{
    ++m_starts;
    if (!readSettings()) {
        qCritical().noquote() << "[TestProvider::start()]: settings incomplete";
        return;
    }
    m_running = true;
    qDebug().noquote() << "[TestProvider::start()]: variant" << m_variant << "started";
}

void TestProvider::stop()
{
    ++m_stops;
    m_running = false;
}

bool TestProvider::readSettings()
{
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
    s.beginGroup(m_group);
    m_status = s.value(QStringLiteral("status"), int(StatusOk)).toInt();
    m_balance = s.value(QStringLiteral("balance"), 0.0).toDouble();
    m_balanceKnown = s.value(QStringLiteral("balanceKnown"), false).toBool();
    m_deviceStatus = s.contains(QStringLiteral("deviceStatus"))
                         ? QVariant(s.value(QStringLiteral("deviceStatus")).toUInt())
                         : QVariant();
    m_recordFile = s.value(QStringLiteral("recordFile")).toString();
    return s.value(QStringLiteral("complete"), true).toBool();
}
