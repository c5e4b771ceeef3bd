#include "gatewaytestsupport.h"

#include "basicsmsrestprovider.h"
#include "gatewayemulator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>

namespace GatewayTest {

SMSMessage sms(const QByteArray &phone, const QString &text)
{
    return SmsText::makeMessage(phone, text.toUtf8(), SMSMessage::EncodingUtf8);
}

void writeProviderSettings(const QString &group, const QVariantMap &values)
{
    QSettings settings(QSettings::SystemScope, "ZELORG", "SMSProviders");
    settings.remove(group);
    settings.beginGroup(group);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
    QFile::setPermissions(settings.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

void addParameterRows(const QString &providerId, bool batchSend, int batchSize, int replyTimeout)
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("0-invalid") << 0 << QVariant();
    QTest::newRow("1-provider-id") << 1 << QVariant(providerId);
    QTest::newRow("2-max-failures") << 2 << QVariant(5);
    QTest::newRow("3-retry-pause") << 3 << QVariant(60);
    QTest::newRow("4-batch-send") << 4 << QVariant(batchSend);
    QTest::newRow("5-batch-size") << 5 << QVariant(batchSize);
    QTest::newRow("6-balance-check") << 6 << QVariant(true);
    QTest::newRow("7-balance-interval") << 7 << QVariant(120);
    QTest::newRow("8-codec") << 8 << QVariant("UTF-8");
    QTest::newRow("9-aux-interval") << 9 << QVariant(30);
    QTest::newRow("10-reply-timeout") << 10 << QVariant(replyTimeout);
    QTest::newRow("11-invalid") << 11 << QVariant();
    QTest::newRow("12-invalid") << 12 << QVariant();
}

void checkParameterRow(ICommonSmsInterface *provider)
{
    QFETCH(int, id);
    QFETCH(QVariant, value);
    const QVariant got = provider->parameter(id);
    QCOMPARE(got.isValid(), value.isValid());
    if (value.isValid()) {
        QCOMPARE(got.userType(), value.userType());
        QCOMPARE(got, value);
    }
}

void addCredentialRows(const QVariantMap &complete)
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("missing");
    QTest::newRow("empty-group") << QVariantMap() << false << "login, password";
    QTest::newRow("login-only") << QVariantMap{{"login", complete.value("login")}} << false
                                << "password";
    QTest::newRow("password-only")
        << QVariantMap{{"password", complete.value("password")}} << false << "login";
    QTest::newRow("complete") << complete << true << "";
}

void expectMissingWarning(const QString &group)
{
    QFETCH(bool, usable);
    QFETCH(QString, missing);
    if (usable)
        return;
    const QString pattern = QString("readSettings\\(\\)\\]: не заданы настройки %1 в группе %2 ")
                                .arg(QRegularExpression::escape(missing), group);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
}

void addBatchLimitRows(int maxBatch)
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");
    QTest::newRow("sms-empty") << 1 << 0 << 1;
    QTest::newRow("sms-one") << 1 << 1 << 0;
    QTest::newRow("sms-at-limit") << 1 << maxBatch << 0;
    QTest::newRow("sms-over-limit") << 1 << maxBatch + 1 << 1;
    QTest::newRow("type-none") << 0 << 1 << 1;
    QTest::newRow("type-3") << 3 << 1 << 1;
}

int buildBatchRow(BasicSmsRestProvider *provider, QNetworkRequest *request, QByteArray *body)
{
    QFETCH(int, type);
    QFETCH(int, count);
    QList<SMSMessage> batch;
    for (int i = 0; i < count; ++i)
        batch.append(sms(QByteArray::number(89000000000LL + i), QString("m%1").arg(i)));
    QString method;
    return provider->buildRestRequest(type, batch, request, body, &method);
}

void addResultColumns()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
}

QVariantMap checkResultRow(QVariantMap (*parse)(int, const QByteArray &))
{
    QFETCH(int, type);
    QFETCH(QByteArray, body);
    QFETCH(bool, success);
    QFETCH(int, code);
    QFETCH(QString, text);
    const QVariantMap map = parse(type, body);
    [&] {
        QVERIFY(map.contains("success"));
        QCOMPARE(map.value("success").toBool(), success);
        QCOMPARE(map.value("error_code").toInt(), code);
        QCOMPARE(map.value("error_text").toString(), text);
    }();
    return map;
}

QByteArray contentType(const QNetworkRequest &request)
{
    return request.header(QNetworkRequest::ContentTypeHeader).toByteArray();
}

bool runSendAndBalance(BasicSmsRestProvider *provider, GatewayEmulator *gw, const SMSMessage &msg,
                       int timeoutMs)
{
    // Queued before start, the SMS goes out on the first tick; the balance
    // request follows once the queue is empty.
    provider->enqueueSms(msg);
    provider->start();
    QDeadlineTimer deadline(timeoutMs);
    int known = 0;
    while (!deadline.hasExpired()) {
        provider->balance(&known);
        if (known && provider->queueSize() == 0 && provider->batchSize() == 0)
            return gw->requestCount() >= 2;
        QTest::qWait(20);
    }
    return false;
}

bool runFailedSend(BasicSmsRestProvider *provider, const SMSMessage &msg, int timeoutMs)
{
    provider->enqueueSms(msg);
    provider->start();
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (provider->failures() > 0 && provider->state() == BasicSmsRestProvider::StateIdle)
            return true;
        QTest::qWait(20);
    }
    return false;
}

} // namespace GatewayTest
