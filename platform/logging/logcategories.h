#pragma once

#include <QLoggingCategory>

// One logging category per subsystem, so that QT_LOGGING_RULES or the
// service's Common/logRules can turn one subsystem's DEBUG on in the field
// without the rest. Every category logs every level unless a rule says
// otherwise, as the service always has. The service log handler sees the
// category but writes only the text.
Q_DECLARE_LOGGING_CATEGORY(lcStation)  // zelsms.station: UDP link, admission
Q_DECLARE_LOGGING_CATEGORY(lcSpool)    // zelsms.spool
Q_DECLARE_LOGGING_CATEGORY(lcRouter)   // zelsms.router
Q_DECLARE_LOGGING_CATEGORY(lcService)  // zelsms.service: controller, host, plug-in loading
Q_DECLARE_LOGGING_CATEGORY(lcProvider) // zelsms.provider: gateway code not of one gateway
Q_DECLARE_LOGGING_CATEGORY(lcModem)    // zelsms.modem: the modem provider
Q_DECLARE_LOGGING_CATEGORY(lcModemAt)  // zelsms.modem.at: the modem library, AT traffic
Q_DECLARE_LOGGING_CATEGORY(lcSetup)    // zelsms.setup: the configuration program
