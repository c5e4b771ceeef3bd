#include "gatewayemulator.h"
#include "gatewaytestsupport.h"
#include "prov_epochta_v2.h"
#include "zeltestmain.h"

#include <QTest>

class TstEPochta : public QObject
{
    Q_OBJECT

private slots:
    void parameters_data();
    void parameters();
    void readSettings_data();
    void readSettings();
    void requests_data();
    void requests();
    void batchLimits_data();
    void batchLimits();
    void parseReply_data();
    void parseReply();
    void liveBalanceThenSpent();
};

static const QVariantMap credentials{{"login", "user"}, {"password", "pass"}};
static const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SMS><operations>";
static const QByteArray auth =
    "</operations><authentification><username>user</username><password>pass</password>"
    "</authentification>";

void TstEPochta::parameters_data()
{
    GatewayTest::addParameterRows("ZEL_SMS_PROVIDER_EPOCHTA_V2", false, 1, 60);
}

void TstEPochta::parameters()
{
    PROV_ePochta_v2 provider;
    GatewayTest::checkParameterRow(&provider);
}

void TstEPochta::readSettings_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QByteArray>("sender");
    QTest::newRow("empty-group") << QVariantMap() << false << "login, password"
                                 << QByteArray("OHRANA");
    QTest::newRow("login-only") << QVariantMap{{"login", "u"}} << false << "password"
                                << QByteArray("OHRANA");
    QTest::newRow("no-sender") << credentials << true << "" << QByteArray("OHRANA");
    QVariantMap empty = credentials;
    empty.insert("senderID", "");
    QTest::newRow("empty-sender") << empty << true << "" << QByteArray("OHRANA");
    QVariantMap own = credentials;
    own.insert("senderID", "ZEL");
    QTest::newRow("own-sender") << own << true << "" << QByteArray("ZEL");
}

void TstEPochta::readSettings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, usable);
    QFETCH(QByteArray, sender);
    GatewayTest::writeProviderSettings("ePochta_v2", settings);
    GatewayTest::expectMissingWarning("ePochta_v2");
    PROV_ePochta_v2 provider;
    QCOMPARE(provider.readSettings(), usable);
    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestSms,
                                       {GatewayTest::sms("89001234567", "x")}, &request, &body,
                                       &method),
             0);
    QVERIFY2(body.contains("<sender>" + sender + "</sender>"), body.constData());
}

void TstEPochta::requests_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("send-text-before-sender")
        << 1
        << head + "<operation>SEND</operation>" + auth +
               "<message><text>Тревога &amp; пожар</text><sender>OHRANA</sender></message>"
               "<numbers><number>79001234567</number></numbers></SMS>\n";
    QTest::newRow("balance") << 2 << head + "<operation>BALANCE</operation>" + auth + "</SMS>\n";
}

void TstEPochta::requests()
{
    QFETCH(int, type);
    QFETCH(QByteArray, body);
    GatewayTest::writeProviderSettings("ePochta_v2", credentials);
    PROV_ePochta_v2 provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QByteArray built;
    QString method;
    QCOMPARE(provider.buildRestRequest(type, {GatewayTest::sms("89001234567", "Тревога & пожар")},
                                       &request, &built, &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url(), QUrl("http://atompark.com/members/sms/xml.php"));
    QCOMPARE(GatewayTest::contentType(request), QByteArray("text/xml"));
    QCOMPARE(QString::fromUtf8(built), QString::fromUtf8(body));
}

void TstEPochta::batchLimits_data()
{
    GatewayTest::addBatchLimitRows(1);
}

void TstEPochta::batchLimits()
{
    QByteArray body;
    GatewayTest::checkBatchRow<PROV_ePochta_v2>("ePochta_v2", credentials, &body);
}

void TstEPochta::parseReply_data()
{
    GatewayTest::addResultColumns();
    QTest::addColumn<double>("amount");

    const QString bad = QString::fromUtf8("Неверный формат XML запроса");
    QTest::newRow("send-status-1-amount")
        << 1 << QByteArray("<RESPONSE><status>1</status><amount>0.35</amount></RESPONSE>") << true
        << 1 << "" << 0.35;
    QTest::newRow("send-status-0-refused")
        << 1 << QByteArray("<RESPONSE><status>0</status></RESPONSE>") << false << 0 << "" << 0.0;
    QTest::newRow("send-status-minus-1")
        << 1 << QByteArray("<RESPONSE><status>-1</status></RESPONSE>") << false << -1
        << QString::fromUtf8("Неверный логин или пароль") << 0.0;
    QTest::newRow("send-status-minus-3")
        << 1 << QByteArray("<RESPONSE><status>-3</status></RESPONSE>") << false << -3
        << QString::fromUtf8("Недостаточно средств") << 0.0;
    QTest::newRow("send-status-minus-4")
        << 1 << QByteArray("<RESPONSE><status>-4</status></RESPONSE>") << false << -4
        << QString::fromUtf8("Неверные номера получателей") << 0.0;
    QTest::newRow("send-status-minus-7")
        << 1 << QByteArray("<RESPONSE><status>-7</status></RESPONSE>") << false << -7 << bad << 0.0;
    QTest::newRow("send-later-unreadable-status-clears-mark")
        << 1 << QByteArray("<RESPONSE><status>5</status><status>x</status></RESPONSE>") << false
        << 5 << "" << 0.0;
    QTest::newRow("send-not-xml") << 1 << QByteArray("status=1") << false << -2 << bad << 0.0;
    QTest::newRow("send-lowercase-root")
        << 1 << QByteArray("<response><status>1</status></response>") << false << -2 << bad << 0.0;
    QTest::newRow("balance-ok")
        << 2 << QByteArray("<RESPONSE><status>0</status><amount>120.5</amount></RESPONSE>") << true
        << 0 << "" << 120.5;
    QTest::newRow("balance-without-amount")
        << 2 << QByteArray("<RESPONSE><status>0</status></RESPONSE>") << false << 0 << "" << 0.0;
    QTest::newRow("balance-status-1")
        << 2 << QByteArray("<RESPONSE><status>1</status><amount>5</amount></RESPONSE>") << false
        << 1 << "" << 5.0;
}

void TstEPochta::parseReply()
{
    QFETCH(int, type);
    QFETCH(double, amount);
    const QVariantMap map = GatewayTest::checkResultRow(&PROV_ePochta_v2::parseReply);
    const char *key = type == 1 ? "spent" : "balance";
    QVERIFY(map.contains(key));
    QCOMPARE(map.value(key).toDouble(), amount);
}

void TstEPochta::liveBalanceThenSpent()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    QVariantMap settings = credentials;
    settings.insert("baseUrl", gw.baseUrl().toString());
    GatewayTest::writeProviderSettings("ePochta_v2", settings);
    gw.enqueueReply(GatewayEmulator::Reply::xml(
        "<RESPONSE><status>0</status><amount>120.5</amount></RESPONSE>"));
    gw.enqueueReply(
        GatewayEmulator::Reply::xml("<RESPONSE><status>1</status><amount>0.5</amount></RESPONSE>"));

    PROV_ePochta_v2 provider;
    provider.start();
    int known = 0;
    QTRY_VERIFY_WITH_TIMEOUT((provider.balance(&known), known == 1), 10000);
    QCOMPARE(provider.balance(&known), 120.5);
    provider.enqueueSms(GatewayTest::sms("89001234567", "Тревога"));
    QTRY_COMPARE_WITH_TIMEOUT(gw.requestCount(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(provider.batchSize(), 0, 10000);
    QCOMPARE(provider.balance(&known), 120.0);
    provider.stop();
    const GatewayEmulator::Request send = gw.requests().at(1);
    QCOMPARE(send.path, QString("/members/sms/xml.php"));
    QVERIFY(send.body.contains("<operation>SEND</operation>"));
    QVERIFY(send.body.contains("<text>Тревога</text>"));
}

ZEL_TEST_MAIN(TstEPochta)
#include "tst_epochta.moc"
