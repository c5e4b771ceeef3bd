#include "receiverservice.h"
#include "servicelog.h"
#include "settingslocation.h"
#include "smsmessage.h"
#include "syslogsink.h"

#include <QCoreApplication>
#include <memory>

int main(int argc, char *argv[])
{
    SettingsLocation::applyFromEnvironment();
    SmsText::registerSmsMessageType();

    ReceiverService service(argc, argv);
    ServiceLog::addSink(std::make_shared<SyslogSink>(ReceiverService::name()));
    if (service.logsToStandardError())
        ServiceLog::addSink(std::make_shared<ServiceLog::StderrSink>());
    qInstallMessageHandler(ServiceLog::messageHandler);

    const int code = service.exec();
    qInstallMessageHandler(nullptr);
    ServiceLog::clearSinks();
    delete QCoreApplication::instance();
    return code;
}
