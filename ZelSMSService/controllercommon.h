#pragma once

#include <QJsonValue>
#include <QObject>
#include <QVariantMap>

// The life-cycle skeleton shared by controllers: the initialized/started flags,
// the signals announcing transitions and the generic toggle/restart built on
// the concrete controller's initialize/start/stop. One instance per process is
// reachable through current().
class ControllerCommon : public QObject
{
    Q_OBJECT
public:
    explicit ControllerCommon(QObject *parent = nullptr);
    ~ControllerCommon() override;

    static ControllerCommon *current();

    bool isControllerInitialized() const { return isInitialized; }
    bool isControllerStarted() const { return isStarted; }

    // Extension points no controller of the service uses yet.
    virtual QVariantMap controllerInfo();
    virtual void setControllerOption(const QVariant &value);
    virtual QJsonValue controllerState();

signals:
    void stopped();
    void started();
    void initialized();
    void notInitialized();
    void sendToSysLog(QString);

public slots:
    virtual void initialize() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void applySettings() = 0;
    virtual void loadSettings() = 0;
    virtual void toggle();
    virtual void restart();

protected:
    bool isInitialized = false;
    bool isStarted = false;

private:
    static ControllerCommon *s_current;
};
