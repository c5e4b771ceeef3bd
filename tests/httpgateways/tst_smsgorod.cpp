#include "gatewayemulator.h"
#include "gatewaytestsupport.h"
#include "prov_smsgorod.h"
#include "zeltestmain.h"

#include <QRegularExpression>
#include <QTest>
#include <QXmlStreamReader>

class TstSmsGorod : public QObject
{
    Q_OBJECT

private slots:
    void parameters_data();
    void parameters();
    void readSettings_data();
    void readSettings();
    void channelOtherThanZeroOrOneIsASettingsError_data();
    void channelOtherThanZeroOrOneIsASettingsError();
    void sendRequest_data();
    void sendRequest();
    void balanceRequest_data();
    void balanceRequest();
    void controlCharactersKeepXmlWellFormed();
    void batchLimits_data();
    void batchLimits();
    void parseReply_data();
    void parseReply();
    void refusedMessages();
    void liveSendAndBalance();
};

static const QVariantMap directChannel{{"login", "user"}, {"password", "pass"}, {"channel", 0}};

static QByteArray build(PROV_SmsGorod &provider, int type, const QList<SMSMessage> &batch,
                        QNetworkRequest *request, int *result = nullptr)
{
    QByteArray body;
    QString method;
    const int r = provider.buildRestRequest(type, batch, request, &body, &method);
    if (result)
        *result = r;
    if (r == 0 && method != "POST")
        return "method " + method.toUtf8();
    return body;
}

void TstSmsGorod::parameters_data()
{
    GatewayTest::addParameterRows("ZEL_SMS_PROVIDER_SMSGOROD", true, 100, 60);
}

void TstSmsGorod::parameters()
{
    PROV_SmsGorod provider;
    GatewayTest::checkParameterRow(&provider);
}

void TstSmsGorod::readSettings_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<int>("channel");
    QTest::newRow("empty-group") << QVariantMap() << false << "login, password, channel" << -1;
    QTest::newRow("missing-channel")
        << QVariantMap{{"login", "u"}, {"password", "p"}} << false << "channel" << -1;
    QTest::newRow("no-password") << QVariantMap{{"login", "u"}, {"channel", 0}} << false
                                 << "password" << 0;
    QTest::newRow("direct") << directChannel << true << "" << 0;
    QTest::newRow("digital") << QVariantMap{{"login", "u"}, {"password", "p"}, {"channel", 1}}
                             << true << "" << 1;
}

void TstSmsGorod::readSettings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, usable);
    QFETCH(int, channel);
    GatewayTest::writeProviderSettings("SmsGorod", settings);
    GatewayTest::expectMissingWarning("SmsGorod");
    PROV_SmsGorod provider;
    QCOMPARE(provider.readSettings(), usable);
    QCOMPARE(provider.channel(), channel);
}

void TstSmsGorod::channelOtherThanZeroOrOneIsASettingsError_data()
{
    QTest::addColumn<QString>("channel");
    QTest::newRow("letters-once-became-direct") << "abc";
    QTest::newRow("five-once-became-digital") << "5";
    QTest::newRow("minus-one") << "-1";
    QTest::newRow("fraction") << "0.5";
}

void TstSmsGorod::channelOtherThanZeroOrOneIsASettingsError()
{
    QFETCH(QString, channel);
    GatewayTest::writeProviderSettings("SmsGorod",
                                       {{"login", "u"}, {"password", "p"}, {"channel", channel}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("неверное значение channel \"" +
                                                          QRegularExpression::escape(channel) +
                                                          "\" в группе SmsGorod"));
    PROV_SmsGorod provider;
    QVERIFY(!provider.readSettings());
    QCOMPARE(provider.channel(), -1);
}

void TstSmsGorod::sendRequest_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QByteArray>("body");
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><request><security>"
                            "<login value=\"user\"/><password value=\"pass\"/></security>";
    QVariantMap flash = directChannel;
    flash.insert("flashSms", true);
    flash.insert("senderID", "ZEL");
    QTest::newRow("direct-default-sender-three-numbered")
        << directChannel << QUrl("http://web.smsgorod.ru/xml/")
        << head + "<message type=\"sms\"><sender>SmsGorod</sender><text>Тревога</text>"
                  "<abonent phone=\"79001234567\" number_sms=\"1\"/></message>"
                  "<message type=\"sms\"><sender>SmsGorod</sender><text>a&lt;b&amp;c</text>"
                  "<abonent phone=\"79007654321\" number_sms=\"2\"/></message>"
                  "<message type=\"sms\"><sender>SmsGorod</sender><text>3</text>"
                  "<abonent phone=\"79001234567\" number_sms=\"3\"/></message></request>\n";
    QVariantMap digital = directChannel;
    digital.insert("channel", 1);
    digital.insert("flashSms", true);
    digital.insert("senderID", "ZEL");
    QTest::newRow("digital-flash")
        << digital << QUrl("http://new.smsgorod.ru/xml/")
        << head + "<message type=\"flashsms\"><sender>ZEL</sender><text>Тревога</text>"
                  "<abonent phone=\"79001234567\" number_sms=\"1\"/></message>"
                  "<message type=\"flashsms\"><sender>ZEL</sender><text>a&lt;b&amp;c</text>"
                  "<abonent phone=\"79007654321\" number_sms=\"2\"/></message>"
                  "<message type=\"flashsms\"><sender>ZEL</sender><text>3</text>"
                  "<abonent phone=\"79001234567\" number_sms=\"3\"/></message></request>\n";
}

void TstSmsGorod::sendRequest()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QUrl, url);
    QFETCH(QByteArray, body);
    GatewayTest::writeProviderSettings("SmsGorod", settings);
    PROV_SmsGorod provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    const QByteArray built =
        build(provider, BasicSmsRestProvider::RequestSms,
              {GatewayTest::sms("89001234567", "Тревога"), GatewayTest::sms("9007654321", "a<b&c"),
               GatewayTest::sms("89001234567", "3")},
              &request);
    QCOMPARE(QString::fromUtf8(built), QString::fromUtf8(body));
    QCOMPARE(request.url(), url);
    QCOMPARE(GatewayTest::contentType(request), QByteArray("text/xml; charset=utf-8"));
}

void TstSmsGorod::balanceRequest_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QUrl>("url");
    QTest::newRow("direct") << 0 << QUrl("http://web.smsgorod.ru/xml/balance.php");
    QTest::newRow("digital") << 1 << QUrl("http://new.smsgorod.ru/xml/balance.php");
}

void TstSmsGorod::balanceRequest()
{
    QFETCH(int, channel);
    QFETCH(QUrl, url);
    QVariantMap settings = directChannel;
    settings.insert("channel", channel);
    GatewayTest::writeProviderSettings("SmsGorod", settings);
    PROV_SmsGorod provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QCOMPARE(
        build(provider, BasicSmsRestProvider::RequestBalance, {}, &request),
        QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><request><security>"
                   "<login value=\"user\"/><password value=\"pass\"/></security></request>\n"));
    QCOMPARE(request.url(), url);
}

void TstSmsGorod::controlCharactersKeepXmlWellFormed()
{
    GatewayTest::writeProviderSettings("SmsGorod", directChannel);
    PROV_SmsGorod provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    const QByteArray body =
        build(provider, BasicSmsRestProvider::RequestSms,
              {GatewayTest::sms("89001234567", QString("a\x01\x1b") + "b")}, &request);
    QVERIFY2(body.contains("<text>a  b</text>"), body.constData());
    QXmlStreamReader reader(body);
    while (!reader.atEnd())
        reader.readNext();
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
}

void TstSmsGorod::batchLimits_data()
{
    GatewayTest::addBatchLimitRows(100);
}

void TstSmsGorod::batchLimits()
{
    QByteArray body;
    GatewayTest::checkBatchRow<PROV_SmsGorod>("SmsGorod", directChannel, &body);
    if (QTest::currentTestFailed())
        return;
    QFETCH(int, result);
    if (result == 0)
        QVERIFY(body.contains(QTest::currentDataTag() == QByteArray("sms-at-limit")
                                  ? "number_sms=\"100\""
                                  : "number_sms=\"1\""));
}

void TstSmsGorod::parseReply_data()
{
    GatewayTest::addResultColumns();
    QTest::addColumn<QVariant>("balance");

    const QString bad = QString::fromUtf8("Неверный формат XML запроса");
    QTest::newRow("send-information-send")
        << 1 << QByteArray("<response><information number_sms=\"1\">send</information></response>")
        << true << 0 << "" << QVariant();
    QTest::newRow("send-refused-then-send")
        << 1
        << QByteArray("<response><information>wrong number</information>"
                      "<information>send</information></response>")
        << true << 0 << "" << QVariant();
    QTest::newRow("send-single-refusal")
        << 1 << QByteArray("<response><information>wrong number</information></response>") << false
        << -2 << "wrong number" << QVariant();
    QTest::newRow("send-error") << 1 << QByteArray("<response><error>bad login</error></response>")
                                << false << -1 << "bad login" << QVariant();
    QTest::newRow("send-error-stops-reading")
        << 1
        << QByteArray(
               "<response><error>bad login</error><information>send</information></response>")
        << false << -1 << "bad login" << QVariant();
    QTest::newRow("send-not-xml") << 1 << QByteArray("OK") << false << -1 << bad << QVariant();
    QTest::newRow("send-other-root")
        << 1 << QByteArray("<answer><information>send</information></answer>") << false << -1 << bad
        << QVariant();
    QTest::newRow("send-empty-response")
        << 1 << QByteArray("<response/>") << false << -1 << "" << QVariant();
    QTest::newRow("balance-money") << 2 << QByteArray("<response><money>150.25</money></response>")
                                   << true << 0 << "" << QVariant(150.25);
    QTest::newRow("balance-money-abc") << 2 << QByteArray("<response><money>abc</money></response>")
                                       << false << -3 << bad << QVariant(0.0);
    QTest::newRow("balance-error")
        << 2 << QByteArray("<response><error>bad login</error></response>") << false << -1
        << "bad login" << QVariant(0.0);
    QTest::newRow("balance-no-money") << 2 << QByteArray("<response><sms>5</sms></response>")
                                      << false << -1 << bad << QVariant(0.0);
}

void TstSmsGorod::parseReply()
{
    QFETCH(QVariant, balance);
    const QVariantMap map = GatewayTest::checkResultRow(&PROV_SmsGorod::parseReply);
    QCOMPARE(map.contains("balance"), balance.isValid());
    if (balance.isValid())
        QCOMPARE(map.value("balance").toDouble(), balance.toDouble());
    QVERIFY(!map.contains("spent"));
}

void TstSmsGorod::refusedMessages()
{
    const auto refused =
        PROV_SmsGorod::refusedMessages("<response><information number_sms=\"1\">send</information>"
                                       "<information number_sms=\"3\">wrong number</information>"
                                       "<information>blocked</information></response>");
    QCOMPARE(refused.size(), 2);
    QCOMPARE(refused.at(0), qMakePair(3, QString("wrong number")));
    QCOMPARE(refused.at(1), qMakePair(3, QString("blocked"))); // third by position
}

void TstSmsGorod::liveSendAndBalance()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    QVariantMap settings = directChannel;
    settings.insert("baseUrl", gw.baseUrl().toString());
    GatewayTest::writeProviderSettings("SmsGorod", settings);
    gw.enqueueReply(GatewayEmulator::Reply::xml("<response><information number_sms=\"1\">send"
                                                "</information><information number_sms=\"2\">"
                                                "wrong number</information></response>"),
                    "/xml/");
    gw.enqueueReply(GatewayEmulator::Reply::xml("<response><money>150.25</money></response>"),
                    "/xml/balance.php");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("SMS на номер 80000000000 .*wrong number"));

    PROV_SmsGorod provider;
    provider.enqueueSms(GatewayTest::sms("89001234567", "Тревога"));
    QVERIFY(GatewayTest::runSendAndBalance(&provider, &gw, GatewayTest::sms("80000000000", "x"),
                                           10000));
    int known = 0;
    QCOMPARE(provider.balance(&known), 150.25);
    provider.stop();
    const auto sent = gw.requestsTo("/xml/");
    QCOMPARE(sent.size(), 1);
    QVERIFY(sent.first().body.contains("<text>Тревога</text>"));
    QCOMPARE(sent.first().header("Content-Type"), QByteArray("text/xml; charset=utf-8"));
}

ZEL_TEST_MAIN(TstSmsGorod)
#include "tst_smsgorod.moc"
