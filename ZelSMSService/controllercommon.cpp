#include "controllercommon.h"

ControllerCommon *ControllerCommon::s_current = nullptr;

ControllerCommon::ControllerCommon(QObject *parent) : QObject(parent)
{
    s_current = this;
}

ControllerCommon::~ControllerCommon()
{
    // A dangling pointer here would outlive the object that a later query hits.
    if (s_current == this)
        s_current = nullptr;
}

ControllerCommon *ControllerCommon::current()
{
    return s_current;
}

QVariantMap ControllerCommon::controllerInfo()
{
    return QVariantMap();
}

void ControllerCommon::setControllerOption(const QVariant &)
{
}

QJsonValue ControllerCommon::controllerState()
{
    return QJsonValue();
}

void ControllerCommon::toggle()
{
    if (isStarted)
        stop();
    else
        start();
}

void ControllerCommon::restart()
{
    if (!isInitialized)
        return;
    stop();
    start();
}
