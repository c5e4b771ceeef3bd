#include "jsonsmsgateway.h"
#include "prov_smscenter.h"
#include "smsruprotocol.h"

#include <QtTest>

// The four gateways that tell a message's fate: the id each send reply gives
// every message, and what their status replies mean for each message asked about.
class TstGatewayStatus : public QObject
{
    Q_OBJECT

private slots:
    void sendReplyIds_data();
    void sendReplyIds();
    void statusReply_data();
    void statusReply();
};

namespace {

enum Gateway
{
    SmsRu,
    SmsCenter,
    Json
};

// Two messages sent, to these numbers, the JSON ones as clientIds 0 and 1.
const QStringList Phones{"79000000001", "79000000002"};

QList<GatewayStatus::Query> queries(const QStringList &ids)
{
    QList<GatewayStatus::Query> out;
    for (int i = 0; i < ids.size(); ++i)
        out.append({quint64(100 + i), ids.at(i), Phones.value(i)});
    return out;
}

} // namespace

void TstGatewayStatus::sendReplyIds_data()
{
    QTest::addColumn<int>("gateway");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("ids"); // the first two positions; none: no key at all
    QTest::newRow("smsru-one-per-number")
        << int(SmsRu) << QByteArray("100\r\n201-7\r\n201-8\r\nbalance=9.5\r\n")
        << QStringList{"201-7", "201-8"};
    QTest::newRow("smsru-refused") << int(SmsRu) << QByteArray("200\n") << QStringList();
    QTest::newRow("smscenter-one-id-for-the-send")
        << int(SmsCenter) << QByteArray("<result><cnt>2</cnt><id>77</id></result>")
        << QStringList{"77", "77"};
    QTest::newRow("smscenter-error")
        << int(SmsCenter)
        << QByteArray("<result><error>x</error><error_code>2</error_code></result>")
        << QStringList();
    QTest::newRow("json-by-client-id")
        << int(Json)
        << QByteArray(R"({"status":"ok","messages":[)"
                      R"({"clientId":"1","smscId":12345678901,"status":"accepted"},)"
                      R"({"clientId":"0","smscId":"a-1","status":"accepted"}]})")
        << QStringList{"a-1", "12345678901"};
    QTest::newRow("json-refused-or-without-id")
        << int(Json)
        << QByteArray(R"({"status":"ok","messages":[{"status":"accepted"},)"
                      R"({"smscId":"9","status":"invalid mobile phone"}]})")
        << QStringList{"", ""};
}

void TstGatewayStatus::sendReplyIds()
{
    QFETCH(int, gateway);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, ids);
    QVariantMap result;
    if (gateway == SmsRu) {
        result = SmsRuProtocol::parseReply(reply, 1);
    } else if (gateway == SmsCenter) {
        result = PROV_SmsCenter::parseReply(1, reply, 2);
    } else {
        JsonSmsGateway::SentBatch sent;
        sent.add("0", Phones.at(0));
        sent.add("1", Phones.at(1));
        result = JsonSmsGateway::sendResult(reply, QString());
        JsonSmsGateway::markRefusals(&result, reply, sent);
        JsonSmsGateway::markMessageIds(&result, reply, sent);
    }
    QCOMPARE(result.contains(ResultKey::MessageIds), !ids.isEmpty());
    QCOMPARE(result.value(ResultKey::MessageIds).toStringList().mid(0, 2), ids);
}

void TstGatewayStatus::statusReply_data()
{
    QTest::addColumn<int>("gateway");
    QTest::addColumn<QStringList>("ids"); // asked about, to Phones in order
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QVariantList>("answers"); // empty: the request failed
    using namespace GatewayStatus;
    const QStringList one{"m1"};
    struct Row
    {
        const char *status;
        Answer answer;
    };
    for (const Row &r :
         {Row{"100", AnswerWaiting}, Row{"102", AnswerWaiting}, Row{"103", AnswerConfirmed},
          Row{"104", AnswerFailed}, Row{"108", AnswerFailed}, Row{"150", AnswerFailed},
          Row{"-1", AnswerUnknownId}, Row{"109", AnswerUnknownStatus}})
        QTest::addRow("smsru-%s", r.status)
            << int(SmsRu) << one << QByteArray(r.status) + "\nstatus_text\n"
            << QVariantList{int(r.answer)};
    QTest::newRow("smsru-unreadable")
        << int(SmsRu) << one << QByteArray("<html>") << QVariantList();
    for (const Row &r :
         {Row{"-1", AnswerWaiting}, Row{"0", AnswerWaiting}, Row{"1", AnswerConfirmed},
          Row{"2", AnswerConfirmed}, Row{"3", AnswerFailed}, Row{"20", AnswerFailed},
          Row{"25", AnswerFailed}, Row{"-3", AnswerUnknownId}, Row{"21", AnswerUnknownStatus}})
        QTest::addRow("smscenter-%s", r.status)
            << int(SmsCenter) << one
            << "<result><status>" + QByteArray(r.status) + "</status><err>0</err></result>"
            << QVariantList{int(r.answer)};
    QTest::newRow("smscenter-several-by-id-and-number")
        << int(SmsCenter) << QStringList{"5", "5"}
        << QByteArray("<result><message><id>5</id><phone>+7 900 000-00-02</phone><status>3"
                      "</status></message><message><id>5</id><phone>79000000001</phone>"
                      "<status>1</status></message></result>")
        << QVariantList{int(AnswerConfirmed), int(AnswerFailed)};
    QTest::newRow("smscenter-one-missing")
        << int(SmsCenter) << QStringList{"5", "6"}
        << QByteArray("<result><message><id>6</id><phone>79000000002</phone><status>0</status>"
                      "</message></result>")
        << QVariantList{int(AnswerMissing), int(AnswerWaiting)};
    QTest::newRow("smscenter-error")
        << int(SmsCenter) << one
        << QByteArray("<result><error>bad login</error><error_code>2</error_code></result>")
        << QVariantList();
    for (const Row &r : {Row{"queued", AnswerWaiting}, Row{"smsc submit", AnswerWaiting},
                         Row{"delivered", AnswerConfirmed}, Row{"delivery error", AnswerFailed},
                         Row{"smsc reject", AnswerFailed}, Row{"incorrect id", AnswerUnknownId},
                         Row{"moderation", AnswerUnknownStatus}})
        QTest::addRow("json-%s", r.status)
            << int(Json) << one
            << R"({"status":"ok","messages":[{"smscId":"m1","status":")" + QByteArray(r.status) +
                   "\"}]}"
            << QVariantList{int(r.answer)};
    QTest::newRow("json-by-smsc-id-and-client-id")
        << int(Json) << QStringList{"m1", "m2"}
        << QByteArray(R"({"status":"ok","messages":[{"clientId":"101","status":"delivered"},)"
                      R"({"smscId":"m1","status":"queued"}]})")
        << QVariantList{int(AnswerWaiting), int(AnswerConfirmed)};
    QTest::newRow("json-refused") << int(Json) << one
                                  << QByteArray(R"({"status":"error","description":"x"})")
                                  << QVariantList();
}

void TstGatewayStatus::statusReply()
{
    QFETCH(int, gateway);
    QFETCH(QStringList, ids);
    QFETCH(QByteArray, reply);
    QFETCH(QVariantList, answers);
    const QList<GatewayStatus::Query> asked = queries(ids);
    const QVariantMap result = gateway == SmsRu ? SmsRuProtocol::parseStatusReply(reply)
                               : gateway == SmsCenter
                                   ? PROV_SmsCenter::readStatusReply(asked, reply)
                                   : JsonSmsGateway::statusResult(asked, reply);
    QCOMPARE(result.value(ResultKey::Success).toBool(), !answers.isEmpty());
    QCOMPARE(result.value(ResultKey::Statuses).toList(), answers);
}

QTEST_GUILESS_MAIN(TstGatewayStatus)
#include "tst_gatewaystatus.moc"
