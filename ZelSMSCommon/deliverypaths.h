#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class PluginFolder;
class QSettings;

// One delivery path: a settings group of the providers' file and the
// provider that works on it.
struct DeliveryPath
{
    QString group;      // e.g. "GSMModem-2"
    QString providerId; // e.g. "ZEL_SMS_PROVIDER_MODEM"; empty: not known (yet)

    bool operator==(const DeliveryPath &o) const
    {
        return group == o.group && providerId == o.providerId;
    }
};

// The ordered chain of delivery paths, "GSMModem + GSMModem-2 > SmsRU": tiers
// separated by '>', the paths of one tier by '+'. A record goes to the first
// tier that has a path running; the paths of a tier share its work.
class DeliveryPaths
{
public:
    using Tier = QVector<DeliveryPath>;

    QVector<Tier> tiers;
    // Written as "deliveryPaths" by the administrator, rather than the
    // primary and fallback of older settings.
    bool isExplicit = false;

    // The chain as typed. Names are trimmed; an empty name, a name a settings
    // group cannot carry or a group named twice is left out, each with a line
    // in problems naming it. Blank text: an empty chain, no problem.
    static DeliveryPaths parse(const QString &text, QStringList *problems);
    // Older settings: the primary, then the fallback, each alone in its tier
    // and on its usual group (taken from the folder's metadata; a provider
    // the folder lacks keeps its id as group, so that its absence is
    // reported by the one who loads it). An empty fallback, or one equal to
    // the primary, adds no tier; a fallback without a primary comes second,
    // after a path with neither group nor provider.
    static DeliveryPaths fromProviders(const QString &current, const QString &fallback,
                                       const PluginFolder &folder);

    // Fills in each path's provider: the provider whose usual group it is,
    // else the group's own "providerID" in providers (the providers' file,
    // no group entered). Paths it cannot resolve (the group is not in the
    // file, or its providerID names no provider of the folder) keep an
    // empty id and are named in problems.
    void resolve(const PluginFolder &folder, const QSettings &providers, QStringList *problems);

    // "A + B > C", as parse() reads it back.
    QString text() const;
    int count() const;
    bool isEmpty() const { return count() == 0; }
    // Every path, tier by tier.
    QVector<DeliveryPath> all() const;
    // A settings group a path can be named by.
    static bool validGroup(const QString &group);
};
