#include "atresponse.h"
#include "smspdu.h"

#include <QtTest>

using namespace AtResponse;

Q_DECLARE_METATYPE(AtResponse::Final)

class TestAtResponse : public QObject
{
    Q_OBJECT
private slots:
    void finalResult_data();
    void finalResult();
    void prompt_data();
    void prompt();
    void informationParsers_data();
    void informationParsers();
    void balance_data();
    void balance();
    void unsolicited_data();
    void unsolicited();
    void keepUnfinished_data();
    void keepUnfinished();
    void extractFromCommandBuffer_data();
    void extractFromCommandBuffer();
    void routedAfterTheFinalResult_data();
    void routedAfterTheFinalResult();
    void storedReportRead_data();
    void storedReportRead();
};

void TestAtResponse::finalResult_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<Final>("kind");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<int>("code");

    QTest::newRow("ok") << QByteArray("\r\nOK\r\n") << Final::Ok << QByteArray("OK") << QByteArray()
                        << 0;
    QTest::newRow("ok-after-echo")
        << QByteArray("ATE0\r\r\nOK\r\n") << Final::Ok << QByteArray("OK") << QByteArray() << 0;
    QTest::newRow("csq-info") << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << Final::Ok
                              << QByteArray("OK") << QByteArray("+CSQ: 17,99") << 0;
    QTest::newRow("csq-info-after-echo")
        << QByteArray("AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << Final::Ok << QByteArray("OK")
        << QByteArray("+CSQ: 17,99") << 0;
    QTest::newRow("two-info-lines") << QByteArray("\r\n+A: 1\r\n+B: 2\r\n\r\nOK\r\n") << Final::Ok
                                    << QByteArray("OK") << QByteArray("+A: 1\r\n+B: 2") << 0;
    QTest::newRow("error") << QByteArray("\r\nERROR\r\n") << Final::Error << QByteArray("ERROR")
                           << QByteArray() << 0;
    QTest::newRow("cme-error-10") << QByteArray("\r\n+CME ERROR: 10\r\n") << Final::CmeError
                                  << QByteArray("+CME ERROR: 10") << QByteArray() << 10;
    QTest::newRow("cme-error-verbose")
        << QByteArray("\r\n+CME ERROR: SIM busy\r\n") << Final::CmeError
        << QByteArray("+CME ERROR: SIM busy") << QByteArray() << 0;
    QTest::newRow("cms-error-500") << QByteArray("\r\n+CMS ERROR: 500\r\n") << Final::CmsError
                                   << QByteArray("+CMS ERROR: 500") << QByteArray() << 500;
    QTest::newRow("cms-after-pdu-echo")
        << QByteArray("0011\x1a\r\r\n+CMS ERROR: 304\r\n") << Final::CmsError
        << QByteArray("+CMS ERROR: 304") << QByteArray() << 304;
    QTest::newRow("first-half") << QByteArray("\r\n+CSQ: 17,99\r\n\r\nO") << Final::None
                                << QByteArray() << QByteArray() << 0;
    QTest::newRow("no-final-crlf")
        << QByteArray("\r\nOK\r") << Final::None << QByteArray() << QByteArray() << 0;
    QTest::newRow("stray-lf-after")
        << QByteArray("\r\nOK\r\n\n") << Final::None << QByteArray() << QByteArray() << 0;
    QTest::newRow("ok-inside-text")
        << QByteArray("\r\nOKAY\r\n") << Final::None << QByteArray() << QByteArray() << 0;
    QTest::newRow("empty") << QByteArray() << Final::None << QByteArray() << QByteArray() << 0;
}

void TestAtResponse::finalResult()
{
    QFETCH(QByteArray, buffer);
    QFETCH(Final, kind);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, info);
    QFETCH(int, code);
    const FinalResult r = parseFinalResult(buffer);
    QCOMPARE(int(r.kind), int(kind));
    QCOMPARE(r.resultLine, line);
    QCOMPARE(r.info, info);
    QCOMPARE(r.errorCode, code);
}

void TestAtResponse::prompt_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<bool>("isPrompt");
    QTest::newRow("prompt-space") << QByteArray("\r\n> ") << true;
    QTest::newRow("prompt-bare") << QByteArray("\r\n>") << true;
    QTest::newRow("prompt-after-echo") << QByteArray("AT+CMGS=15\r\r\n> ") << true;
    QTest::newRow("no-prompt-yet") << QByteArray("AT+CMGS=15\r") << false;
    QTest::newRow("error-instead") << QByteArray("\r\n+CMS ERROR: 331\r\n") << false;
    QTest::newRow("prompt-then-text") << QByteArray("\r\n> x") << false;
}

void TestAtResponse::prompt()
{
    QFETCH(QByteArray, buffer);
    QFETCH(bool, isPrompt);
    QCOMPARE(isSmsPrompt(buffer), isPrompt);
}

void TestAtResponse::informationParsers_data()
{
    QTest::addColumn<QString>("parser");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");

    QTest::newRow("creg-registered") << "creg" << QByteArray("+CREG: 0,1") << true << 0 << 1;
    QTest::newRow("creg-roaming") << "creg" << QByteArray("+CREG: 0, 5") << true << 0 << 5;
    QTest::newRow("creg-with-location")
        << "creg" << QByteArray("+CREG: 2,1,\"1A2B\",\"3C4D\"") << true << 2 << 1;
    QTest::newRow("creg-no-space") << "creg" << QByteArray("+CREG:0,1") << false << 0 << 0;
    QTest::newRow("creg-other-line") << "creg" << QByteArray("+CSQ: 1,2") << false << 0 << 0;
    QTest::newRow("csq") << "csq" << QByteArray("+CSQ: 17,99") << true << 17 << 99;
    QTest::newRow("csq-trailing") << "csq" << QByteArray("+CSQ: 17,99 x") << false << 0 << 0;
    QTest::newRow("ccwa-off") << "ccwa" << QByteArray("+CCWA: 0") << true << 0 << 0;
    QTest::newRow("ccwa-on") << "ccwa" << QByteArray("+CCWA: 1") << true << 1 << 0;
    QTest::newRow("cmgs-reference") << "cmgs" << QByteArray("+CMGS: 255") << true << 255 << 0;
    QTest::newRow("cmgs-with-scts")
        << "cmgs" << QByteArray("+CMGS: 7,\"26/12/09,10:00:00+12\"") << true << 7 << 0;
    QTest::newRow("cmgs-out-of-range") << "cmgs" << QByteArray("+CMGS: 256") << false << -1 << 0;
    QTest::newRow("cmgs-missing") << "cmgs" << QByteArray("") << false << -1 << 0;
}

void TestAtResponse::informationParsers()
{
    QFETCH(QString, parser);
    QFETCH(QByteArray, info);
    QFETCH(bool, ok);
    QFETCH(int, first);
    QFETCH(int, second);
    if (parser == "cmgs") {
        QCOMPARE(parseCmgsReference(info), first);
        QCOMPARE(first >= 0, ok);
        return;
    }
    const TwoNumbers r = parser == "creg"  ? parseCregResponse(info)
                         : parser == "csq" ? parseCsqResponse(info)
                                           : parseCcwaResponse(info);
    QCOMPARE(r.ok, ok);
    QCOMPARE(r.first, first);
    QCOMPARE(r.second, second);
}

void TestAtResponse::balance_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");

    QTest::newRow("comma-rub-short") << QString::fromUtf8("Баланс 123,45 р.") << true << 123.45;
    QTest::newRow("dot-rub") << QString::fromUtf8("Balance: 50.5 rub") << true << 50.5;
    QTest::newRow("negative") << QString::fromUtf8("Минус -12,3руб. Пополните") << true << -12.3;
    QTest::newRow("upper-case-mark") << QString::fromUtf8("Ostatok 7 RUB") << true << 7.0;
    QTest::newRow("cyrillic-upper") << QString::fromUtf8("Остаток 99 РУБ") << true << 99.0;
    QTest::newRow("first-amount-wins")
        << QString::fromUtf8("Баланс 10 р, бонус 5 р") << true << 10.0;
    QTest::newRow("number-without-mark-skipped")
        << QString::fromUtf8("Тариф 300, баланс 45,10 р") << true << 45.10;
    QTest::newRow("no-amount") << QString::fromUtf8("Ваш запрос принят") << false << 0.0;
    QTest::newRow("number-only") << QString::fromUtf8("Остаток 100") << false << 0.0;
    QTest::newRow("bonus-before-balance-word")
        << QString::fromUtf8("Бонус 3 руб. Баланс 150,00 руб.") << true << 150.0;
    QTest::newRow("thousands-blank") << QString::fromUtf8("Баланс 1 234,56 р.") << true << 1234.56;
    QTest::newRow("thousands-no-break-space-upper-word")
        << QString::fromUtf8("Пакет 5 р/сут. БАЛАНС: 12\u00a0345 р") << true << 12345.0;
    QTest::newRow("amount-before-balance-word")
        << QString::fromUtf8("150 руб. - ваш баланс") << true << 150.0;
}

void TestAtResponse::balance()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, value);
    const Balance b = parseCusdBalance(text);
    QCOMPARE(b.ok, ok);
    QCOMPARE(b.value, value);
}

void TestAtResponse::unsolicited_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("value");

    const QByteArray pdu = "07919730071111F1040B919700214365F700086210712100002102004A";
    QTest::newRow("clip") << QByteArray(
                                 "\r\nRING\r\n\r\n+CLIP: \"+79001234567\",145,\"\",0,\"\",0\r\n")
                          << int(Unsolicited::Clip) << QByteArray("+79001234567");
    QTest::newRow("clip-empty-number")
        << QByteArray("\r\n+CLIP: \"\",128\r\n") << int(Unsolicited::Clip) << QByteArray();
    QTest::newRow("clip-unfinished")
        << QByteArray("\r\n+CLIP: \"+7900123") << int(Unsolicited::None) << QByteArray();
    QTest::newRow("ccwa") << QByteArray("\r\n+CCWA: \"+79001112233\",145,1\r\n")
                          << int(Unsolicited::Ccwa) << QByteArray("+79001112233");
    QTest::newRow("ccwa-query-answer-ignored")
        << QByteArray("\r\n+CCWA: 1,1\r\n") << int(Unsolicited::None) << QByteArray();
    QTest::newRow("cmt-empty-alpha")
        << QByteArray("\r\n+CMT: ,22\r\n" + pdu + "\r\n") << int(Unsolicited::Cmt) << pdu;
    QTest::newRow("cmt-quoted-alpha")
        << QByteArray("\r\n+CMT: \"\",22\r\n" + pdu + "\r\n") << int(Unsolicited::Cmt) << pdu;
    QTest::newRow("cmt-pdu-unfinished")
        << QByteArray("\r\n+CMT: ,22\r\n0791973007") << int(Unsolicited::None) << QByteArray();
    QTest::newRow("cusd-ucs2") << QByteArray("\r\n+CUSD: 0,\"0031\",72\r\n")
                               << int(Unsolicited::Cusd) << QByteArray("0031");
    QTest::newRow("cusd-text-over-lines")
        << QByteArray("\r\n+CUSD: 0,\"Balance\r\n10 r\",15\r\n") << int(Unsolicited::Cusd)
        << QByteArray("Balance\r\n10 r");
    QTest::newRow("cusd-without-text")
        << QByteArray("\r\n+CUSD: 2\r\n") << int(Unsolicited::None) << QByteArray();
    const QByteArray report = "07919730071111F1062A0B919700214365F7622190413000216221904130502100";
    QTest::newRow("cds") << QByteArray("\r\n+CDS: 25\r\n" + report + "\r\n")
                         << int(Unsolicited::Cds) << report;
    QTest::newRow("cds-pdu-unfinished")
        << QByteArray("\r\n+CDS: 25\r\n0791") << int(Unsolicited::None) << QByteArray();
    QTest::newRow("cdsi-quoted-memory")
        << QByteArray("\r\n+CDSI: \"SR\",3\r\n") << int(Unsolicited::Cdsi) << QByteArray("SR:3");
    QTest::newRow("cdsi-bare-memory")
        << QByteArray("\r\n+CDSI: SM,12\r\n") << int(Unsolicited::Cdsi) << QByteArray("SM:12");
    QTest::newRow("earliest-first")
        << QByteArray("\r\n+CMT: ,22\r\n" + pdu + "\r\n\r\n+CLIP: \"+7\",145\r\n")
        << int(Unsolicited::Cmt) << pdu;
}

void TestAtResponse::unsolicited()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, kind);
    QFETCH(QByteArray, value);
    const Unsolicited u = findUnsolicited(buffer);
    QCOMPARE(int(u.kind), kind);
    const QByteArray got = u.kind == Unsolicited::Cmt || u.kind == Unsolicited::Cds ? u.pdu
                           : u.kind == Unsolicited::Cusd                            ? u.text
                           : u.kind == Unsolicited::Cdsi
                               ? u.text + ':' + QByteArray::number(u.index)
                               : u.number;
    QCOMPARE(got, value);
    if (kind != Unsolicited::None) {
        QVERIFY(u.end > u.start);
        QVERIFY(buffer.mid(u.end).isEmpty() || buffer.mid(u.end).startsWith("\r\n"));
    }
}

void TestAtResponse::keepUnfinished_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("noise-dropped") << QByteArray("\r\nRING\r\n") << QByteArray();
    QTest::newRow("unfinished-line-kept") << QByteArray("\r\nRING\r\n\r\n+CL") << QByteArray("+CL");
    QTest::newRow("cmt-header-kept")
        << QByteArray("\r\n+CMT: ,22\r\n0791") << QByteArray("+CMT: ,22\r\n0791");
    QTest::newRow("cds-header-kept")
        << QByteArray("\r\n+CDS: 25\r\n0006") << QByteArray("+CDS: 25\r\n0006");
    QTest::newRow("malformed-clip-dropped") << QByteArray("\r\n+CLIP: 123,129\r\n") << QByteArray();
    QTest::newRow("cusd-open-quote-kept")
        << QByteArray("\r\n+CUSD: 0,\"Bal\r\n") << QByteArray("+CUSD: 0,\"Bal\r\n");
    QTest::newRow("oversized-dropped")
        << QByteArray("\r\n+CUSD: 0,\"" + QByteArray(5000, 'x')) << QByteArray();
}

void TestAtResponse::keepUnfinished()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, kept);
    QCOMPARE(AtResponse::keepUnfinished(buffer), kept);
}

void TestAtResponse::extractFromCommandBuffer_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("left");
    QTest::addColumn<int>("extracted");

    const QByteArray pdu = "07919730071111F1040B919700214365F700086210712100002102004A";
    QTest::newRow("ring-and-clip-before-info")
        << QByteArray(
               "\r\nRING\r\n\r\n+CLIP: \"+79001234567\",145\r\n\r\n+CSQ: 17,99\r\n\r\nOK\r\n")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 2;
    QTest::newRow("cmt-between-info-and-ok")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\n+CMT: ,22\r\n" + pdu + "\r\n\r\nOK\r\n")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 1;
    QTest::newRow("plain-answer-untouched") << QByteArray("\r\n+CREG: 0,1\r\n\r\nOK\r\n")
                                            << QByteArray("\r\n+CREG: 0,1\r\n\r\nOK\r\n") << 0;
    QTest::newRow("unfinished-cmt-waits")
        << QByteArray("\r\n+CMT: ,22\r\n0791") << QByteArray("\r\n+CMT: ,22\r\n0791") << 0;
    QTest::newRow("ussd-answer-between-info-and-ok")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\n+CUSD: 0,\"Balance\r\n5 r\",15\r\n\r\nOK\r\n")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 1;
    QTest::newRow("report-and-stored-report-while-waiting")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\n+CDS: 25\r\n0006FF0381214300\r\n\r\n+CDSI: "
                      "\"SR\",1\r\n\r\nOK\r\n")
        << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 2;
    QTest::newRow("ccwa-query-answer-stays") << QByteArray("\r\n+CCWA: 1\r\n\r\nOK\r\n")
                                             << QByteArray("\r\n+CCWA: 1\r\n\r\nOK\r\n") << 0;
}

void TestAtResponse::extractFromCommandBuffer()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, left);
    QFETCH(int, extracted);
    const QList<QByteArray> found = extractUnsolicited(buffer);
    QCOMPARE(found.size(), extracted);
    QCOMPARE(buffer, left);
    if (extracted)
        QCOMPARE(parseFinalResult(buffer).info, QByteArray("+CSQ: 17,99"));
}

// Whether the modem had finished the command when it routed a report decides
// whether its acknowledgement may go without the quiet gap.
void TestAtResponse::routedAfterTheFinalResult_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QList<bool>>("afterFinal");
    const QByteArray cds = "\r\n+CDS: 25\r\n0006FF0381214300\r\n";
    QTest::newRow("before-ok") << QByteArray("\r\n+CSQ: 17,99\r\n" + cds + "\r\nOK\r\n")
                               << QList<bool>{false};
    QTest::newRow("after-ok") << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n" + cds)
                              << QList<bool>{true};
    QTest::newRow("after-cms-error")
        << QByteArray("\r\n+CMS ERROR: 500\r\n" + cds) << QList<bool>{true};
    QTest::newRow("one-either-side")
        << QByteArray(cds + "\r\n+CMGS: 3\r\n\r\nOK\r\n" + cds) << QList<bool>{false, true};
}

void TestAtResponse::routedAfterTheFinalResult()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QList<bool>, afterFinal);
    QList<bool> found;
    QCOMPARE(extractUnsolicited(buffer, &found).size(), afterFinal.size());
    QCOMPARE(found, afterFinal);
}

void TestAtResponse::storedReportRead_data()
{
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<QByteArray>("pdu");
    QTest::newRow("empty-alpha") << QByteArray("+CMGR: 0,,25\r\n0006FF0381214300")
                                 << QByteArray("0006FF0381214300");
    QTest::newRow("quoted-alpha") << QByteArray("+CMGR: 1,\"\",25\r\n0006ff03")
                                  << QByteArray("0006ff03");
    QTest::newRow("no-pdu-line") << QByteArray("+CMGR: 0,,25") << QByteArray();
    QTest::newRow("not-hex") << QByteArray("+CMGR: 0,,25\r\nREC UNREAD") << QByteArray();
}

void TestAtResponse::storedReportRead()
{
    QFETCH(QByteArray, info);
    QFETCH(QByteArray, pdu);
    QCOMPARE(parseCmgrPdu(info), pdu);
}

QTEST_GUILESS_MAIN(TestAtResponse)
#include "tst_atresponse.moc"
