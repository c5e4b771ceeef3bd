#include "servicestatusline.h"

#include "controller.h"
#include "icommonsmsinterface.h"
#include "pcnudplink.h"

#include <QStringList>

namespace ServiceStatusLine {

namespace {
QString stateWord(const Path &p)
{
    if (p.id.isEmpty())
        return QStringLiteral("не настроен");
    if (!p.loaded)
        return QStringLiteral("не загружен");
    switch (p.status) {
    case StatusOk:
        return QStringLiteral("работает");
    case StatusNoLink:
        return QStringLiteral("нет связи");
    case StatusLowBalance:
        return QStringLiteral("низкий баланс");
    case StatusGatewayError:
        return QStringLiteral("ошибка шлюза");
    default:
        return QStringLiteral("состояние %1").arg(p.status);
    }
}
} // namespace

QString format(const Snapshot &s)
{
    QStringList parts;
    for (const Path &p : s.paths) {
        const QString name = p.id.isEmpty() ? p.role : p.role + QLatin1Char(' ') + p.id;
        parts << name + QStringLiteral(": ") + stateWord(p);
    }
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
    Path primary;
    primary.role = QStringLiteral("основной");
    primary.id = controller.providerId();
    primary.loaded = controller.provider() != nullptr;
    primary.status = primary.loaded ? controller.provider()->providerStatus() : int(StatusNoLink);
    s.paths << primary;
    if (!controller.fallbackProviderId().isEmpty()) {
        Path fallback;
        fallback.role = QStringLiteral("резервный");
        fallback.id = controller.fallbackProviderId();
        ICommonSmsInterface *f = controller.fallbackProvider();
        fallback.loaded = f != nullptr;
        fallback.status = f ? f->providerStatus() : int(StatusNoLink);
        s.paths << fallback;
    }
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
