#include "at_callanswerdtmfsequence.h"
#include "at_commandbase.h"
#include "at_commandcpin_check.h"
#include "at_commandcreg_check.h"
#include "at_commandcsq_check.h"
#include "at_commandsendsms.h"
#include "at_commandsendussd.h"
#include "at_commandtimeout.h"
#include "at_initcmdsequence.h"
#include "gsmtestsupport.h"
#include "smspdu.h"

#include <QtTest>

// The engine over a real controller whose receive buffer the test fills: each
// command is driven by process() calls, as the controller's tick would.
class TestAtCommand : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void answerGrammar_data();
    void answerGrammar();
    void splitAnswerMatchesOnlyWhenComplete();
    void errorWithoutFailFastIsResentAfterTimeout();
    void failFastTimeoutEndsWithTimeoutText();
    void commandWithoutTextThrows();
    void cmeErrorIsLoggedWithItsCode();
    void informationParsers_data();
    void informationParsers();
    void smsSend_data();
    void smsSend();
    void smsConcatenatedOneResult();
    void smsInvalidNumberRefusedWithoutSending();
    void pinFlow_data();
    void pinFlow();
    void pinRefusedIsNotSentOnNextInitialisation();
    void timeoutCommandIsAPause();
    void sequenceRunsEveryCommandEvenAfterFailure();
    void callAnswerSequenceText();
    void ussdAnswerBeforeOkIsNotLost();
    void ussdCodeCannotCarryACommand();

private:
    // Steps the command until it has written and waits (state 3).
    void sendAndWait(AT_CommandBase &cmd);
    // One step in state 3 with buffer as the modem's answer.
    void answer(AT_CommandBase &cmd, const QByteArray &buffer);
    int finish(AT_CommandBase &cmd, int maxSteps = 10);
    // Steps the command against the model: each write is answered, one
    // answer write per step, with 10 ms between steps.
    void driveWithModem(AT_CommandBase &cmd, ModemModel &modem, int maxRounds);

    DrivenClock *clock = nullptr;
    GSMModemCtrl *ctrl = nullptr;
    QList<QByteArray> written;
    QList<QVariantMap> results;
    LogCapture *log = nullptr;
};

void TestAtCommand::init()
{
    clock = new DrivenClock;
    log = new LogCapture(LogCapture::Quiet);
    ctrl = new GSMModemCtrl;
    written.clear();
    results.clear();
    connect(ctrl, &GSMModemCtrl::sendOutcommingData,
            [this](const QByteArray &d) { written.append(d); });
    connect(ctrl, &GSMModemCtrl::commitResponse,
            [this](const QVariantMap &r) { results.append(r); });
}

void TestAtCommand::cleanup()
{
    delete ctrl;
    delete log;
    delete clock;
}

void TestAtCommand::sendAndWait(AT_CommandBase &cmd)
{
    for (int i = 0; i < 5 && cmd.state() != 3; ++i)
        QCOMPARE(cmd.process(), int(AT_CommandBase::StepRunning));
    QCOMPARE(cmd.state(), 3);
}

void TestAtCommand::answer(AT_CommandBase &cmd, const QByteArray &buffer)
{
    ctrl->receiveBuffer() = buffer;
    cmd.process();
}

int TestAtCommand::finish(AT_CommandBase &cmd, int maxSteps)
{
    int step = AT_CommandBase::StepRunning;
    for (int i = 0; i < maxSteps && step == AT_CommandBase::StepRunning; ++i)
        step = cmd.process();
    return step;
}

void TestAtCommand::driveWithModem(AT_CommandBase &cmd, ModemModel &modem, int maxRounds)
{
    QList<QByteArray> pending;
    for (int round = 0; round < maxRounds && cmd.state() != 4; ++round) {
        const int before = written.size();
        cmd.process();
        if (written.size() > before)
            pending = modem.feed(written.last());
        else if (!pending.isEmpty())
            ctrl->receiveBuffer() += pending.takeFirst();
        clock->advance(10);
    }
}

void TestAtCommand::answerGrammar_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("failFast");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<int>("responded");

    QTest::newRow("ok") << QByteArray("\r\nOK\r\n") << 0 << true << QByteArray("OK") << QByteArray()
                        << 1;
    QTest::newRow("ok-echoed") << QByteArray("AT\r\r\nOK\r\n") << 0 << true << QByteArray("OK")
                               << QByteArray() << 1;
    QTest::newRow("ok-with-info") << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 0 << true
                                  << QByteArray("OK") << QByteArray("+CSQ: 17,99") << 1;
    QTest::newRow("error-failfast")
        << QByteArray("\r\nERROR\r\n") << 1 << true << QByteArray("ERROR") << QByteArray() << 0;
    QTest::newRow("error-ignored")
        << QByteArray("\r\nERROR\r\n") << 0 << false << QByteArray("ERROR") << QByteArray() << 0;
    QTest::newRow("cme-error-10-without-failfast")
        << QByteArray("\r\n+CME ERROR: 10\r\n") << 0 << true << QByteArray("+CME ERROR: 10")
        << QByteArray() << 0;
    QTest::newRow("cms-error-without-failfast")
        << QByteArray("\r\n+CMS ERROR: 500\r\n") << 0 << true << QByteArray("+CMS ERROR: 500")
        << QByteArray() << 0;
    QTest::newRow("nothing-yet") << QByteArray() << 1 << false << QByteArray() << QByteArray() << 0;
    QTest::newRow("unfinished") << QByteArray("\r\nOK") << 1 << false << QByteArray()
                                << QByteArray() << 0;
}

void TestAtCommand::answerGrammar()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, failFast);
    QFETCH(bool, finished);
    QFETCH(QByteArray, result);
    QFETCH(QByteArray, info);
    QFETCH(int, responded);

    AT_CommandPtr cmd = createCommand(*ctrl, "AT", 300, failFast);
    sendAndWait(*cmd);
    QCOMPARE(written, QList<QByteArray>{"AT\r"});
    const qint64 before = ctrl->lastResponseMs();
    clock->advance(50);
    answer(*cmd, buffer);
    QCOMPARE(cmd->state(), finished ? 4 : 3);
    QCOMPARE(cmd->resultText(), result);
    QCOMPARE(cmd->infoText(), info);
    QCOMPARE(ctrl->modemResponded(), responded);
    // Only a recognised answer counts as the modem answering.
    QCOMPARE(ctrl->lastResponseMs(), finished ? before + 50 : before);
    if (finished)
        QCOMPARE(cmd->process(), int(AT_CommandBase::StepFinished));
}

void TestAtCommand::splitAnswerMatchesOnlyWhenComplete()
{
    AT_CommandPtr cmd = std::make_shared<AT_CommandCSQ_Check>(*ctrl);
    sendAndWait(*cmd);
    ctrl->onDataReceived(QByteArray("\r\n+CSQ: 2")); // not waiting in the queue: goes elsewhere
    ctrl->receiveBuffer() = "\r\n+CSQ: 2";
    cmd->process();
    QCOMPARE(cmd->state(), 3);
    ctrl->receiveBuffer() += "1,3\r\n\r\nOK\r";
    cmd->process();
    QCOMPARE(cmd->state(), 3);
    ctrl->receiveBuffer() += "\n";
    cmd->process();
    QCOMPARE(cmd->state(), 4);
    QCOMPARE(ctrl->rssi(), 21);
    QCOMPARE(ctrl->ber(), 3);
}

void TestAtCommand::errorWithoutFailFastIsResentAfterTimeout()
{
    AT_CommandPtr cmd = createCommand(*ctrl, "ATE0", 300, 0);
    sendAndWait(*cmd);
    answer(*cmd, "\r\nERROR\r\n");
    clock->advance(300);
    cmd->process();
    cmd->process();
    QCOMPARE(written.size(), 1); // 300 ms is not more than the time-out
    clock->advance(1);
    for (int i = 0; i < 3; ++i)
        cmd->process();
    QCOMPARE(written, (QList<QByteArray>{"ATE0\r", "ATE0\r"}));
    QCOMPARE(cmd->state(), 3);
    answer(*cmd, "\r\nOK\r\n");
    QCOMPARE(finish(*cmd), int(AT_CommandBase::StepFinished));
    QCOMPARE(cmd->resultText(), QByteArray("OK"));
}

void TestAtCommand::failFastTimeoutEndsWithTimeoutText()
{
    AT_CommandPtr cmd = createCommand(*ctrl, "AT&W", 1000, 1);
    sendAndWait(*cmd);
    clock->advance(1000);
    cmd->process();
    QCOMPARE(cmd->state(), 3);
    clock->advance(1);
    QCOMPARE(finish(*cmd), int(AT_CommandBase::StepFinished));
    QCOMPARE(cmd->resultText(), QByteArray("TIMEOUT"));
    QCOMPARE(written.size(), 1);
}

void TestAtCommand::commandWithoutTextThrows()
{
    AT_CommandPtr cmd = createCommand(*ctrl, QByteArray(), 300, 0);
    cmd->process();
    cmd->process();
    try {
        cmd->process();
        QFAIL("no exception");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QByteArray(e.what()),
                 QByteArray("Must override prepare() function OR use factory function!"));
    }
}

void TestAtCommand::cmeErrorIsLoggedWithItsCode()
{
    AT_CommandPtr cmd = createCommand(*ctrl, "AT+CPMS=\"SM\"", 300, 0);
    sendAndWait(*cmd);
    answer(*cmd, "\r\n+CME ERROR: 10\r\n");
    QCOMPARE(cmd->errorCode(), 10);
    QCOMPARE(log->count(QString::fromUtf8("CME Ошибка GSM терминала, код 10"), QtDebugMsg), 1);
}

void TestAtCommand::informationParsers_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("gsmStatus");
    QTest::addColumn<int>("rssi");

    QTest::newRow("creg-registered")
        << "creg" << QByteArray("\r\n+CREG: 0,1\r\n\r\nOK\r\n") << 1 << 0;
    QTest::newRow("creg-searching")
        << "creg" << QByteArray("\r\n+CREG: 0,2\r\n\r\nOK\r\n") << 3 << 0;
    QTest::newRow("creg-not-searching")
        << "creg" << QByteArray("\r\n+CREG: 0,0\r\n\r\nOK\r\n") << 3 << 0;
    QTest::newRow("creg-denied") << "creg" << QByteArray("\r\n+CREG: 0,3\r\n\r\nOK\r\n") << 4 << 0;
    QTest::newRow("creg-roaming-is-registered")
        << "creg" << QByteArray("\r\n+CREG: 0,5\r\n\r\nOK\r\n") << 1 << 0;
    QTest::newRow("creg-garbage") << "creg" << QByteArray("\r\n+CREG: x\r\n\r\nOK\r\n") << 0 << 0;
    QTest::newRow("csq-17-99") << "csq" << QByteArray("\r\n+CSQ: 17,99\r\n\r\nOK\r\n") << 0 << 17;
}

void TestAtCommand::informationParsers()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, answer);
    QFETCH(int, gsmStatus);
    QFETCH(int, rssi);
    AT_CommandPtr cmd = command == "creg"
                            ? AT_CommandPtr(std::make_shared<AT_CommandCREG_Check>(*ctrl))
                            : AT_CommandPtr(std::make_shared<AT_CommandCSQ_Check>(*ctrl));
    sendAndWait(*cmd);
    QCOMPARE(written.first(),
             command == "creg" ? QByteArray("AT+CREG?\r") : QByteArray("AT+CSQ\r"));
    this->answer(*cmd, answer);
    QCOMPARE(cmd->state(), 4);
    QCOMPARE(ctrl->gsmStatus(), gsmStatus);
    QCOMPARE(ctrl->rssi(), rssi);
}

void TestAtCommand::smsSend_data()
{
    QTest::addColumn<QByteArrayList>("answers"); // to the CMGS line, then to the PDU
    QTest::addColumn<qint64>("waitMs");          // waited after the last answer
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<int>("writes");

    const QString timeout = QString::fromUtf8("Превышено время ожидания отправки SMS сообщения");
    const QString failure = QString::fromUtf8("Ошибка отправки SMS сообщения");
    QTest::newRow("sent") << QByteArrayList{"\r\n> ", "\r\n+CMGS: 7\r\n\r\nOK\r\n"} << qint64(0)
                          << true << 0 << QString() << 2;
    QTest::newRow("error-after-pdu")
        << QByteArrayList{"\r\n> ", "\r\nERROR\r\n"} << qint64(0) << false << 2 << failure << 2;
    QTest::newRow("cms-error-after-pdu") << QByteArrayList{"\r\n> ", "\r\n+CMS ERROR: 500\r\n"}
                                         << qint64(0) << false << 500 << failure << 2;
    QTest::newRow("cms-error-instead-of-prompt")
        << QByteArrayList{"\r\n+CMS ERROR: 331\r\n"} << qint64(0) << false << 331 << failure << 1;
    QTest::newRow("timeout-before-prompt")
        << QByteArrayList{} << qint64(12001) << false << 1 << timeout << 1;
    QTest::newRow("timeout-after-pdu")
        << QByteArrayList{"\r\n> "} << qint64(12001) << false << 1 << timeout << 2;
}

void TestAtCommand::smsSend()
{
    QFETCH(QByteArrayList, answers);
    QFETCH(qint64, waitMs);
    QFETCH(bool, success);
    QFETCH(int, errorCode);
    QFETCH(QString, errorText);
    QFETCH(int, writes);

    auto cmd = std::make_shared<AT_CommandSendSMS>(*ctrl, "abc", "123");
    QCOMPARE(cmd->pdu(), QByteArray("000100038121F3000806006100620063"));
    sendAndWait(*cmd);
    QCOMPARE(written.first(), QByteArray("AT+CMGS=15\r"));
    for (const QByteArray &a : answers) {
        answer(*cmd, a);
        for (int i = 0; i < 4 && cmd->state() != 3 && cmd->state() != 4; ++i)
            cmd->process();
    }
    if (answers.size() >= 1 && answers.first().contains('>'))
        QCOMPARE(written.value(1), QByteArray("000100038121F3000806006100620063\x1a\r"));
    clock->advance(waitMs);
    QCOMPARE(finish(*cmd), int(AT_CommandBase::StepFinished));
    QCOMPARE(written.size(), writes);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].value("success").toBool(), success);
    QCOMPARE(results[0].value("error_code").toInt(), errorCode);
    if (!success)
        QCOMPARE(results[0].value("error_text").toString(), errorText);
}

void TestAtCommand::smsConcatenatedOneResult()
{
    const QString text = QString(100, QChar(0x0416));
    auto cmd = std::make_shared<AT_CommandSendSMS>(*ctrl, text.toUtf8(), "89001234567");
    QCOMPARE(cmd->parts().size(), 2);
    ModemModel modem;
    modem.setEcho(false);
    driveWithModem(*cmd, modem, 100);
    QCOMPARE(finish(*cmd), int(AT_CommandBase::StepFinished));
    QCOMPARE(results.size(), 1);
    QVERIFY(results[0].value("success").toBool());
    QCOMPARE(modem.receivedSms().size(), 2);
    QCOMPARE(modem.receivedSms()[0].info.text + modem.receivedSms()[1].info.text, text);
    QCOMPARE(modem.receivedSms()[0].info.reference, modem.receivedSms()[1].info.reference);
}

void TestAtCommand::smsInvalidNumberRefusedWithoutSending()
{
    auto cmd = std::make_shared<AT_CommandSendSMS>(*ctrl, "abc", "+7900ABC");
    QCOMPARE(finish(*cmd), int(AT_CommandBase::StepFinished));
    QVERIFY(written.isEmpty());
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].value("success").toBool(), false);
    QCOMPARE(results[0].value("error_code").toInt(), 3);
}

void TestAtCommand::pinFlow_data()
{
    QTest::addColumn<QByteArray>("simPin");  // empty: SIM without PIN
    QTest::addColumn<QString>("configured"); // PIN in the settings
    QTest::addColumn<bool>("ready");
    QTest::addColumn<int>("pinSends");
    QTest::addColumn<int>("gsmStatus");
    QTest::addColumn<bool>("split");

    QTest::newRow("no-pin-needed") << QByteArray() << "1234" << true << 0 << 0 << false;
    QTest::newRow("pin-accepted") << QByteArray("1234") << "1234" << true << 1 << 0 << false;
    QTest::newRow("pin-accepted-split-answers")
        << QByteArray("1234") << "1234" << true << 1 << 0 << true;
    QTest::newRow("wrong-pin-sent-once")
        << QByteArray("1234") << "0000" << false << 1 << 2 << false;
    QTest::newRow("wrong-pin-split-answers")
        << QByteArray("1234") << "0000" << false << 1 << 2 << true;
    QTest::newRow("pin-missing-in-settings")
        << QByteArray("1234") << "" << false << 0 << 2 << false;
}

void TestAtCommand::pinFlow()
{
    QFETCH(QByteArray, simPin);
    QFETCH(QString, configured);
    QFETCH(bool, ready);
    QFETCH(int, pinSends);
    QFETCH(int, gsmStatus);
    QFETCH(bool, split);

    ModemModel modem;
    modem.setPin(simPin);
    modem.setSplitAnswers(split);
    ctrl->setPinCode(configured);
    auto cmd = std::make_shared<AT_CommandCPIN_Check>(*ctrl);
    // 20 s of a modem answering at once: many time-outs of the 300 ms check.
    driveWithModem(*cmd, modem, 2000);
    QCOMPARE(cmd->state() == 4, ready);
    int sends = 0;
    for (const QByteArray &w : written)
        sends += w.startsWith("AT+CPIN=");
    QCOMPARE(sends, pinSends);
    QCOMPARE(modem.pinAttempts(), pinSends);
    QCOMPARE(ctrl->gsmStatus(), gsmStatus);
    if (!ready) {
        QVERIFY(modem.simState() != ModemModel::SimPukRequired);
        QCOMPARE(
            log->count(QString::fromUtf8("SIM карта отсутствует или заблокирована"), QtCriticalMsg),
            1);
        // The modem answered all along: the silence rule must not fire.
        QVERIFY(clock->now - ctrl->lastResponseMs() < 1000);
    }
}

void TestAtCommand::pinRefusedIsNotSentOnNextInitialisation()
{
    ModemModel modem;
    modem.setPin("1234");
    ctrl->setPinCode("0000");
    auto drive = [&](AT_CommandBase &cmd) { driveWithModem(cmd, modem, 300); };
    AT_CommandCPIN_Check first(*ctrl);
    drive(first);
    QVERIFY(ctrl->pinRefused());
    ctrl->reset();
    ctrl->setPinCode("0000"); // the provider gives the same settings again
    AT_CommandCPIN_Check second(*ctrl);
    drive(second);
    QCOMPARE(modem.pinAttempts(), 1);
    ctrl->setPinCode("1234"); // the administrator corrected it
    AT_CommandCPIN_Check third(*ctrl);
    drive(third);
    QCOMPARE(third.state(), 4);
    QCOMPARE(modem.pinAttempts(), 2);
    QCOMPARE(modem.simState(), ModemModel::SimReady);
}

void TestAtCommand::timeoutCommandIsAPause()
{
    AT_CommandTimeout pause(*ctrl, 2000);
    for (int i = 0; i < 3; ++i)
        pause.process();
    QVERIFY(written.isEmpty());
    QVERIFY(!pause.isWaitingResponse());
    ctrl->receiveBuffer() = "\r\nOK\r\n";
    clock->advance(2000);
    pause.process();
    QCOMPARE(pause.state(), 3);
    clock->advance(1);
    QCOMPARE(finish(pause), int(AT_CommandBase::StepFinished));
    QCOMPARE(pause.resultText(), QByteArray("TIMEOUT"));
}

void TestAtCommand::sequenceRunsEveryCommandEvenAfterFailure()
{
    AT_InitCmdSequence init(*ctrl);
    ModemModel modem;
    modem.injectAnswer("AT^SPOW", "ERROR"); // not every modem knows it
    driveWithModem(init, modem, 500);
    QCOMPARE(init.process(), int(AT_CommandBase::StepFinished));
    const QList<QByteArray> expected{"AT\r",
                                     "ATE0\r",
                                     "AT^SPOW=1,0,0\r",
                                     "AT+CPIN?\r",
                                     "AT+CLIP=1\r",
                                     "AT+CSCS=\"GSM\"\r",
                                     "AT+CMGF=0\r",
                                     "AT+CSMS=1\r",
                                     "AT+CPMS=\"SM\"\r",
                                     "AT+CNMI=2,2,0,0,1\r",
                                     "AT&W\r",
                                     "AT+CREG?\r"};
    QCOMPARE(written, expected);
    QCOMPARE(ctrl->ctrlState(), int(GSMModemCtrl::Working));
}

void TestAtCommand::callAnswerSequenceText()
{
    AT_CallAnswerDTMFSequence seq(*ctrl, "+79001234567");
    QCOMPARE(seq.commands().size(), 4);
    QCOMPARE(seq.commands().at(1)->commandText(),
             QByteArray("AT+VTD=5;+VTS=d;+VTS=0;+VTS=d;+VTS=0"));
    QCOMPARE(seq.commands().at(0)->commandText(), QByteArray("ATA"));
    QCOMPARE(seq.commands().at(3)->commandText(), QByteArray("AT+CHUP"));
}

void TestAtCommand::ussdAnswerBeforeOkIsNotLost()
{
    AT_CommandSendUSSD cmd(*ctrl, "*100#");
    sendAndWait(cmd);
    QCOMPARE(written.first(), QByteArray("AT+CUSD=1,\"*100#\"\r"));
    const QByteArray hex = SmsPdu::encodeUcs2Hex(QString::fromUtf8("Баланс 42,50 р."));
    answer(cmd, "\r\n+CUSD: 0,\"" + hex + "\",72\r\n\r\nOK\r\n");
    QCOMPARE(cmd.state(), 4);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].value("balance").toDouble(), 42.5);
}

void TestAtCommand::ussdCodeCannotCarryACommand()
{
    AT_CommandSendUSSD cmd(*ctrl, "*100#\"\rATD112;");
    sendAndWait(cmd);
    QVERIFY(written.isEmpty());
    clock->advance(5001);
    QCOMPARE(finish(cmd), int(AT_CommandBase::StepFinished));
    QCOMPARE(cmd.resultText(), QByteArray("TIMEOUT"));
}

QTEST_GUILESS_MAIN(TestAtCommand)
#include "tst_atcommand.moc"
