#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Text of the systemd unit for a service, and the few values read back from
// an installed unit. Pure, tested as tables.
//
// Restart=on-failure is what brings a crashed service back under systemd:
// when the main process ends with a restart code (-1, -10: exit status 255,
// 246) systemd kills what is left in the unit's control group, the detached
// restart copy included, and starts the unit again. A normal stop or an
// orderly exit (status 0) is not restarted.
//
// Every unit is sandboxed the same way, the one the package ships and the one
// "-install" writes alike: no capabilities, a read-only system, no home
// folders (read-only when the program or a path it is given lives there),
// serial and pseudo-terminal devices only, the socket families the station
// link, the gateways and syslog use, and writable state and runtime
// directories that systemd creates for the account. systemd-analyze rates
// such a unit 1.6 to 2.1 ("OK").
namespace SystemdUnitFile {

struct Options
{
    QString description;
    QString programPath;                // absolute; quoted in ExecStart
    QString account;                    // User= when set
    QMap<QString, QString> environment; // extra Environment= lines
    QString runtimeDirectoryName;       // RuntimeDirectory=, e.g. "zelsms"
    QString stateDirectoryName;         // StateDirectory=, e.g. "zelsms"
    QStringList readWritePaths;         // absolute; writable despite ProtectSystem=strict
};

// The sandboxing lines, in the order render() writes them.
QStringList hardeningLines(bool homeReadOnly);

// Set for the service by both managers. MemoryDenyWriteExecute=yes refuses
// the writable and executable memory Qt's regular-expression JIT (PCRE2) asks
// for at the first match; switched off, nothing tries what the sandbox forbids.
constexpr const char *RegexpJitVariable = "QT_ENABLE_REGEXP_JIT";
constexpr const char *RegexpJitOff = "0";

// The unit text, or an empty string with *error set when a value would break
// the unit (line breaks, an account that is not a plain user name, a
// relative program path or writable path).
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
