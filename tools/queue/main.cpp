// ZelSMSQueue: the delivery journal of the SMS service for administrators.
#include "queuecommand.h"
#include "spool.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

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
    return QueueCommand::run(args, path, Spool::now(), out, err);
}
