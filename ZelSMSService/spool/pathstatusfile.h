#pragma once

#include <QString>
#include <QVector>

// One delivery path's live state as the running service sees it: what the
// operator's tool and systemd's status line show for it.
struct PathStatus
{
    int tier = 0;       // 0: the first tier of the chain
    QString group;      // the settings group, e.g. "GSMModem-2"; empty: none configured
    QString providerId; // empty: not known
    // "working", "paused", "down", "not started" (no provider loaded),
    // "not ready" (a modem that runs but cannot send yet: its word says why)
    QString state;
    int providerStatus = 1; // ProviderStatus, as the station would see it
    bool hasWord = false;   // a modem's device status word
    quint32 word = 0;
    int waiting = 0;      // records the router keeps for this path
    int inFlight = 0;     // records the path holds
    qint64 delivered = 0; // since the service started
    QString lastError;

    bool operator==(const PathStatus &o) const;
    bool operator!=(const PathStatus &o) const { return !(*this == o); }

    // The modem's word as the operator reads it: "registered, signal 17",
    // "no SIM", "not answering".
    static QString describeWord(quint32 word);
};

// The paths' live state in a file beside the spool ("paths.json" in the
// state folder), written by the running service and read by ZelSMSQueue,
// which has no other way to the service's memory. The file carries the
// writer's pid, boot and wall time, so that a file a crash left behind is
// not taken for a running service; an orderly stop removes it.
//
// JSON, written whole through a temporary file and a rename (never half a
// file), 0600 like the spool: an error text may name a recipient. Only a
// change of content is written, so an idle service does not touch the disk.
class PathStatusFile
{
public:
    static constexpr const char *FileName = "paths.json";
    // A file older than this is shown with its age.
    static constexpr qint64 FreshMs = 15000;

    // The file beside the spool at spoolPath.
    static QString pathFor(const QString &spoolPath);

    explicit PathStatusFile(const QString &file) : m_file(file) {}
    QString file() const { return m_file; }

    // Writes the paths when they differ from the last ones written; false
    // when the write failed (the next call tries again), error says why.
    bool write(const QVector<PathStatus> &paths, qint64 wallMs, QString *error = nullptr);
    // At an orderly stop: no file, no running service.
    void remove();

    struct Reading
    {
        enum Service
        {
            NotRunning, // no file, or its writer is gone
            Running,
            Unreadable // the file exists but is no file of ours
        };
        Service service = NotRunning;
        qint64 pid = 0;       // the writer, when the file was read
        qint64 writtenMs = 0; // wall clock
        QVector<PathStatus> paths;
        QString error; // Unreadable: why
    };
    static Reading read(const QString &file);

    // The JSON the file holds, and back; parse() fails with error set.
    static QByteArray render(const QVector<PathStatus> &paths, qint64 pid, const QString &bootId,
                             qint64 wallMs);
    static bool parse(const QByteArray &data, Reading *reading, QString *bootId, QString *error);

private:
    QString m_file;
    QVector<PathStatus> m_written;
    bool m_hasWritten = false;
};
