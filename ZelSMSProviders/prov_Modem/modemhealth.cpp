#include "modemhealth.h"

#include "gsmmodemctrl.h"
#include "logcategories.h"
#include "modemsettings.h"

#include <QString>

namespace {

QString describe(ModemHealth::Condition c)
{
    switch (c) {
    case ModemHealth::PortGone:
        return QStringLiteral("COM порт модема недоступен");
    case ModemHealth::Silent:
        return QStringLiteral("GSM модем молчит: нет ответа на команды");
    case ModemHealth::SimProblem:
        return QStringLiteral("SIM карта отсутствует, заблокирована или не принят PIN код");
    case ModemHealth::NotRegistered:
        return QStringLiteral("GSM модем не зарегистрирован в сети");
    case ModemHealth::Starting:
        return QStringLiteral("GSM модем отвечает, ожидается регистрация в сети");
    default:
        return QStringLiteral("GSM модем отвечает и зарегистрирован в сети");
    }
}

} // namespace

ModemHealth::Condition ModemHealth::conditionOf(bool portOpen, const GSMModemCtrl &ctrl)
{
    if (!portOpen)
        return PortGone;
    if (ctrl.isSilent())
        return Silent;
    switch (ctrl.gsmStatus()) {
    case GSMModemCtrl::GsmNoSim:
        return SimProblem;
    case GSMModemCtrl::GsmSearching:
    case GSMModemCtrl::GsmRefused:
        return NotRegistered;
    case GSMModemCtrl::GsmRegistered:
        return ctrl.modemResponded() == 1 ? Ready : Starting;
    default:
        return Starting;
    }
}

quint32 ModemHealth::deviceWord(bool portOpen, const GSMModemCtrl &ctrl)
{
    if (!portOpen || ctrl.isSilent())
        return ModemFormat::statusWord(0, GSMModemCtrl::GsmUnknown, 99);
    return ModemFormat::statusWord(ctrl.modemResponded(), ctrl.gsmStatus(), ctrl.rssi());
}

void ModemHealth::update(Condition now)
{
    if (now == m_condition)
        return;
    // Starting is only news when the modem comes back: a registration check
    // follows within seconds and names the real condition.
    const bool quiet = now == Starting && m_condition > Silent;
    const bool better = now > m_condition;
    m_condition = now;
    if (quiet)
        return;
    if (better)
        qCInfo(lcModem).noquote() << describe(now) + m_logOrigin;
    else
        qCWarning(lcModem).noquote() << describe(now) + m_logOrigin;
}
