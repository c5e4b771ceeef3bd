#include "logcategories.h"

Q_LOGGING_CATEGORY(lcStation, "zelsms.station")
Q_LOGGING_CATEGORY(lcSpool, "zelsms.spool")
Q_LOGGING_CATEGORY(lcRouter, "zelsms.router")
Q_LOGGING_CATEGORY(lcService, "zelsms.service")
Q_LOGGING_CATEGORY(lcProvider, "zelsms.provider")
Q_LOGGING_CATEGORY(lcModem, "zelsms.modem")
Q_LOGGING_CATEGORY(lcModemAt, "zelsms.modem.at")
Q_LOGGING_CATEGORY(lcSetup, "zelsms.setup")
