#pragma once

#include <QMap>
#include <QString>

// Text of the systemd unit for a service, and the few values read back from
// an installed unit. Pure, tested as tables.
//
// Restart=on-failure is what brings a crashed service back under systemd:
// when the main process ends with a restart code (-1, -10: exit status 255,
// 246) systemd kills what is left in the unit's control group, the detached
// restart copy included, and starts the unit again. A normal stop or an
// orderly exit (status 0) is not restarted.
namespace SystemdUnitFile {

struct Options
{
    QString description;
    QString programPath;                // absolute; quoted in ExecStart
    QString account;                    // User= when set
    QMap<QString, QString> environment; // extra Environment= lines
    QString runtimeDirectoryName;       // RuntimeDirectory=, e.g. "zelsms"
};

// The unit text, or an empty string with *error set when a value would break
// the unit (line breaks, an account that is not a plain user name, a
// relative program path).
QString render(const Options &options, QString *error = nullptr);

// Value of key in the unit's text (the first occurrence), unquoted for
// ExecStart, with "%%" turned back into "%".
QString value(const QString &unitText, const QString &key);

// "%" starts a specifier in unit files; a literal one is doubled.
QString escapeSpecifiers(const QString &text);
// Double-quoted C-style string as ExecStart and Environment= accept it.
QString quoted(const QString &text);

bool isSafeAccountName(const QString &account);

} // namespace SystemdUnitFile
