// ZelSMSQueue: the delivery journal of the SMS service for administrators.
#include "queuecommand.h"
#include "spool.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <linux/ioprio.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A report reads the whole month's journal, seconds of CPU and disk; the
// service beside it answers stations within milliseconds. The report takes
// only what the service leaves: the idle CPU class, which any woken task
// preempts at once, and the idle disk class. Failing either only costs the
// service some latency, so the report goes on.
void stepAsideForTheService(QTextStream &err)
{
    struct sched_param none = {};
    if (sched_setscheduler(0, SCHED_IDLE, &none) != 0)
        err << "note: the report runs at normal CPU priority (" << strerror(errno) << ")\n";
    if (syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)) !=
        0)
        err << "note: the report runs at normal disk priority (" << strerror(errno) << ")\n";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString path = Spool::defaultPath();
    const int db = args.indexOf(QStringLiteral("--db"));
    if (db >= 0 && db + 1 < args.size()) {
        path = args.at(db + 1);
        args.erase(args.begin() + db, args.begin() + db + 2);
    }
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");
    QStringList options = args;
    options.removeAll(QStringLiteral("--json"));
    if (options.value(0) == QLatin1String("report"))
        stepAsideForTheService(err);
    return QueueCommand::run(args, path, Spool::now(), out, err);
}
