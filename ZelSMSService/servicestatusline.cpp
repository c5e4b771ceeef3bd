#include "servicestatusline.h"

#include "controller.h"
#include "icommonsmsinterface.h"
#include "pathmonitor.h"
#include "pcnudplink.h"

#include <QStringList>

namespace ServiceStatusLine {

namespace {

// The words of older settings' two roles, from the provider status code.
QString roleWord(const PathStatus &p)
{
    if (p.providerId.isEmpty())
        return QStringLiteral("не настроен");
    if (p.state == QLatin1String("not started"))
        return QStringLiteral("не загружен");
    switch (p.providerStatus) {
    case StatusOk:
        return QStringLiteral("работает");
    case StatusNoLink:
        return QStringLiteral("нет связи");
    case StatusLowBalance:
        return QStringLiteral("низкий баланс");
    case StatusGatewayError:
        return QStringLiteral("ошибка шлюза");
    default:
        return QStringLiteral("состояние %1").arg(p.providerStatus);
    }
}

// Why a modem that runs cannot send, from its word (see PathStatus).
QString notReadyWord(quint32 word)
{
    if (((word >> 16) & 0xff) == 0)
        return QStringLiteral("модем не отвечает");
    switch ((word >> 8) & 0xff) {
    case 2:
        return QStringLiteral("нет SIM-карты");
    case 3:
        return QStringLiteral("поиск сети");
    case 4:
        return QStringLiteral("регистрация отклонена");
    default:
        return QStringLiteral("нет регистрации");
    }
}

QString pathWord(const PathStatus &p)
{
    if (p.state == QLatin1String("working"))
        return QStringLiteral("работает");
    if (p.state == QLatin1String("paused"))
        return QStringLiteral("пауза после сбоя");
    if (p.state == QLatin1String("down"))
        return QStringLiteral("не работает");
    if (p.state == QLatin1String("not started"))
        return QStringLiteral("не запущен");
    if (p.state == QLatin1String("not ready"))
        return QStringLiteral("не готов") +
               (p.hasWord ? QStringLiteral(", ") + notReadyWord(p.word) : QString());
    return p.state;
}

QString pathText(const PathStatus &p, bool defaultChain)
{
    QString text;
    if (defaultChain) {
        const QString role = p.tier == 0 ? QStringLiteral("основной") : QStringLiteral("резервный");
        text = (p.providerId.isEmpty() ? role : role + QLatin1Char(' ') + p.providerId) +
               QStringLiteral(": ") + roleWord(p);
    } else {
        text = p.group + QStringLiteral(": ") + pathWord(p);
    }
    QStringList counts;
    if (p.waiting > 0)
        counts << QStringLiteral("ждут %1").arg(p.waiting);
    if (p.inFlight > 0)
        counts << QStringLiteral("в работе %1").arg(p.inFlight);
    if (!counts.isEmpty())
        text += QStringLiteral(" (") + counts.join(QStringLiteral(", ")) + QLatin1Char(')');
    return text;
}

} // namespace

QString format(const Snapshot &s)
{
    QStringList parts;
    for (const PathStatus &p : s.paths)
        parts << pathText(p, s.defaultChain);
    if (s.spoolOpen)
        parts << QStringLiteral("ожидают отправки: %1").arg(s.waiting);
    else
        parts << QStringLiteral("очередь недоступна");
    if (!s.stationBound)
        parts << QStringLiteral("сокет станции не открыт");
    return parts.join(QStringLiteral("; "));
}

Snapshot take(Controller &controller)
{
    Snapshot s;
    s.paths = controller.pathStatuses();
    s.defaultChain = controller.defaultChain();
    s.spoolOpen = controller.spool().isOpen();
    s.waiting = s.spoolOpen ? controller.spool().pendingCount() : 0;
    s.stationBound = controller.stationLink() && controller.stationLink()->localPort() != 0;
    return s;
}

bool working(const Snapshot &s)
{
    return s.spoolOpen && s.stationBound;
}

} // namespace ServiceStatusLine
