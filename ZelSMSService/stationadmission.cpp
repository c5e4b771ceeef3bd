#include "stationadmission.h"

#include "deliverystats.h"
#include "logcategories.h"
#include "logtext.h"
#include "phonenumber.h"
#include "spoolcustody.h"
#include "stationrequest.h"

#include <QDebug>

QString StationAdmission::badNumberReason()
{
    return QStringLiteral("неверный номер");
}

void StationAdmission::warnBadNumber(qint64 id, const SMSMessage &msg)
{
    qCWarning(lcStation).noquote()
        << QStringLiteral("SMS не принято (запись %1): неверный номер \"%2\"")
               .arg(id)
               .arg(LogText::escaped(SmsText::phoneText(msg)));
}

void StationAdmission::store(QVector<StationRequest> *group)
{
    Spool &spool = m_custody->spool();
    if (!spool.isOpen()) {
        for (int i = 0; i < group->size(); ++i)
            m_stats->requestRefused("spool unavailable");
        m_custody->criticalOpen(
            QStringLiteral("Очередь SMS недоступна (%1); запросы станции не подтверждаются")
                .arg(spool.error()));
        return;
    }
    const Receiver::Taker taker = m_receiver->takerOfNew();
    QVector<Spool::Incoming> incoming;
    QVector<int> from; // position in group of each incoming
    incoming.reserve(group->size());
    int room = m_maxPending - spool.pendingCount();
    for (int i = 0; i < group->size(); ++i) {
        Spool::Incoming in;
        in.msg = group->at(i).msg;
        in.requestId = group->at(i).requestId;
        in.source = group->at(i).source;
        // A repeat of a stored request needs no room: it is acknowledged
        // again, or the station would repeat it for ever.
        in.repeatOnly = room <= 0;
        // A number that no gateway or modem can take (or one that would
        // smuggle a line break into a gateway's list) is kept as rejected:
        // acknowledged, so the station does not repeat it, and never sent.
        if (!PhoneNumber::check(SmsText::phoneBytes(in.msg)).valid) {
            in.state = Spool::Rejected;
            in.error = badNumberReason();
        } else if (!taker.provider.isEmpty()) {
            in.state = Spool::Handed;
            in.provider = taker.provider;
            in.path = taker.path;
        }
        incoming.append(in);
        from.append(i);
        --room;
    }
    if (incoming.isEmpty())
        return;
    const Spool::Moment at = Spool::now();
    if (!spool.store(&incoming, at)) {
        storeFailed(group, from);
        return;
    }
    m_writeRefused = false;
    acknowledgeStored(group, incoming, from, at);
    // Pending records and a written -wal are timed again at the usual pace.
    m_custody->armTick();
    m_receiver->groupStored();
}

void StationAdmission::acknowledgeStored(QVector<StationRequest> *group,
                                         const QVector<Spool::Incoming> &incoming,
                                         const QVector<int> &from, const Spool::Moment &at)
{
    int overLimit = 0;
    for (int k = 0; k < incoming.size(); ++k) {
        const Spool::Incoming &in = incoming.at(k);
        if (in.repeatOnly && !in.duplicate) {
            m_stats->requestRefused("spool full");
            ++overLimit;
            continue;
        }
        (*group)[from.at(k)].acknowledge = true;
        if (in.duplicate) {
            m_stats->repeat();
            qCDebug(lcStation).noquote()
                << QStringLiteral("Повтор запроса %1 станции: уже в очереди "
                                  "(запись %2)")
                       .arg(in.requestId)
                       .arg(in.id);
        } else if (in.state == Spool::Rejected) {
            m_stats->requestRefused("bad number");
            m_stats->finished(Spool::Rejected);
            warnBadNumber(in.id, in.msg);
        } else {
            m_receiver->admitted(in.id, in.msg, at, in.state, in.path);
        }
    }
    if (overLimit > 0)
        SpoolCustody::critical(
            &m_lastLimitCriticalMs,
            QStringLiteral("В очереди SMS уже %1 неотправленных (предел spoolMaxPending); "
                           "новые запросы не подтверждаются")
                .arg(m_custody->spool().pendingCount()));
}

bool StationAdmission::refusingForRoom() const
{
    const Spool &spool = m_custody->spool();
    return m_custody->started() &&
           (!spool.isOpen() || m_writeRefused || spool.pendingCount() >= m_maxPending);
}

void StationAdmission::storeFailed(QVector<StationRequest> *group, const QVector<int> &from)
{
    Spool &spool = m_custody->spool();
    // A lock held elsewhere or a spool being created again passes: the link
    // keeps these requests and stores them again shortly.
    const bool passing = spool.busy() || spool.moved();
    for (int k : from) {
        (*group)[k].retry = passing;
        if (!passing) // a passing cause is tried again, not refused
            m_stats->requestRefused("spool unavailable");
    }
    if (spool.moved()) {
        // Found here first: created again at once. A failed attempt is
        // repeated by the tick, not by every request the station sends.
        if (!m_custody->rescuing())
            m_custody->rescue();
    } else if (spool.busy()) {
        m_custody->warnBusy();
    } else {
        m_writeRefused = true;
        m_custody->criticalStore(
            QStringLiteral("Не удалось записать запросы SMS в очередь %1: %2. Запросы не "
                           "подтверждены, станция их повторит")
                .arg(spool.path(), spool.error()));
    }
}
