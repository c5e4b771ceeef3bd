#include "gatewayemulator.h"
#include "logcapture.h"
#include "prov_smsru.h"
#include "smsruprotocol.h"
#include "zeltestmain.h"

#include <QFile>
#include <QPluginLoader>
#include <QSettings>
#include <QtTest>
#include <memory>

using Reply = GatewayEmulator::Reply;
using Items = QList<QPair<QString, QString>>;

Q_DECLARE_METATYPE(Items)

namespace {

SMSMessage utf8(const QByteArray &phone, const QString &text)
{
    return SmsText::makeMessage(phone, text.toUtf8(), SMSMessage::EncodingUtf8);
}

// What the gateway's form decoder makes of the query we send.
Items decoded(const QUrl &url)
{
    return GatewayEmulator::decodeQuery(url.query(QUrl::FullyEncoded).toLatin1());
}

QSettings providerSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
}

void writeSettings(const QVariantMap &values)
{
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
    s.remove("SmsRU");
    s.beginGroup("SmsRU");
    for (auto it = values.begin(); it != values.end(); ++it)
        s.setValue(it.key(), it.value());
    s.endGroup();
    s.sync();
    QFile::setPermissions(s.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

// Two ticks put the next request on the wire; its reply then returns the
// machine to idle.
bool tickUntilIdle(PROV_SmsRU &prov)
{
    prov.stateMachine();
    prov.stateMachine();
    return QTest::qWaitFor([&] { return prov.state() == BasicSmsRestProvider::StateIdle; }, 5000);
}

} // namespace

class TestProvSmsRU : public QObject
{
    Q_OBJECT

private slots:
    void sendQuery_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<bool>("translit");
        QTest::addColumn<QList<QByteArray>>("phones");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<Items>("expected");
        const Items head{
            {"api_id", "KEY-1"}, {"from", "Zel"}, {"translit", "0"}, {"partner_id", "493517"}};
        QTest::newRow("one-sms-8-to-7")
            << "Zel" << false << QList<QByteArray>{"89001234567"} << QStringList{"Тревога"}
            << (head + Items{{"multi[79001234567]", "Тревога"}});
        QTest::newRow("empty-sender-translit-on")
            << "" << true << QList<QByteArray>{"+79001234567"} << QStringList{"x"}
            << Items{{"api_id", "KEY-1"},
                     {"from", ""},
                     {"translit", "1"},
                     {"partner_id", "493517"},
                     {"multi[79001234567]", "x"}};
        QTest::newRow("two-to-same-number")
            << "Zel" << false << QList<QByteArray>{"89001234567", "89001234567"}
            << QStringList{"first", "second"}
            << (head + Items{{"multi[79001234567]", "first"}, {"multi[79001234567]", "second"}});
        QTest::newRow("batch-order-kept")
            << "Zel" << false << QList<QByteArray>{"89000000002", "89000000001"}
            << QStringList{"b", "a"}
            << (head + Items{{"multi[79000000002]", "b"}, {"multi[79000000001]", "a"}});
        QTest::newRow("plus-amp-percent-hash-survive")
            << "Zel" << false << QList<QByteArray>{"89001234567"}
            << QStringList{"1+1=2 & 50% off #5 %41 a;b"}
            << (head + Items{{"multi[79001234567]", "1+1=2 & 50% off #5 %41 a;b"}});
        QTest::newRow("newline-in-text")
            << "Zel" << false << QList<QByteArray>{"89001234567"} << QStringList{"Объект 12\nПожар"}
            << (head + Items{{"multi[79001234567]", "Объект 12\nПожар"}});
    }
    void sendQuery()
    {
        QFETCH(QString, sender);
        QFETCH(bool, translit);
        QFETCH(QList<QByteArray>, phones);
        QFETCH(QStringList, texts);
        QFETCH(Items, expected);
        SmsRuProtocol::Settings settings{"KEY-1", sender, translit};
        QList<SMSMessage> batch;
        for (int i = 0; i < phones.size(); ++i)
            batch << utf8(phones.at(i), texts.at(i));
        const SmsRuProtocol::Request req =
            SmsRuProtocol::sendRequest(QUrl("https://sms.ru/sms/send"), settings, batch);
        QCOMPARE(req.url.path(), QString("/sms/send"));
        QCOMPARE(req.url.host(), QString("sms.ru"));
        QCOMPARE(req.contentType, QByteArray("text/plain"));
        QVERIFY(req.body.isEmpty());
        QCOMPARE(decoded(req.url), expected);
    }

    // A request that fits keeps every byte of its URL as gateways have
    // always received it; only the bytes of the text are encoded by us.
    void shortRequestExactBytes()
    {
        const SmsRuProtocol::Request req = SmsRuProtocol::sendRequest(
            QUrl("http://127.0.0.1:8080/sms/send"), {"K+1", "Zel Alarm", true},
            {utf8("89001234567", "Тревога 1+1"), utf8("+79007654321", "a&b=c")});
        QCOMPARE(req.url.toEncoded(),
                 QByteArray("http://127.0.0.1:8080/sms/send?api_id=K%2B1&from=Zel%20Alarm&"
                            "translit=1&partner_id=493517&multi%5B79001234567%5D="
                            "%D0%A2%D1%80%D0%B5%D0%B2%D0%BE%D0%B3%D0%B0%201%2B1&"
                            "multi%5B79007654321%5D=a%26b%3Dc"));
        QCOMPARE(req.contentType, QByteArray("text/plain"));
        QVERIFY(req.body.isEmpty());
    }

    void longBatchMovesToBody_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("inBody");
        QTest::newRow("100-short-latin-in-query") << 100 << "x" << false;
        QTest::newRow("1-longest-cyrillic-in-query") << 1 << QString(112, QChar(0x416)) << false;
        QTest::newRow("2-mixed-cyrillic-in-query")
            << 2 << QStringLiteral("Тревога! Объект 1234, зона 5: проникновение") << false;
        QTest::newRow("20-cyrillic-alarms-in-body")
            << 20 << QStringLiteral("Тревога! Объект 1234, зона 5: проникновение") << true;
        QTest::newRow("100-longest-cyrillic-in-body") << 100 << QString(112, QChar(0x416)) << true;
    }
    void longBatchMovesToBody()
    {
        QFETCH(int, count);
        QFETCH(QString, text);
        QFETCH(bool, inBody);
        QList<SMSMessage> batch;
        Items expected{
            {"api_id", "KEY-1"}, {"from", "Zel"}, {"translit", "0"}, {"partner_id", "493517"}};
        for (int i = 0; i < count; ++i) {
            // Each SMS distinct in number and text, so a swap or a loss shows.
            const QString own = text.left(text.size() - 3) + QString::number(100 + i);
            batch << utf8(QByteArray::number(89000000000LL + i), own);
            expected << qMakePair(QString("multi[7%1]").arg(9000000000LL + i), own);
        }
        const SmsRuProtocol::Request req = SmsRuProtocol::sendRequest(
            QUrl("https://sms.ru/sms/send"), {"KEY-1", "Zel", false}, batch);
        QVERIFY(req.url.toEncoded().size() <= SmsRuProtocol::MaxUrlLength);
        QCOMPARE(req.url.path(), QString("/sms/send"));
        QCOMPARE(req.url.hasQuery(), !inBody);
        QCOMPARE(req.body.isEmpty(), !inBody);
        QCOMPARE(req.contentType,
                 QByteArray(inBody ? "application/x-www-form-urlencoded" : "text/plain"));
        QCOMPARE(GatewayEmulator::decodeQuery(
                     inBody ? req.body : req.url.query(QUrl::FullyEncoded).toLatin1()),
                 expected);
    }

    // The URL is built here by hand up to an exact length: up to the limit it
    // must be sent as it is; one byte more and its query, unchanged, becomes
    // the body of a POST to the bare endpoint.
    void urlLengthBoundary_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QByteArray>("unitEncoded");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("inBody");
        QTest::newRow("latin-3999-query") << "a" << QByteArray("a") << 3999 << false;
        QTest::newRow("latin-4000-query") << "a" << QByteArray("a") << 4000 << false;
        QTest::newRow("latin-4001-body") << "a" << QByteArray("a") << 4001 << true;
        QTest::newRow("cyrillic-4000-query") << "Ж" << QByteArray("%D0%96") << 4000 << false;
        QTest::newRow("cyrillic-4001-body") << "Ж" << QByteArray("%D0%96") << 4001 << true;
        QTest::newRow("space-4000-query") << " " << QByteArray("%20") << 4000 << false;
        QTest::newRow("plus-4002-body") << "+" << QByteArray("%2B") << 4002 << true;
    }
    void urlLengthBoundary()
    {
        QFETCH(QString, unit);
        QFETCH(QByteArray, unitEncoded);
        QFETCH(int, length);
        QFETCH(bool, inBody);
        const QByteArray endpoint("http://127.0.0.1:8080/sms/send");
        QByteArray url = endpoint + "?api_id=KEY-1&from=Zel&translit=0&partner_id=493517";
        const int itemHead = int(QByteArray("&multi%5B79000000000%5D=").size());
        const int rawUnit = unit.toUtf8().size();
        // Each text stays well inside the 224 bytes an SMS record holds.
        const int unitsPerSms = 180 / rawUnit;
        const int perSms = itemHead + unitsPerSms * int(unitEncoded.size());
        const int total = length - int(url.size());
        const int smsCount = (total + perSms - 1) / perSms;
        QList<SMSMessage> batch;
        for (int i = 0; i < smsCount; ++i) {
            const int budget = total / smsCount + (i < total % smsCount ? 1 : 0) - itemHead;
            const int units = budget / int(unitEncoded.size());
            const int pad = budget - units * int(unitEncoded.size());
            const QString text = unit.repeated(units) + QString(pad, QLatin1Char('a'));
            const QByteArray phone = QByteArray::number(89000000000LL + i);
            batch << utf8(phone, text);
            url += "&multi%5B7" + phone.mid(1) + "%5D=" + unitEncoded.repeated(units) +
                   QByteArray(pad, 'a');
        }
        QCOMPARE(url.size(), length);

        const SmsRuProtocol::Request req = SmsRuProtocol::sendRequest(
            QUrl(QString::fromLatin1(endpoint)), {"KEY-1", "Zel", false}, batch);
        if (inBody) {
            QCOMPARE(req.url.toEncoded(), endpoint);
            QCOMPARE(req.body, url.mid(endpoint.size() + 1));
            QCOMPARE(req.contentType, QByteArray("application/x-www-form-urlencoded"));
        } else {
            QCOMPARE(req.url.toEncoded(), url);
            QVERIFY(req.body.isEmpty());
            QCOMPARE(req.contentType, QByteArray("text/plain"));
        }
    }

    void messageEncodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QString>("text");
        const QString t = QStringLiteral("Тревога");
        QByteArray utf16;
        for (QChar c : t)
            utf16 += char(c.unicode() & 0xff), utf16 += char(c.unicode() >> 8);
        QTest::newRow("utf8") << t.toUtf8() << 1 << t;
        QTest::newRow("utf16le") << utf16 << 2 << t;
        QTest::newRow("cp1251") << QByteArray("\xD2\xF0\xE5\xE2\xEE\xE3\xE0") << 0 << t;
    }
    void messageEncodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, encoding);
        QFETCH(QString, text);
        const SMSMessage msg = SmsText::makeMessage("89001234567", bytes, uint8_t(encoding));
        const QUrl url =
            SmsRuProtocol::sendRequest(QUrl("https://sms.ru/sms/send"), {"k", "", false}, {msg})
                .url;
        QCOMPARE(decoded(url).last().second, text);
    }

    void balanceQuery()
    {
        const SmsRuProtocol::Request req = SmsRuProtocol::balanceRequest(
            QUrl("http://127.0.0.1:9/my/balance"), {"K&Y", "S", true});
        QCOMPARE(req.url.toEncoded(), QByteArray("http://127.0.0.1:9/my/balance?api_id=K%26Y"));
        QCOMPARE(req.contentType, QByteArray("text/plain"));
        QVERIFY(req.body.isEmpty());
    }

    void parseReply_data()
    {
        QTest::addColumn<int>("requestType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("balance"); // -1: no balance key expected
        QTest::newRow("send-100") << 1 << QByteArray("100") << true << 100 << "" << -1.0;
        QTest::newRow("send-100-more-lines")
            << 1 << QByteArray("100\n000-1\n000-2\nbalance=5") << true << 100 << "" << -1.0;
        QTest::newRow("send-100-crlf")
            << 1 << QByteArray("100\r\n000-1") << true << 100 << "" << -1.0;
        QTest::newRow("send-200") << 1 << QByteArray("200") << false << 200 << "Неверный ключ API"
                                  << -1.0;
        QTest::newRow("send-201") << 1 << QByteArray("201\n") << false << 201
                                  << "Недостаточно средств" << -1.0;
        QTest::newRow("send-204") << 1 << QByteArray("204") << false << 204
                                  << "Имя отправителя не согласовано с администрацией" << -1.0;
        QTest::newRow("send-202-other")
            << 1 << QByteArray("202") << false << 202 << "Неверный формат запроса" << -1.0;
        QTest::newRow("send-not-a-number")
            << 1 << QByteArray("OK\n100") << false << 0 << "Неверный формат запроса" << -1.0;
        QTest::newRow("send-empty")
            << 1 << QByteArray() << false << 0 << "Неверный формат запроса" << -1.0;
        QTest::newRow("send-zero-byte-cuts")
            << 1 << QByteArray("100\0junk", 8) << true << 100 << "" << -1.0;
        QTest::newRow("send-zero-byte-first") << 1
                                              << QByteArray("\0"
                                                            "100",
                                                            4)
                                              << false << 0 << "Неверный формат запроса" << -1.0;
        QTest::newRow("balance-ok")
            << 2 << QByteArray("100\n123.45") << true << 100 << "" << 123.45;
        QTest::newRow("balance-ok-crlf")
            << 2 << QByteArray("100\r\n7.5\r\n") << true << 100 << "" << 7.5;
        QTest::newRow("balance-100-alone") << 2 << QByteArray("100") << false << 100 << "" << 0.0;
        QTest::newRow("balance-bad-number")
            << 2 << QByteArray("100\nabc") << false << 100 << "" << 0.0;
        QTest::newRow("balance-200")
            << 2 << QByteArray("200\n5") << false << 200 << "Неверный ключ API" << 5.0;
    }
    void parseReply()
    {
        QFETCH(int, requestType);
        QFETCH(QByteArray, body);
        QFETCH(bool, success);
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(double, balance);
        const QVariantMap r = SmsRuProtocol::parseReply(body, requestType);
        QCOMPARE(r.value("success").toBool(), success);
        QCOMPARE(r.value("error_code").toInt(), code);
        QCOMPARE(r.value("error_text").toString(), text);
        QCOMPARE(r.contains("balance"), balance >= 0);
        if (balance >= 0)
            QCOMPARE(r.value("balance").toDouble(), balance);
    }

    void buildRestRequest_data()
    {
        QTest::addColumn<int>("requestType");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("inBody");
        const QString alarm = QStringLiteral("Тревога! Объект 1234, зона 5: проникновение");
        QTest::newRow("sms-1") << 1 << 1 << "t" << 0 << "/sms/send" << false;
        QTest::newRow("sms-100") << 1 << 100 << "t" << 0 << "/sms/send" << false;
        QTest::newRow("sms-100-cyrillic-body") << 1 << 100 << alarm << 0 << "/sms/send" << true;
        QTest::newRow("sms-0") << 1 << 0 << "t" << 1 << "" << false;
        QTest::newRow("sms-101") << 1 << 101 << "t" << 1 << "" << false;
        QTest::newRow("balance") << 2 << 0 << "" << 0 << "/my/balance" << false;
        QTest::newRow("type-0") << 0 << 1 << "t" << 1 << "" << false;
        QTest::newRow("type-3") << 3 << 1 << "t" << 1 << "" << false;
    }
    void buildRestRequest()
    {
        QFETCH(int, requestType);
        QFETCH(int, batchSize);
        QFETCH(QString, text);
        QFETCH(int, result);
        QFETCH(QString, path);
        QFETCH(bool, inBody);
        writeSettings({{"apiKey", "KEY"}, {"baseUrl", "http://127.0.0.1:8080"}});
        PROV_SmsRU prov;
        QVERIFY(prov.readSettings());
        QList<SMSMessage> batch;
        for (int i = 0; i < batchSize; ++i)
            batch << utf8("8900000" + QByteArray::number(1000 + i), text);
        QNetworkRequest request;
        QByteArray body("stale");
        QString method;
        QCOMPARE(prov.buildRestRequest(requestType, batch, &request, &body, &method), result);
        if (result != 0)
            return;
        QCOMPARE(method, QString("POST"));
        QCOMPARE(request.header(QNetworkRequest::ContentTypeHeader).toByteArray(),
                 QByteArray(inBody ? "application/x-www-form-urlencoded" : "text/plain"));
        QCOMPARE(body.isEmpty(), !inBody);
        QCOMPARE(request.url().path(), path);
        QCOMPARE(request.url().port(), 8080);
        QCOMPARE(request.url().hasQuery(), !inBody);
        const Items items = inBody ? GatewayEmulator::decodeQuery(body) : decoded(request.url());
        QCOMPARE(items.first(), qMakePair(QString("api_id"), QString("KEY")));
        QCOMPARE(items.size(), requestType == 2 ? 1 : 4 + batchSize);
        if (requestType == 1)
            QCOMPARE(items.last(),
                     qMakePair(QString("multi[7900000%1]").arg(1000 + batchSize - 1), text));
    }

    void parameters_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("0-invalid") << 0 << QVariant();
        QTest::newRow("1-id") << 1 << QVariant(QString("ZEL_SMS_PROVIDER_SMSRU"));
        QTest::newRow("2-max-failures") << 2 << QVariant(5);
        QTest::newRow("3-retry-pause") << 3 << QVariant(60);
        QTest::newRow("4-batch") << 4 << QVariant(true);
        QTest::newRow("5-batch-size") << 5 << QVariant(100);
        QTest::newRow("6-balance-check") << 6 << QVariant(true);
        QTest::newRow("7-balance-interval") << 7 << QVariant(120);
        QTest::newRow("8-codec") << 8 << QVariant(QString("UTF-8"));
        QTest::newRow("9-aux") << 9 << QVariant(30);
        QTest::newRow("10-reply-timeout") << 10 << QVariant(60);
        QTest::newRow("11-invalid") << 11 << QVariant();
        QTest::newRow("12-invalid") << 12 << QVariant();
    }
    void parameters()
    {
        QFETCH(int, id);
        QFETCH(QVariant, value);
        PROV_SmsRU prov;
        QCOMPARE(prov.parameter(id), value);
        QCOMPARE(prov.parameter(id).toUInt(), value.toUInt());
    }

    void readSettings_data()
    {
        QTest::addColumn<QVariantMap>("values");
        QTest::addColumn<bool>("ok");
        QTest::newRow("nothing") << QVariantMap() << false;
        QTest::newRow("empty-key") << QVariantMap{{"apiKey", ""}, {"senderID", "Zel"}} << false;
        QTest::newRow("key-only") << QVariantMap{{"apiKey", "K"}} << true;
        QTest::newRow("all") << QVariantMap{{"apiKey", "K"},
                                            {"senderID", "Zel"},
                                            {"translit", true}}
                             << true;
    }
    void readSettings()
    {
        QFETCH(QVariantMap, values);
        QFETCH(bool, ok);
        writeSettings(values);
        PROV_SmsRU prov;
        QCOMPARE(prov.readSettings(), ok);
    }

    void worldReadableSettingsWarned()
    {
        writeSettings({{"apiKey", "K"}});
        const QString file = providerSettings().fileName();
        QVERIFY(
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        LogCapture log;
        PROV_SmsRU prov;
        QVERIFY(prov.readSettings());
        QVERIFY(log.contains(QtWarningMsg, file));
    }

    void sendsAndReadsBalanceAgainstEmulator()
    {
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        writeSettings({{"apiKey", "KEY-9"},
                       {"senderID", "ZelAlarm"},
                       {"translit", false},
                       {"baseUrl", gw.baseUrl().toString()}});
        gw.enqueueReply(Reply::text("100\n15.25\n"), "/my/balance");
        gw.enqueueReply(Reply::text("100\n000-000001\n000-000002\nbalance=14.5"), "/sms/send");
        gw.enqueueReply(Reply::text("100\n14.5\n"), "/my/balance");
        PROV_SmsRU prov;
        prov.start();
        QVERIFY(tickUntilIdle(prov));
        int known = 0;
        QCOMPARE(prov.balance(&known), 15.25);
        QCOMPARE(known, 1);

        prov.enqueueSms(utf8("89001234567", "Тревога: объект 12"));
        prov.enqueueSms(utf8("89007654321", "Норма"));
        QVERIFY(tickUntilIdle(prov));
        QCOMPARE(prov.queueSize(), 0);
        QCOMPARE(prov.providerStatus(), int(StatusOk));

        const auto sends = gw.requestsTo("/sms/send");
        QCOMPARE(sends.size(), 1);
        const auto &req = sends.first();
        QCOMPARE(req.method, QByteArray("POST"));
        QCOMPARE(req.header("Content-Type"), QByteArray("text/plain"));
        QCOMPARE(req.body, QByteArray());
        QCOMPARE(req.queryItems, (Items{{"api_id", "KEY-9"},
                                        {"from", "ZelAlarm"},
                                        {"translit", "0"},
                                        {"partner_id", "493517"},
                                        {"multi[79001234567]", "Тревога: объект 12"},
                                        {"multi[79007654321]", "Норма"}}));
        const auto balances = gw.requestsTo("/my/balance");
        QCOMPARE(balances.first().method, QByteArray("POST"));
        QCOMPARE(balances.first().queryItems, (Items{{"api_id", "KEY-9"}}));
        prov.stop();
    }

    // The emulator refuses long request lines with 414 as web servers do, so a
    // batch whose items stayed in the URL would fail here on every retry.
    void batchReachesEmulatorWhole_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("inBody");
        QTest::newRow("2-cyrillic-in-query") << 2 << QStringLiteral("Тревога: объект 12") << false;
        QTest::newRow("100-cyrillic-in-body")
            << 100 << QStringLiteral("Тревога! Объект 1234, зона 5: проникновение 1+1=2 & 50%")
            << true;
    }
    void batchReachesEmulatorWhole()
    {
        QFETCH(int, count);
        QFETCH(QString, text);
        QFETCH(bool, inBody);
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        gw.setHandler([](const GatewayEmulator::Request &r) {
            if (r.path == QLatin1String("/my/balance"))
                return Reply::text("100\n50\n");
            if (r.path.size() + r.rawQuery.size() > 8000)
                return Reply::text("Request-URI Too Large", 414);
            return Reply::text("100\n000-000001\n");
        });
        writeSettings(
            {{"apiKey", "KEY-7"}, {"senderID", "ZelAlarm"}, {"baseUrl", gw.baseUrl().toString()}});
        PROV_SmsRU prov;
        prov.start();
        QVERIFY(tickUntilIdle(prov));

        Items expected{
            {"api_id", "KEY-7"}, {"from", "ZelAlarm"}, {"translit", "0"}, {"partner_id", "493517"}};
        for (int i = 0; i < count; ++i) {
            const QString own = QString("%1 #%2").arg(text).arg(i);
            prov.enqueueSms(utf8(QByteArray::number(89000000000LL + i), own));
            expected << qMakePair(QString("multi[7%1]").arg(9000000000LL + i), own);
        }
        QVERIFY(tickUntilIdle(prov));
        QCOMPARE(prov.queueSize(), 0);
        QCOMPARE(prov.failures(), 0);
        QCOMPARE(prov.providerStatus(), int(StatusOk));

        const auto sends = gw.requestsTo("/sms/send");
        QCOMPARE(sends.size(), 1);
        const GatewayEmulator::Request &req = sends.first();
        QCOMPARE(req.method, QByteArray("POST"));
        QCOMPARE(req.header("Content-Type"),
                 QByteArray(inBody ? "application/x-www-form-urlencoded" : "text/plain"));
        QCOMPARE(req.body.isEmpty(), !inBody);
        QCOMPARE(req.queryItems.isEmpty(), inBody);
        QCOMPARE(inBody ? GatewayEmulator::decodeQuery(req.body) : req.queryItems, expected);
        QCOMPARE(gw.requestsTo("/my/balance").first().queryItems, (Items{{"api_id", "KEY-7"}}));
        prov.stop();
    }

    void refusalAndHttpErrorStatus_data()
    {
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::newRow("refused-201") << 200 << QByteArray("201") << int(StatusGatewayError);
        QTest::newRow("http-500") << 500 << QByteArray("100") << int(StatusNoLink);
        QTest::newRow("http-404") << 404 << QByteArray("100") << int(StatusNoLink);
    }
    void refusalAndHttpErrorStatus()
    {
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        writeSettings({{"apiKey", "K"}, {"baseUrl", gw.baseUrl().toString()}});
        gw.enqueueReply(Reply::text("100\n50"), "/my/balance");
        gw.enqueueReply(Reply::text(body, httpStatus), "/sms/send");
        PROV_SmsRU prov;
        prov.start();
        QVERIFY(tickUntilIdle(prov));
        prov.enqueueSms(utf8("89001234567", "x"));
        QVERIFY(tickUntilIdle(prov));
        QCOMPARE(prov.providerStatus(), status);
        QCOMPARE(prov.queueSize(), 1);
        QCOMPARE(prov.failures(), 1);
        prov.stop();
    }

    void itemNameFree_data()
    {
        QTest::addColumn<QList<QByteArray>>("batch");
        QTest::addColumn<QByteArray>("next");
        QTest::addColumn<bool>("free");
        QTest::newRow("empty-batch") << QList<QByteArray>{} << QByteArray("89001234567") << true;
        QTest::newRow("same-bytes")
            << QList<QByteArray>{"89001234567"} << QByteArray("89001234567") << false;
        QTest::newRow("plus7-vs-8")
            << QList<QByteArray>{"+79001234567"} << QByteArray("89001234567") << false;
        QTest::newRow("bare-10-digits-vs-8")
            << QList<QByteArray>{"9001234567"} << QByteArray("89001234567") << false;
        QTest::newRow("international-00-prefix")
            << QList<QByteArray>{"89000000001", "00079001234567"} << QByteArray("+79001234567")
            << false;
        QTest::newRow("other-number")
            << QList<QByteArray>{"89001234567", "89001234568"} << QByteArray("89001234569") << true;
        QTest::newRow("short-numbers-kept-whole")
            << QList<QByteArray>{"12345"} << QByteArray("712345") << true;
        QTest::newRow("short-same") << QList<QByteArray>{"112"} << QByteArray("112") << false;
    }
    void itemNameFree()
    {
        QFETCH(QList<QByteArray>, batch);
        QFETCH(QByteArray, next);
        QFETCH(bool, free);
        QList<SMSMessage> held;
        for (const QByteArray &phone : batch)
            held << utf8(phone, "x");
        QList<SMSMessage *> pointers;
        for (SMSMessage &msg : held)
            pointers << &msg;
        const SMSMessage candidate = utf8(next, "y");
        QCOMPARE(SmsRuProtocol::itemNameFree(pointers, candidate), free);
        PROV_SmsRU prov;
        QCOMPARE(prov.canJoinBatch(pointers, candidate), free);
        // The rule and the request agree: a free name is one no item carries.
        QStringList names;
        for (const SMSMessage &msg : held)
            names << SmsRuProtocol::itemName(msg);
        QCOMPARE(!names.contains(SmsRuProtocol::itemName(candidate)), free);
    }

    // The gateway keeps only the last item of a name, so a batch with two SMS
    // to one number would lose the first while the reply says 100. Each
    // expected request lists its items as "name=text".
    void sameNumberGoesInSeparateRequests_data()
    {
        QTest::addColumn<QList<QByteArray>>("phones");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<QStringList>>("requests");
        QTest::newRow("plus7-and-8-two-requests")
            << QList<QByteArray>{"+79001234567", "89001234567"}
            << QStringList{"Тревога: объект 12", "Норма: объект 12"}
            << QList<QStringList>{{"multi[79001234567]=Тревога: объект 12"},
                                  {"multi[79001234567]=Норма: объект 12"}};
        QTest::newRow("repeat-after-other-number")
            << QList<QByteArray>{"89001234567", "89007654321", "+79001234567", "89005555555"}
            << QStringList{"a", "b", "c", "d"}
            << QList<QStringList>{{"multi[79001234567]=a", "multi[79007654321]=b"},
                                  {"multi[79001234567]=c", "multi[79005555555]=d"}};
        QTest::newRow("distinct-numbers-one-request")
            << QList<QByteArray>{"89001234567", "89007654321"} << QStringList{"a", "b"}
            << QList<QStringList>{{"multi[79001234567]=a", "multi[79007654321]=b"}};
    }
    void sameNumberGoesInSeparateRequests()
    {
        QFETCH(QList<QByteArray>, phones);
        QFETCH(QStringList, texts);
        QFETCH(QList<QStringList>, requests);
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        // Answers as the gateway does: 100, whatever the batch lost.
        gw.setHandler([](const GatewayEmulator::Request &r) {
            if (r.path == QLatin1String("/my/balance"))
                return Reply::text("100\n50\n");
            return Reply::text("100\n000-000001\n");
        });
        writeSettings({{"apiKey", "KEY-5"}, {"baseUrl", gw.baseUrl().toString()}});
        PROV_SmsRU prov;
        prov.start();
        QVERIFY(tickUntilIdle(prov));
        for (int i = 0; i < phones.size(); ++i)
            prov.enqueueSms(utf8(phones.at(i), texts.at(i)));
        QCOMPARE(prov.queueSize(), phones.size());
        for (int n = 0; n < requests.size(); ++n)
            QVERIFY(tickUntilIdle(prov));
        QCOMPARE(prov.queueSize(), 0);
        QCOMPARE(prov.failures(), 0);

        const auto sends = gw.requestsTo("/sms/send");
        QCOMPARE(sends.size(), requests.size());
        for (int n = 0; n < sends.size(); ++n) {
            QStringList items;
            for (const auto &item : sends.at(n).queryItems)
                if (item.first.startsWith(QLatin1String("multi[")))
                    items << item.first + QLatin1Char('=') + item.second;
            QCOMPARE(items, requests.at(n));
            QCOMPARE(sends.at(n).queryValue("api_id"), QString("KEY-5"));
        }
        prov.stop();
    }

    void secondGroupNamedInItsLines_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("origin"); // what ends each line
        QTest::newRow("usual-group") << "SmsRU"
                                     << "";
        QTest::newRow("second-group") << "SmsRU-2"
                                      << " [SmsRU-2]";
    }
    // Two accounts of one gateway in one process: the lines of the one on
    // another group than the usual must say which it is, the gateway's own
    // and those of the machine they share.
    void secondGroupNamedInItsLines()
    {
        QFETCH(QString, group);
        QFETCH(QString, origin);
        providerSettings().remove("SmsRU-2");
        writeSettings({}); // no apiKey in either group; the file private
        PROV_SmsRU root;
        std::unique_ptr<QObject> made(root.create(group));
        auto *prov = qobject_cast<PROV_SmsRU *>(made.get());
        QVERIFY(prov);
        LogCapture log(LogCapture::Quiet);
        prov->start();
        const QStringList critical = log.messages(QtCriticalMsg).replaceInStrings("\"", "");
        QCOMPARE(critical, QStringList{"Ошибка инициализации провайдера SMS оповещений" + origin});
        const QStringList warnings = log.messages(QtWarningMsg);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().startsWith("[PROV_SmsRU::readSettings()]: не задан apiKey") &&
                     warnings.first().endsWith(QStringLiteral(".conf") + origin),
                 qPrintable(warnings.first()));
    }

    void pluginMetadataAndInstance()
    {
        QPluginLoader loader(QStringLiteral(SMSRU_PLUGIN_PATH));
        const QJsonObject top = loader.metaData();
        QCOMPARE(top.value("IID").toString(), QString(ICommonSmsInterface_iid));
        QCOMPARE(top.value("className").toString(), QString("PROV_SmsRU"));
        const QJsonObject meta = top.value("MetaData").toObject();
        QCOMPARE(meta.value("provider_id").toString(), QString("ZEL_SMS_PROVIDER_SMSRU"));
        const QJsonObject info = meta.value("provider_info").toObject();
        QCOMPARE(info.value("providerRegKey").toString(), QString("SmsRU"));
        QCOMPARE(info.value("interface").toString(), QString("REST-API"));
        QCOMPARE(info.value("plugin_version").toString(), QString("1.0"));
        for (const char *key :
             {"balance_info", "batch_send", "russian_text", "sender_id", "translit"})
            QVERIFY2(info.value(key).toBool(), key);
        const QJsonArray tpl = meta.value("settings_template").toArray();
        QCOMPARE(tpl.size(), 3);
        QCOMPARE(tpl.at(0).toObject().value("field").toString(), QString("apiKey"));
        QCOMPARE(tpl.at(0).toObject().value("ru_text").toString(), QString("API ключ"));
        QCOMPARE(tpl.at(1).toObject().value("field").toString(), QString("senderID"));
        QCOMPARE(tpl.at(1).toObject().value("validator").toString(),
                 QString("^[a-zA-Z0-9.&-\\s]{0,11}$"));
        QCOMPARE(tpl.at(2).toObject().value("type").toString(), QString("Bool"));
        QCOMPARE(tpl.at(2).toObject().value("ru_text").toString(),
                 QString("Использовать транслит"));

        QObject *root = loader.instance();
        QVERIFY2(root, qPrintable(loader.errorString()));
        QCOMPARE(loader.instance(), root); // created once
        QVERIFY(qobject_cast<ICommonSmsInterface *>(root));
        QVERIFY(root->qt_metacast("BasicSmsRestProvider"));
        QCOMPARE(qobject_cast<ICommonSmsInterface *>(root)->parameter(1).toString(),
                 meta.value("provider_id").toString());
    }
};

ZEL_TEST_MAIN(TestProvSmsRU)
#include "tst_prov_smsru.moc"
