#include "foregroundinstance.h"

#include "builtinservicemanager.h"
#include "logcategories.h"
#include "servicepaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace {

struct Note
{
    qint64 pid = 0;
    QString settingsFolder;
    QString program;
};

// Small by construction; a larger file is not a note of ours.
Note readNote(const QString &path)
{
    Note note;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return note;
    const QStringList lines = QString::fromUtf8(f.read(8192)).split(QLatin1Char('\n'));
    note.pid = lines.value(0).trimmed().toLongLong();
    note.settingsFolder = lines.value(1);
    note.program = lines.value(2);
    return note;
}

QString cleanFolder(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

} // namespace

QString ForegroundInstance::notePath(const QString &runtimeDir, const QString &serviceName)
{
    return runtimeDir + QLatin1Char('/') + ServicePaths::baseName(serviceName) +
           QStringLiteral("-exec.pid");
}

QString ForegroundInstance::settingsFolder()
{
    const QSettings probe(QSettings::NativeFormat, QSettings::SystemScope, QStringLiteral("ZELORG"),
                          QStringLiteral("ZelSMSService"));
    return cleanFolder(QFileInfo(probe.fileName()).absolutePath());
}

bool ForegroundInstance::writeNote(const QString &path, const QString &programPath)
{
    // Another foreground run that is still alive keeps its note: this one
    // would otherwise overwrite it, and delete it when it ends first. Not
    // logged: the note only tells that the settings have a reader, and they
    // have one; a line here would only come before this run's first line.
    const Note running = readNote(path);
    if (running.pid > 0 && running.pid != QCoreApplication::applicationPid() &&
        BuiltinServiceManager::runsProgram(running.pid, running.program))
        return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    const QByteArray text = QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                            settingsFolder().toUtf8() + '\n' + programPath.toUtf8() + '\n';
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size()) {
        qCWarning(lcService, "[ForegroundInstance::writeNote()]: не удалось записать %s: %s",
                  qPrintable(path), qPrintable(f.errorString()));
        return false;
    }
    return true;
}

void ForegroundInstance::removeNote(const QString &path)
{
    if (!path.isEmpty() && readNote(path).pid == QCoreApplication::applicationPid())
        QFile::remove(path);
}

qint64 ForegroundInstance::find(const QString &serviceName)
{
    QStringList dirs{ServicePaths::runtimeDir(false), ServicePaths::runtimeDir(true)};
    dirs.removeDuplicates();
    const QString mine = settingsFolder();
    for (const QString &dir : qAsConst(dirs)) {
        const Note note = readNote(notePath(dir, serviceName));
        if (note.pid > 0 && cleanFolder(note.settingsFolder) == mine &&
            BuiltinServiceManager::runsProgram(note.pid, note.program))
            return note.pid;
    }
    return 0;
}
