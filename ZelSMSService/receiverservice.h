#pragma once

#include "instancelock.h"
#include "servicebase.h"
#include "zelsmsversion.h"

#include <QString>

class Controller;

// The notification service as a system service: its start hook creates the
// one Controller and queues its initialization into the event loop, its stop
// hook destroys it; the application object is an ExceptionStableApp, whose
// restart procedure runs the event loop in both service and "-exec" mode.
class ReceiverService : public ServiceBase
{
public:
    ReceiverService(int argc, char **argv);
    ~ReceiverService() override;

    static QString version() { return QStringLiteral(ZELSMS_VERSION); }
    static QString name() { return QStringLiteral("ZEL SMS service"); }
    static QString description();

    // User command that throws std::runtime_error from the control socket's
    // event handler, to exercise crash recovery end to end. Honoured only
    // when ZELSMS_TEST_HOOKS=1 is in the service's environment.
    static constexpr int TestThrowCommand = 250;
    // The same, and the following stop takes 1.5 s: a slow shutdown that a
    // restart must wait out.
    static constexpr int TestThrowSlowStopCommand = 251;

protected:
    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;
    void processCommand(int code) override;
    bool claimInstance(QString *refusal) override;
    void createApplication(int &argc, char **argv) override;
    int executeApplication() override;

private:
    Controller *m_controller = nullptr;
    InstanceLock m_lock;
    bool m_testHooks = false;
    bool m_slowStop = false;
};
