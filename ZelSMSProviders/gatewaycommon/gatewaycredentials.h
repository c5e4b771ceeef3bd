#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class BasicSmsRestProvider;
class QSettings;

// What every HTTP gateway reads from its group of the system-scope
// ZELORG/SMSProviders settings: login, password and sender name, plus the
// optional "baseUrl" handed to the provider. Reading also warns when the file
// holding the credentials is readable by others and names any missing key, so
// all gateways say the same about the same mistake. A gateway's own keys and
// rules (default sender, flash, channel) stay in its readSettings().
struct GatewayCredentials
{
    QString login;
    QString password;
    QString senderId;    // as stored; empty when not set
    bool usable = false; // false when a required key is missing, which read() has logged

    // Reads the gateway's own keys with the group entered; returns the keys it
    // requires but did not find, named as in the file.
    using OwnKeys = std::function<QStringList(const QSettings &group)>;

    // origin prefixes the missing-settings warning, e.g. "[PROV_X::readSettings()]".
    static GatewayCredentials read(BasicSmsRestProvider &provider, const QString &group,
                                   const char *origin, const OwnKeys &ownKeys = {});
};
