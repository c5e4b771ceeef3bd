#include "gatewayemulator.h"
#include "gatewaytestsupport.h"
#include "prov_smscenter.h"
#include "zeltestmain.h"

#include <QTest>
#include <QUrlQuery>

class TstSmsCenter : public QObject
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
    void longRequestMovesToFormBody_data();
    void longRequestMovesToFormBody();
    void parseReply_data();
    void parseReply();
    void liveBalanceThenSpent();
    void httpErrorLogKeepsPasswordOut();
};

static const QVariantMap credentials{{"login", "user"}, {"password", "p@ss"}};

void TstSmsCenter::parameters_data()
{
    GatewayTest::addParameterRows("ZEL_SMS_PROVIDER_SMSCENTER", true, 100, 60);
}

void TstSmsCenter::parameters()
{
    PROV_SmsCenter provider;
    GatewayTest::checkParameterRow(&provider);
}

void TstSmsCenter::readSettings_data()
{
    GatewayTest::addCredentialRows(credentials);
}

void TstSmsCenter::readSettings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, usable);
    GatewayTest::writeProviderSettings("SmsCenter", settings);
    GatewayTest::expectMissingWarning("SmsCenter");
    PROV_SmsCenter provider;
    QCOMPARE(provider.readSettings(), usable);
}

void TstSmsCenter::sendRequest_data()
{
    QTest::addColumn<bool>("flash");
    QTest::addColumn<bool>("translit");
    QTest::addColumn<QByteArray>("query");
    QTest::newRow("defaults")
        << false << false
        << QByteArray("login=user&psw=p%40ss&fmt=2&sender=ZEL&translit=0&flash=0&cost=2&"
                      "charset=utf-8&pp=615032&list=79001234567%3AAlarm%2012%0A"
                      "79007654321%3Aa%3Ab%5Cnc%2Bd");
    QTest::newRow("flash-translit")
        << true << true
        << QByteArray("login=user&psw=p%40ss&fmt=2&sender=ZEL&translit=1&flash=1&cost=2&"
                      "charset=utf-8&pp=615032&list=79001234567%3AAlarm%2012%0A"
                      "79007654321%3Aa%3Ab%5Cnc%2Bd");
}

void TstSmsCenter::sendRequest()
{
    QFETCH(bool, flash);
    QFETCH(bool, translit);
    QFETCH(QByteArray, query);
    QVariantMap settings = credentials;
    settings.insert("senderID", "ZEL");
    settings.insert("flashSms", flash);
    settings.insert("translit", translit);
    GatewayTest::writeProviderSettings("SmsCenter", settings);
    PROV_SmsCenter provider;
    QVERIFY(provider.readSettings());

    QNetworkRequest request;
    QByteArray body;
    QString method;
    // A colon stays, a line break becomes the gateway's "\n", a '+' survives.
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestSms,
                                       {GatewayTest::sms("89001234567", "Alarm 12"),
                                        GatewayTest::sms("9007654321", "a:b\nc+d")},
                                       &request, &body, &method),
             0);
    QCOMPARE(method, QString("POST"));
    QVERIFY(body.isEmpty());
    QCOMPARE(GatewayTest::contentType(request), QByteArray("text/plain"));
    QCOMPARE(request.url().adjusted(QUrl::RemoveQuery), QUrl("https://smsc.ru/sys/send.php"));
    QCOMPARE(request.url().query(QUrl::FullyEncoded).toLatin1(), query);
}

void TstSmsCenter::balanceRequest()
{
    GatewayTest::writeProviderSettings("SmsCenter", credentials);
    PROV_SmsCenter provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestBalance, {}, &request, &body,
                                       &method),
             0);
    QCOMPARE(method, QString("POST"));
    QCOMPARE(request.url().toEncoded(),
             QByteArray("https://smsc.ru/sys/balance.php?login=user&psw=p%40ss&fmt=2&cur=0"));
}

void TstSmsCenter::batchLimits_data()
{
    GatewayTest::addBatchLimitRows(100);
}

void TstSmsCenter::batchLimits()
{
    QByteArray body;
    GatewayTest::checkBatchRow<PROV_SmsCenter>("SmsCenter", credentials, &body);
}

static QList<QPair<QString, QString>> formItems(const QByteArray &encoded)
{
    QList<QPair<QString, QString>> items;
    for (QByteArray pair : encoded.split('&')) {
        pair.replace('+', ' ');
        const int eq = pair.indexOf('=');
        items.append({QString::fromUtf8(QByteArray::fromPercentEncoding(pair.left(eq))),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(eq + 1)))});
    }
    return items;
}

void TstSmsCenter::longRequestMovesToFormBody_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("inBody");
    QTest::newRow("100-short-latin-in-query") << 100 << "x" << false;
    QTest::newRow("1-longest-cyrillic-in-query") << 1 << QString(111, QChar(0x416)) << false;
    QTest::newRow("20-cyrillic-alarms-in-body")
        << 20 << QString::fromUtf8("Тревога! Объект 1234, зона 5: проникновение") << true;
    QTest::newRow("100-longest-cyrillic-in-body") << 100 << QString(111, QChar(0x416)) << true;
}

void TstSmsCenter::longRequestMovesToFormBody()
{
    QFETCH(int, count);
    QFETCH(QString, text);
    QFETCH(bool, inBody);
    QVariantMap settings = credentials;
    settings.insert("senderID", "ZEL");
    GatewayTest::writeProviderSettings("SmsCenter", settings);
    PROV_SmsCenter provider;
    QVERIFY(provider.readSettings());
    QList<SMSMessage> batch;
    QStringList lines;
    for (int i = 0; i < count; ++i) {
        batch.append(GatewayTest::sms(QByteArray::number(89000000000LL + i), text));
        lines << QString("7%1:%2").arg(9000000000LL + i).arg(text);
    }
    QNetworkRequest request;
    QByteArray body;
    QString method;
    QCOMPARE(provider.buildRestRequest(BasicSmsRestProvider::RequestSms, batch, &request, &body,
                                       &method),
             0);
    QCOMPARE(method, QString("POST"));
    QVERIFY(request.url().toEncoded().size() <= PROV_SmsCenter::MaxUrlLength);
    QCOMPARE(request.url().path(), QString("/sys/send.php"));
    QCOMPARE(request.url().hasQuery(), !inBody);
    QCOMPARE(body.isEmpty(), !inBody);
    QCOMPARE(GatewayTest::contentType(request),
             QByteArray(inBody ? "application/x-www-form-urlencoded" : "text/plain"));
    const auto items =
        formItems(inBody ? body : request.url().query(QUrl::FullyEncoded).toLatin1());
    QStringList names;
    for (const auto &item : items)
        names << item.first;
    QCOMPARE(names, QStringList({"login", "psw", "fmt", "sender", "translit", "flash", "cost",
                                 "charset", "pp", "list"}));
    QCOMPARE(items.last().second, lines.join('\n'));
}

void TstSmsCenter::parseReply_data()
{
    GatewayTest::addResultColumns();
    QTest::addColumn<QVariant>("spent");
    QTest::addColumn<QVariant>("balance");

    const QString bad = QString::fromUtf8("Неверный формат запроса");
    QTest::newRow("send-id-cost-other")
        << 1 << QByteArray("<result><id>77</id><cost>1.5</cost><cnt>1</cnt></result>") << true << 0
        << bad << QVariant(1.5) << QVariant();
    QTest::newRow("send-error-with-code")
        << 1
        << QByteArray("<result><error>invalid number</error><error_code>7</error_code></result>")
        << false << 7 << "invalid number" << QVariant() << QVariant();
    QTest::newRow("send-only-other-elements") << 1 << QByteArray("<result><cnt>1</cnt></result>")
                                              << false << 1 << bad << QVariant() << QVariant();
    QTest::newRow("send-bad-error-code")
        << 1 << QByteArray("<result><error_code>x</error_code></result>") << false << 1 << bad
        << QVariant() << QVariant();
    QTest::newRow("send-later-error-code-overrides-id")
        << 1 << QByteArray("<result><id>1</id><error_code>3</error_code></result>") << false << 3
        << bad << QVariant() << QVariant();
    QTest::newRow("send-error-code-zero-without-id-is-refusal")
        << 1 << QByteArray("<result><error_code>0</error_code></result>") << false << 1 << bad
        << QVariant() << QVariant();
    QTest::newRow("send-error-element-beside-id-is-refusal")
        << 1 << QByteArray("<result><id>5</id><error>duplicate</error></result>") << false << 1
        << "duplicate" << QVariant() << QVariant();
    QTest::newRow("send-cost-unreadable")
        << 1 << QByteArray("<result><id>1</id><cost>n/a</cost></result>") << true << 0 << bad
        << QVariant() << QVariant();
    QTest::newRow("send-not-xml") << 1 << QByteArray("ERROR = 2") << false << 1 << bad << QVariant()
                                  << QVariant();
    QTest::newRow("send-element-names-case-sensitive")
        << 1 << QByteArray("<Result><id>1</id></Result>") << false << 1 << bad << QVariant()
        << QVariant();
    QTest::newRow("balance-root") << 2 << QByteArray("<balance>100.25</balance>") << true << 0
                                  << bad << QVariant() << QVariant(100.25);
    QTest::newRow("balance-inside-result")
        << 2 << QByteArray("<result><balance>100.25</balance></result>") << false << 1 << bad
        << QVariant() << QVariant(0.0);
    QTest::newRow("balance-unreadable") << 2 << QByteArray("<balance>abc</balance>") << false << 0
                                        << bad << QVariant() << QVariant(0.0);
    QTest::newRow("balance-refused")
        << 2 << QByteArray("<result><error>bad login</error><error_code>2</error_code></result>")
        << false << 2 << "bad login" << QVariant() << QVariant(0.0);
}

void TstSmsCenter::parseReply()
{
    QFETCH(QVariant, spent);
    QFETCH(QVariant, balance);
    const QVariantMap map = GatewayTest::checkResultRow(&PROV_SmsCenter::parseReply);
    QCOMPARE(map.contains("spent"), spent.isValid());
    if (spent.isValid())
        QCOMPARE(map.value("spent").toDouble(), spent.toDouble());
    QCOMPARE(map.contains("balance"), balance.isValid());
    if (balance.isValid())
        QCOMPARE(map.value("balance").toDouble(), balance.toDouble());
}

void TstSmsCenter::liveBalanceThenSpent()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    QVariantMap settings = credentials;
    settings.insert("baseUrl", gw.baseUrl().toString());
    GatewayTest::writeProviderSettings("SmsCenter", settings);
    gw.enqueueReply(GatewayEmulator::Reply::xml("<balance>100.25</balance>"), "/sys/balance.php");
    gw.enqueueReply(GatewayEmulator::Reply::xml("<result><id>9</id><cost>1.5</cost></result>"),
                    "/sys/send.php");

    PROV_SmsCenter provider;
    provider.start();
    int known = 0;
    QTRY_VERIFY_WITH_TIMEOUT((provider.balance(&known), known == 1), 10000);
    provider.enqueueSms(GatewayTest::sms("89001234567", "Тревога + пожар\nзона 3"));
    QTRY_COMPARE_WITH_TIMEOUT(gw.requestsTo("/sys/send.php").size(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(provider.batchSize(), 0, 10000);
    QCOMPARE(provider.balance(&known), 98.75);
    provider.stop();

    const GatewayEmulator::Request sent = gw.requestsTo("/sys/send.php").first();
    QCOMPARE(sent.method, QByteArray("POST"));
    QCOMPARE(sent.queryValue("login"), QString("user"));
    QCOMPARE(sent.queryValue("psw"), QString("p@ss"));
    QCOMPARE(sent.queryValue("list"), QString("79001234567:Тревога + пожар\\nзона 3"));
}

// The password and the texts travel in the query; an HTTP error must be
// logged without them.
void TstSmsCenter::httpErrorLogKeepsPasswordOut()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    GatewayTest::writeProviderSettings(
        "SmsCenter",
        {{"login", "user"}, {"password", "Sekr3t-pw"}, {"baseUrl", gw.baseUrl().toString()}});
    gw.setDefaultReply(GatewayEmulator::Reply::text("oops", 500));

    PROV_SmsCenter provider;
    LogCapture capture;
    QVERIFY(GatewayTest::runFailedSend(&provider, GatewayTest::sms("89001234567", "Тайна"), 10000));
    provider.stop();
    const QString log = capture.messages().join('\n');
    QVERIFY2(log.contains("Ошибка отправки SMS"), qPrintable(log));
    QVERIFY2(!log.contains("Sekr3t"), qPrintable(log));
    QVERIFY2(!log.contains("Тайна") && !log.contains("%D0%A2"), qPrintable(log));
}

ZEL_TEST_MAIN(TstSmsCenter)
#include "tst_smscenter.moc"
