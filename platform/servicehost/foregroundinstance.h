#pragma once

#include <QString>

// A service run in the foreground (-exec) is known to no service manager, yet
// it reads the same settings as the installed one. While it runs it keeps a
// note in its runtime directory (its pid, the folder of the system-scope
// settings it reads and its program), so the configuration program can tell
// that settings saved now have a reader even though no service is installed.
class ForegroundInstance
{
public:
    // "<runtime dir>/<base name>-exec.pid"
    static QString notePath(const QString &runtimeDir, const QString &serviceName);
    // The folder of this process's system-scope settings, as an absolute path.
    static QString settingsFolder();

    // Writes the note for this process; false when it cannot (logged), or
    // when the note there is a live instance's (left untouched, not logged).
    static bool writeNote(const QString &path, const QString &programPath);
    // Removes the note if it is this process's own.
    static void removeNote(const QString &path);

    // Pid of a live foreground instance of serviceName that reads the same
    // settings folder as this process, looked up in every runtime directory
    // this user could share with it; 0 when there is none. Notes left by a
    // killed instance are ignored.
    static qint64 find(const QString &serviceName);
};
