#pragma once

// Helpers of the GSM library tests: a clock the test moves, and a controller
// wired to a scripted modem model whose answers are delivered between ticks,
// as a serial port would.

#include "gsmclock.h"
#include "gsmmodemctrl.h"
#include "logcapture.h"
#include "modemmodel.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QVariantMap>
#include <stdexcept>

struct DrivenClock
{
    qint64 now = 1765000000000; // any fixed instant; rules only use differences
    DrivenClock()
    {
        GsmClock::setSource([this] { return now; });
    }
    ~DrivenClock() { GsmClock::useSystemClock(); }
    void advance(qint64 ms) { now += ms; }
};

// A controller and a modem model: what the controller writes is fed to the
// model, and the model's answers reach the controller after the tick that
// wrote the command, one write per onDataReceived call.
class ModemBench
{
public:
    explicit ModemBench(DrivenClock &clock) : m_clock(clock)
    {
        QObject::connect(&ctrl, &GSMModemCtrl::sendOutcommingData, [this](const QByteArray &data) {
            written.append(data);
            m_pending += model.feed(data);
        });
        QObject::connect(&ctrl, &GSMModemCtrl::commitResponse,
                         [this](const QVariantMap &r) { results.append(r); });
        QObject::connect(&ctrl, &GSMModemCtrl::panicCallNotification,
                         [this](const QString &n) { alarms.append(n); });
    }

    // One tick, then the answers it caused; the clock moves by stepMs.
    void step(qint64 stepMs = 10)
    {
        ctrl.tick();
        const QList<QByteArray> answers = m_pending;
        m_pending.clear();
        for (const QByteArray &a : answers)
            ctrl.onDataReceived(a);
        m_clock.advance(stepMs);
    }

    // Steps until pred() holds; false when maxSteps ran out first.
    template <typename Pred> bool runUntil(Pred pred, int maxSteps = 2000, qint64 stepMs = 10)
    {
        for (int i = 0; i < maxSteps; ++i) {
            if (pred())
                return true;
            step(stepMs);
        }
        return pred();
    }

    bool initialise()
    {
        return runUntil([this] { return ctrl.ctrlState() == GSMModemCtrl::Working; });
    }

    // Commands written, without their CR (the PDU keeps its Ctrl-Z).
    QList<QByteArray> commands() const
    {
        QList<QByteArray> out;
        for (const QByteArray &w : written)
            out.append(w.endsWith('\r') ? w.chopped(1) : w);
        return out;
    }

    GSMModemCtrl ctrl;
    ModemModel model;
    QList<QByteArray> written;
    QList<QVariantMap> results;
    QStringList alarms;

private:
    DrivenClock &m_clock;
    QList<QByteArray> m_pending;
};
