#include "formquery.h"
#include "gatewaytestsupport.h"
#include "jsonsmsgateway.h"
#include "xmlrequestwriter.h"
#include "zeltestmain.h"

#include <QTest>
#include <QUrl>
#include <QXmlStreamReader>

// Decodes a query the way PHP and most form parsers do: '+' is a space,
// then percent-decoding, UTF-8.
static QList<QPair<QString, QString>> formDecode(const QByteArray &query)
{
    QList<QPair<QString, QString>> out;
    for (QByteArray pair : query.split('&')) {
        pair.replace('+', ' ');
        const int eq = pair.indexOf('=');
        const QByteArray name = eq < 0 ? pair : pair.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        out.append({QString::fromUtf8(QByteArray::fromPercentEncoding(name)),
                    QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return out;
}

class TstGatewayCommon : public QObject
{
    Q_OBJECT

private slots:
    void formQueryRoundTrip_data();
    void formQueryRoundTrip();
    void formQueryKeepsOrderAndDuplicates();
    void xmlSafe_data();
    void xmlSafe();
    void xmlWriterDocument();
    void readSendReply_data();
    void readSendReply();
    void readBalanceReply_data();
    void readBalanceReply();
    void sentBatchPhoneFor();
};

void TstGatewayCommon::formQueryRoundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("plus-stays-plus") << "a+b" << QByteArray("v=a%2Bb");
    QTest::newRow("percent-hex-stays-literal") << "%41" << QByteArray("v=%2541");
    QTest::newRow("ampersand-equals-hash") << "x&y=z#w" << QByteArray("v=x%26y%3Dz%23w");
    QTest::newRow("space") << "a b" << QByteArray("v=a%20b");
    QTest::newRow("cyrillic-utf8") << QString::fromUtf8("Ж") << QByteArray("v=%D0%96");
    QTest::newRow("line-feed") << "1\n2" << QByteArray("v=1%0A2");
    QTest::newRow("unreserved-untouched") << "Az09-._~" << QByteArray("v=Az09-._~");
    QTest::newRow("empty") << "" << QByteArray("v=");
}

void TstGatewayCommon::formQueryRoundTrip()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, encoded);
    FormQuery query;
    query.add("v", value);
    QCOMPARE(query.encoded(), encoded);

    QUrl url("http://127.0.0.1/p");
    query.applyTo(&url);
    const QByteArray onWire = url.toEncoded();
    QCOMPARE(onWire.mid(onWire.indexOf('?') + 1), encoded);
    const auto decoded = formDecode(url.query(QUrl::FullyEncoded).toLatin1());
    QCOMPARE(decoded.size(), 1);
    QCOMPARE(decoded.first().second, value);
}

void TstGatewayCommon::formQueryKeepsOrderAndDuplicates()
{
    FormQuery query;
    query.add("multi[7]", "b");
    query.add("a", "1");
    query.add("multi[7]", "c");
    QCOMPARE(query.encoded(), QByteArray("multi%5B7%5D=b&a=1&multi%5B7%5D=c"));
}

void TstGatewayCommon::xmlSafe_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("safe");
    QTest::newRow("plain") << "abc"
                           << "abc";
    QTest::newRow("tab-lf-cr-kept") << "a\tb\nc\rd"
                                    << "a\tb\nc\rd";
    QTest::newRow("soh-replaced") << QString("a") + QChar(1) + "b"
                                  << "a b";
    QTest::newRow("nul-replaced") << QString("a") + QChar(0) + "b"
                                  << "a b";
    QTest::newRow("fffe-replaced") << QString("x") + QChar(0xFFFE) << "x ";
    QTest::newRow("lone-surrogate-replaced") << QString("x") + QChar(0xD800) + "y"
                                             << "x y";
    QTest::newRow("pair-kept") << QString::fromUtf8("\xF0\x9F\x94\xA5")
                               << QString::fromUtf8("\xF0\x9F\x94\xA5");
    QTest::newRow("cyrillic-kept") << QString::fromUtf8("Тревога") << QString::fromUtf8("Тревога");
}

void TstGatewayCommon::xmlSafe()
{
    QFETCH(QString, text);
    QFETCH(QString, safe);
    QCOMPARE(XmlRequestWriter::xmlSafe(text), safe);

    // Whatever the text, the written document stays well-formed.
    XmlRequestWriter writer;
    writer.startElement("r");
    writer.textElement("t", text);
    writer.emptyElement("e", {{"a", text}});
    QXmlStreamReader reader(writer.finish());
    while (!reader.atEnd())
        reader.readNext();
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
}

void TstGatewayCommon::xmlWriterDocument()
{
    XmlRequestWriter writer;
    writer.startElement("request");
    writer.emptyElement("login", {{"value", "a<&\"b"}});
    writer.startElement("message");
    writer.attribute("type", "sms");
    writer.textElement("text", QString::fromUtf8("Ж<"));
    // left open on purpose: finish() closes it
    QCOMPARE(writer.finish(),
             QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><request><login "
                        "value=\"a&lt;&amp;&quot;b\"/><message type=\"sms\"><text>\xD0\x96&lt;"
                        "</text></message></request>\n"));
}

void TstGatewayCommon::readSendReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("statusOk");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QStringList>("rejected"); // "index/clientId/status"

    QTest::newRow("not-json") << QByteArray("<html>") << false << false << "" << QStringList();
    QTest::newRow("no-status") << QByteArray(R"({"messages":[{"status":"accepted"}]})") << false
                               << false << "" << QStringList();
    QTest::newRow("status-OK-uppercase")
        << QByteArray(R"({"status":"OK","messages":[]})") << false << false << "" << QStringList();
    QTest::newRow("ok-empty-messages")
        << QByteArray(R"({"status":"ok","messages":[]})") << true << false << "" << QStringList();
    QTest::newRow("ok-accepted")
        << QByteArray(R"({"status":"ok","messages":[{"clientId":"0","status":"accepted"}]})")
        << true << true << "" << QStringList();
    QTest::newRow("ok-refused-then-accepted")
        << QByteArray(
               R"({"status":"ok","messages":[{"clientId":"0","status":"invalid mobile phone"},)"
               R"({"clientId":"1","status":"accepted"}]})")
        << true << true << "" << QStringList{"0/0/invalid mobile phone"};
    QTest::newRow("ok-accepted-then-refused-is-still-reported")
        << QByteArray(R"({"status":"ok","messages":[{"clientId":"5","status":"accepted"},)"
                      R"({"clientId":"6","status":"text is empty"}]})")
        << true << true << "" << QStringList{"1/6/text is empty"};
    QTest::newRow("ok-none-accepted-first-nonempty-status")
        << QByteArray(R"({"status":"ok","messages":[{"status":""},{"status":"a"},{"status":"b"}]})")
        << true << false << "a" << QStringList{"0//", "1//a", "2//b"};
    QTest::newRow("numeric-client-id")
        << QByteArray(R"({"status":"ok","messages":[{"clientId":7,"status":"x"}]})") << true
        << false << "x" << QStringList{"0/7/x"};
}

void TstGatewayCommon::readSendReply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, statusOk);
    QFETCH(bool, accepted);
    QFETCH(QString, errorText);
    QFETCH(QStringList, rejected);
    const JsonSmsGateway::SendReply reply = JsonSmsGateway::readSendReply(body);
    QCOMPARE(reply.statusOk, statusOk);
    QCOMPARE(reply.accepted, accepted);
    QCOMPARE(reply.errorText, errorText);
    QStringList got;
    for (const auto &r : reply.rejected)
        got << QString("%1/%2/%3").arg(r.index).arg(r.clientId, r.status);
    QCOMPARE(got, rejected);
}

void TstGatewayCommon::readBalanceReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("description");

    QTest::newRow("number") << QByteArray(R"({"status":"ok","balance":12.5})") << true << 12.5
                            << "ok"
                            << "";
    QTest::newRow("array-of-object")
        << QByteArray(R"({"status":"ok","balance":[{"type":"RUB","balance":12.5,"credit":0}]})")
        << true << 12.5 << "ok"
        << "";
    QTest::newRow("array-empty") << QByteArray(R"({"status":"ok","balance":[]})") << false << 0.0
                                 << "ok"
                                 << "";
    QTest::newRow("array-string-balance")
        << QByteArray(R"({"status":"ok","balance":[{"balance":"12.5"}]})") << false << 0.0 << "ok"
        << "";
    QTest::newRow("string-balance")
        << QByteArray(R"({"status":"ok","balance":"12.5"})") << false << 0.0 << "ok"
        << "";
    QTest::newRow("no-status") << QByteArray(R"({"balance":3})") << true << 3.0 << ""
                               << "";
    QTest::newRow("error-description")
        << QByteArray(R"({"status":"error","description":"bad login"})") << false << 0.0 << "error"
        << "bad login";
    QTest::newRow("not-json") << QByteArray("balance=5") << false << 0.0 << ""
                              << "";
}

void TstGatewayCommon::readBalanceReply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, found);
    QFETCH(double, balance);
    QFETCH(QString, status);
    QFETCH(QString, description);
    const JsonSmsGateway::BalanceReply reply = JsonSmsGateway::readBalanceReply(body);
    QCOMPARE(reply.found, found);
    QCOMPARE(reply.balance, balance);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.description, description);
}

void TstGatewayCommon::sentBatchPhoneFor()
{
    JsonSmsGateway::SentBatch sent;
    sent.add("10", "89000000010");
    sent.add("11", "89000000011");
    QCOMPARE(sent.phoneFor({0, "11", "x"}), QString("89000000011"));
    QCOMPARE(sent.phoneFor({1, "", "x"}), QString("89000000011"));   // by position
    QCOMPARE(sent.phoneFor({0, "99", "x"}), QString("89000000010")); // unknown id: position
    QCOMPARE(sent.phoneFor({5, "", "x"}), QString("?"));
}

ZEL_TEST_MAIN(TstGatewayCommon)
#include "tst_gatewaycommon.moc"
