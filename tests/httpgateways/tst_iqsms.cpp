#include "gatewayemulator.h"
#include "gatewaytestsupport.h"
#include "prov_iqsms.h"
#include "zeltestmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

class TstIqSms : public QObject
{
    Q_OBJECT

private slots:
    void parameters_data();
    void parameters();
    void readSettings_data();
    void readSettings();
    void sendRequest_data();
    void sendRequest();
    void balanceRequest();
    void batchLimits_data();
    void batchLimits();
    void counterRestartsOnReadSettings();
    void parseReply_data();
    void parseReply();
    void liveSendAndBalance();
};

static const QVariantMap credentials{{"login", "user"}, {"password", "pass"}};

void TstIqSms::parameters_data()
{
    GatewayTest::addParameterRows("ZEL_SMS_PROVIDER_IQSMS", true, 200, 60);
}

void TstIqSms::parameters()
{
    PROV_iqSms provider;
    GatewayTest::checkParameterRow(&provider);
}

void TstIqSms::readSettings_data()
{
    GatewayTest::addCredentialRows(credentials);
}

void TstIqSms::readSettings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, usable);
    GatewayTest::writeProviderSettings("iqSms", settings);
    GatewayTest::expectMissingWarning("iqSms");
    PROV_iqSms provider;
    QCOMPARE(provider.readSettings(), usable);
}

void TstIqSms::sendRequest_data()
{
    QTest::addColumn<bool>("flash");
    QTest::addColumn<QByteArray>("body");
    const QByteArray withFlash = "{\n"
                                 "    \"login\": \"user\",\n"
                                 "    \"messages\": [\n"
                                 "        {\n"
                                 "            \"clientId\": \"0\",\n"
                                 "            \"flash\": \"1\",\n"
                                 "            \"phone\": \"79001234567\",\n"
                                 "            \"sender\": \"ZEL\",\n"
                                 "            \"text\": \"Тревога: объект 12\"\n"
                                 "        },\n"
                                 "        {\n"
                                 "            \"clientId\": \"1\",\n"
                                 "            \"flash\": \"1\",\n"
                                 "            \"phone\": \"79007654321\",\n"
                                 "            \"sender\": \"ZEL\",\n"
                                 "            \"text\": \"a\\\"b\\nc\"\n"
                                 "        }\n"
                                 "    ],\n"
                                 "    \"password\": \"pass\"\n"
                                 "}\n";
    QTest::newRow("flash-on") << true << withFlash;
    QTest::newRow("flash-off") << false
                               << QByteArray(withFlash).replace("            \"flash\": \"1\",\n",
                                                                "");
}

void TstIqSms::sendRequest()
{
    QFETCH(bool, flash);
    QFETCH(QByteArray, body);
    QVariantMap settings = credentials;
    settings.insert("senderID", "ZEL");
    settings.insert("flashSms", flash);
    GatewayTest::writeProviderSettings("iqSms", settings);
    PROV_iqSms provider;
    QVERIFY(provider.readSettings());

    const QList<SMSMessage> batch{GatewayTest::sms("89001234567", "Тревога: объект 12"),
                                  GatewayTest::sms("+79007654321", "a\"b\nc")};
    QNetworkRequest request;
    QByteArray built;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestSms, batch, &request, &built,
                                       &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url(), QUrl(PROV_iqSms::DefaultSendUrl));
    QCOMPARE(GatewayTest::contentType(request), QByteArray("application/json"));
    QCOMPARE(request.rawHeader("Accept"), QByteArray("application/json"));
    QCOMPARE(built, body);
}

void TstIqSms::balanceRequest()
{
    GatewayTest::writeProviderSettings("iqSms", credentials);
    PROV_iqSms provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestBalance, {}, &request, &body,
                                       &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url(), QUrl(PROV_iqSms::DefaultBalanceUrl));
    QVERIFY(request.url().host() != QUrl(PROV_iqSms::DefaultSendUrl).host());
    QCOMPARE(GatewayTest::contentType(request), QByteArray("application/json"));
    QCOMPARE(body, QByteArray("{\n    \"login\": \"user\",\n    \"password\": \"pass\"\n}\n"));
}

void TstIqSms::batchLimits_data()
{
    GatewayTest::addBatchLimitRows(200);
}

void TstIqSms::batchLimits()
{
    QByteArray body;
    GatewayTest::checkBatchRow<PROV_iqSms>("iqSms", credentials, &body);
    if (QTest::currentTestFailed())
        return;
    QFETCH(int, result);
    if (result == 0)
        QCOMPARE(QJsonDocument::fromJson(body).object().value("messages").toArray().size(),
                 QTest::currentDataTag() == QByteArray("sms-at-limit") ? 200 : 1);
}

void TstIqSms::counterRestartsOnReadSettings()
{
    GatewayTest::writeProviderSettings("iqSms", credentials);
    PROV_iqSms provider;
    QVERIFY(provider.readSettings());
    auto clientIds = [&provider](int count) {
        QList<SMSMessage> batch;
        for (int i = 0; i < count; ++i)
            batch.append(GatewayTest::sms("89001234567", QString::number(i)));
        QNetworkRequest request;
        QByteArray body;
        QString method;
        provider.buildRestRequest(BasicSmsRestProvider::RequestSms, batch, &request, &body,
                                  &method);
        QStringList ids;
        for (const auto &m : QJsonDocument::fromJson(body).object().value("messages").toArray())
            ids << m.toObject().value("clientId").toString();
        return ids;
    };
    QCOMPARE(clientIds(2), QStringList({"0", "1"}));
    QCOMPARE(clientIds(1), QStringList({"2"}));
    QVERIFY(provider.readSettings());
    QCOMPARE(clientIds(1), QStringList({"0"}));
}

void TstIqSms::parseReply_data()
{
    GatewayTest::addResultColumns();
    QTest::addColumn<QVariant>("balance");

    const QString badJson = QString::fromUtf8("Неверный формат JSON запроса");
    QTest::newRow("send-accepted")
        << 1 << QByteArray(R"({"status":"ok","messages":[{"status":"accepted"}]})") << true << 0
        << "" << QVariant();
    QTest::newRow("send-other-then-accepted")
        << 1
        << QByteArray(R"({"status":"ok","messages":[{"status":"invalid mobile phone"},)"
                      R"({"status":"accepted"}]})")
        << true << 0 << "" << QVariant();
    QTest::newRow("send-empty-messages")
        << 1 << QByteArray(R"({"status":"ok","messages":[]})") << false << -2 << "" << QVariant();
    QTest::newRow("send-none-accepted")
        << 1 << QByteArray(R"({"status":"ok","messages":[{"status":"invalid mobile phone"}]})")
        << false << -2 << "invalid mobile phone" << QVariant();
    QTest::newRow("send-status-error") << 1 << QByteArray(R"({"status":"error","description":"x"})")
                                       << false << -1 << badJson << QVariant();
    QTest::newRow("send-no-status") << 1 << QByteArray(R"({"messages":[{"status":"accepted"}]})")
                                    << false << -1 << badJson << QVariant();
    QTest::newRow("send-not-json")
        << 1 << QByteArray("Bad Gateway") << false << -1 << badJson << QVariant();
    QTest::newRow("balance-number") << 2 << QByteArray(R"({"status":"ok","balance":12.5})") << true
                                    << 0 << badJson << QVariant(12.5);
    QTest::newRow("balance-array")
        << 2 << QByteArray(R"({"status":"ok","balance":[{"type":"RUB","balance":12.5}]})") << true
        << 0 << badJson << QVariant(12.5);
    QTest::newRow("balance-without-status")
        << 2 << QByteArray(R"({"balance":12.5})") << false << -1 << badJson << QVariant(12.5);
    QTest::newRow("balance-empty-array") << 2 << QByteArray(R"({"status":"ok","balance":[]})")
                                         << false << -1 << badJson << QVariant(0.0);
    QTest::newRow("balance-error-no-description-read")
        << 2 << QByteArray(R"({"status":"error","description":"bad login"})") << false << -1
        << badJson << QVariant(0.0);
}

void TstIqSms::parseReply()
{
    QFETCH(QVariant, balance);
    const QVariantMap map = GatewayTest::checkResultRow(&PROV_iqSms::parseReply);
    QCOMPARE(map.contains("balance"), balance.isValid());
    if (balance.isValid())
        QCOMPARE(map.value("balance").toDouble(), balance.toDouble());
    QVERIFY(!map.contains("spent"));
}

void TstIqSms::liveSendAndBalance()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    QVariantMap settings = credentials;
    settings.insert("baseUrl", gw.baseUrl().toString());
    GatewayTest::writeProviderSettings("iqSms", settings);

    // The second message is refused beside an accepted one: the batch counts
    // as sent, so the refused number must be named in the log.
    gw.enqueueReply(GatewayEmulator::Reply::json(
                        R"({"status":"ok","messages":[{"clientId":"0","status":"accepted"},)"
                        R"({"clientId":"1","status":"invalid mobile phone"}]})"),
                    "/send");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("SMS на номер 89007654321 .*invalid mobile phone"));
    gw.enqueueReply(GatewayEmulator::Reply::json(R"({"status":"ok","balance":[{"balance":42.5}]})"),
                    "/messages/v2/balance.json");
    PROV_iqSms provider;
    provider.enqueueSms(GatewayTest::sms("89001234567", "Тревога: взлом"));
    QVERIFY(GatewayTest::runSendAndBalance(&provider, &gw,
                                           GatewayTest::sms("89007654321", "второе"), 10000));
    int known = 0;
    QCOMPARE(provider.balance(&known), 42.5);
    QCOMPARE(known, 1);
    QCOMPARE(provider.providerStatus(), int(StatusOk));
    provider.stop();

    const auto sent = gw.requestsTo("/send");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().method, QByteArray("POST"));
    const QJsonObject msg =
        QJsonDocument::fromJson(sent.first().body).object()["messages"].toArray()[0].toObject();
    QCOMPARE(msg["text"].toString(), QString("Тревога: взлом"));
    QCOMPARE(msg["phone"].toString(), QString("79001234567"));
    QCOMPARE(gw.requestsTo("/messages/v2/balance.json").size(), 1);
}

ZEL_TEST_MAIN(TstIqSms)
#include "tst_iqsms.moc"
