#pragma once

#include <QByteArray>
#include <memory>

class GSMModemCtrl;

// One exchange with the modem: the text it sends, how long it waits, how it
// reads the answer from the controller's receive buffer and what it does when
// finished. The controller drives only the front command of its queue, one
// step per process() call. A command is made for the controller it runs on
// and talks to no other: with two modems in one process each command reaches
// its own. Plain commands are made by createCommand(); the subclasses
// override the hooks they need.
class AT_CommandBase
{
public:
    // Results of process().
    enum Step
    {
        StepRunning = 1,
        StepFinished = 2,
        StepImpossible = 3
    };
    // Values of state(), in the order process() moves through them.
    enum State
    {
        StateCreated = 0,
        StateStarting = 1, // an attempt begins (again after a time-out)
        StateSending = 2,
        StateWaiting = 3, // for the modem's answer
        StateFinished = 4
    };
    // Values of parseResponse().
    enum Parse
    {
        ParseWaiting = 0,
        ParseSuccess = 1,
        ParseFailure = 2
    };

    explicit AT_CommandBase(GSMModemCtrl &ctrl);
    virtual ~AT_CommandBase();

    virtual void reset();
    virtual int process();
    virtual int state() const { return m_state; }
    virtual qint64 elapsedMs() const;
    virtual bool isWaitingResponse() const { return m_state == StateWaiting; }
    // How soon the next process() call can move on: 0 at once, n > 0 once the
    // line has been quiet after the modem's last final result, -1 only on an
    // answer from the modem or a time-out (the controller's tick checks those).
    virtual int readyInMs() const;

    const QByteArray &commandText() const { return m_commandText; }
    const QByteArray &resultText() const { return m_resultText; }
    const QByteArray &infoText() const { return m_infoText; }
    int timeoutMs() const { return m_timeoutMs; }
    int failFast() const { return m_failFast; }
    // The modem's code of the last +CME/+CMS ERROR answer, 0 if none.
    int errorCode() const { return m_errorCode; }

    friend std::shared_ptr<AT_CommandBase> createCommand(GSMModemCtrl &ctrl, const QByteArray &text,
                                                         int timeoutMs, int failFast);

protected:
    virtual void onStart() {}
    virtual void prepare(QByteArray &text);
    virtual int parseResponse();
    virtual void parseInfo(const QByteArray &text) { Q_UNUSED(text); }
    virtual void onFinish() {}
    // False for commands that never write, which need no quiet line to start.
    virtual bool sendsText() const { return true; }
    // How long the line must stay quiet before this command starts, in ms.
    virtual int quietLeftMs() const;

    // The check run while waiting: 0 wait, 1/2 answered, 3 failFast time-out.
    int checkResponse();

    GSMModemCtrl *const controller; // never null
    int m_state = StateCreated;
    int m_timeoutMs = 300;
    int m_failFast = 0;
    qint64 m_sentAtMs = 0;
    QByteArray m_commandText;
    QByteArray m_resultText;
    QByteArray m_infoText;
    int m_errorCode = 0;
};

using AT_CommandPtr = std::shared_ptr<AT_CommandBase>;

// A plain command with fixed text ("AT", "ATE0", "AT+CMGD=1", ...).
AT_CommandPtr createCommand(GSMModemCtrl &ctrl, const QByteArray &text, int timeoutMs,
                            int failFast);

// AT+CNMA for a routed SMS or status report. The modem routes nothing more
// until it comes and gives up routing when it comes late. Routed while no
// command waited for its answer, it does not wait for the quiet gap after the
// last final result: the modem's own unsolicited line, sent after that result,
// has shown that it finished that command. The next command waits for the gap
// after the acknowledgement's answer instead, so the gap is not paid twice.
// Routed in the middle of a command's answer, it follows that command's final
// result, so it keeps the gap (midCommand).
AT_CommandPtr createAcknowledgement(GSMModemCtrl &ctrl, bool midCommand);
