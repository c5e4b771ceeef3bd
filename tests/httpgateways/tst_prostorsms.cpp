#include "gatewayemulator.h"
#include "gatewaytestsupport.h"
#include "prov_prostorsms.h"
#include "zeltestmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

class TstProstorSms : public QObject
{
    Q_OBJECT

private slots:
    void parameters_data();
    void parameters();
    void readSettings_data();
    void readSettings();
    void sendRequest();
    void balanceRequest();
    void batchLimits_data();
    void batchLimits();
    void parseReply_data();
    void parseReply();
    void liveSendAndBalance();
};

static const QVariantMap credentials{{"login", "user"}, {"password", "pass"}};

void TstProstorSms::parameters_data()
{
    GatewayTest::addParameterRows("ZEL_SMS_PROVIDER_PROSTORSMS", true, 200, 60);
}

void TstProstorSms::parameters()
{
    PROV_ProstorSms provider;
    GatewayTest::checkParameterRow(&provider);
}

void TstProstorSms::readSettings_data()
{
    GatewayTest::addCredentialRows(credentials);
}

void TstProstorSms::readSettings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, usable);
    GatewayTest::writeProviderSettings("ProstorSms", settings);
    GatewayTest::expectMissingWarning("ProstorSms");
    PROV_ProstorSms provider;
    QCOMPARE(provider.readSettings(), usable);
}

void TstProstorSms::sendRequest()
{
    QVariantMap settings = credentials;
    settings.insert("senderID", "");
    settings.insert("flashSms", true); // not a Prostor setting: must not show up
    GatewayTest::writeProviderSettings("ProstorSms", settings);
    PROV_ProstorSms provider;
    QVERIFY(provider.readSettings());

    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(
                 BasicSmsRestProvider::RequestSms,
                 {GatewayTest::sms("89001234567", "Пожар"), GatewayTest::sms("9007654321", "b")},
                 &request, &body, &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url(), QUrl("https://api.prostor-sms.ru/messages/v2/send.json"));
    QCOMPARE(GatewayTest::contentType(request), QByteArray("application/json"));
    QCOMPARE(request.rawHeader("Accept"), QByteArray("application/json"));
    QCOMPARE(body, QByteArray("{\n"
                              "    \"login\": \"user\",\n"
                              "    \"messages\": [\n"
                              "        {\n"
                              "            \"clientId\": \"0\",\n"
                              "            \"phone\": \"79001234567\",\n"
                              "            \"sender\": \"\",\n"
                              "            \"text\": \"Пожар\"\n"
                              "        },\n"
                              "        {\n"
                              "            \"clientId\": \"1\",\n"
                              "            \"phone\": \"79007654321\",\n"
                              "            \"sender\": \"\",\n"
                              "            \"text\": \"b\"\n"
                              "        }\n"
                              "    ],\n"
                              "    \"password\": \"pass\"\n"
                              "}\n"));
}

void TstProstorSms::balanceRequest()
{
    GatewayTest::writeProviderSettings("ProstorSms", credentials);
    PROV_ProstorSms provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestBalance, {}, &request, &body,
                                       &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url(), QUrl("https://api.prostor-sms.ru/messages/v2/balance.json"));
    QCOMPARE(body, QByteArray("{\n    \"login\": \"user\",\n    \"password\": \"pass\"\n}\n"));
}

void TstProstorSms::batchLimits_data()
{
    GatewayTest::addBatchLimitRows(200);
}

void TstProstorSms::batchLimits()
{
    QByteArray body;
    GatewayTest::checkBatchRow<PROV_ProstorSms>("ProstorSms", credentials, &body);
}

void TstProstorSms::parseReply_data()
{
    GatewayTest::addResultColumns();
    QTest::addColumn<QVariant>("balance");

    const QString badJson = QString::fromUtf8("Неверный формат JSON запроса");
    QTest::newRow("send-accepted")
        << 1 << QByteArray(R"({"status":"ok","messages":[{"status":"accepted"}]})") << true << 0
        << "" << QVariant();
    QTest::newRow("send-none-accepted-first-status")
        << 1
        << QByteArray(R"({"status":"ok","messages":[{"status":"invalid mobile phone"},)"
                      R"({"status":"text is empty"}]})")
        << false << -2 << "invalid mobile phone" << QVariant();
    QTest::newRow("send-status-error-description-not-read")
        << 1 << QByteArray(R"({"status":"error","description":"bad login"})") << false << -1
        << badJson << QVariant();
    QTest::newRow("balance-number") << 2 << QByteArray(R"({"status":"ok","balance":3.5})") << true
                                    << 0 << badJson << QVariant(3.5);
    QTest::newRow("balance-array")
        << 2 << QByteArray(R"({"status":"ok","balance":[{"balance":3.5}]})") << true << 0 << badJson
        << QVariant(3.5);
    QTest::newRow("balance-error-description")
        << 2 << QByteArray(R"({"status":"error","description":"bad login"})") << false << -1
        << "bad login" << QVariant(0.0);
    QTest::newRow("balance-ok-without-balance")
        << 2 << QByteArray(R"({"status":"ok"})") << false << -1 << badJson << QVariant(0.0);
    QTest::newRow("balance-without-status")
        << 2 << QByteArray(R"({"balance":3.5})") << false << -1 << badJson << QVariant(3.5);
}

void TstProstorSms::parseReply()
{
    QFETCH(QVariant, balance);
    const QVariantMap map = GatewayTest::checkResultRow(&PROV_ProstorSms::parseReply);
    QCOMPARE(map.contains("balance"), balance.isValid());
    if (balance.isValid())
        QCOMPARE(map.value("balance").toDouble(), balance.toDouble());
}

void TstProstorSms::liveSendAndBalance()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    QVariantMap settings = credentials;
    settings.insert("baseUrl", gw.baseUrl().toString());
    GatewayTest::writeProviderSettings("ProstorSms", settings);
    gw.enqueueReply(
        GatewayEmulator::Reply::json(R"({"status":"ok","messages":[)"
                                     R"({"clientId":"0","status":"not enough balance"},)"
                                     R"({"clientId":"1","status":"accepted"}]})"),
        "/messages/v2/send.json");
    gw.enqueueReply(GatewayEmulator::Reply::json(R"({"status":"ok","balance":3.5})"),
                    "/messages/v2/balance.json");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("SMS на номер 89001234567 .*not enough balance"));

    PROV_ProstorSms provider;
    provider.enqueueSms(GatewayTest::sms("89001234567", "Тревога"));
    QVERIFY(GatewayTest::runSendAndBalance(&provider, &gw, GatewayTest::sms("89007654321", "x"),
                                           10000));
    int known = 0;
    QCOMPARE(provider.balance(&known), 3.5);
    QCOMPARE(known, 1);
    provider.stop();
    const auto sent = gw.requestsTo("/messages/v2/send.json");
    QCOMPARE(sent.size(), 1);
    const QJsonArray msgs =
        QJsonDocument::fromJson(sent.first().body).object()["messages"].toArray();
    QCOMPARE(msgs.size(), 2);
    QCOMPARE(msgs[0].toObject()["text"].toString(), QString("Тревога"));
}

ZEL_TEST_MAIN(TstProstorSms)
#include "tst_prostorsms.moc"
