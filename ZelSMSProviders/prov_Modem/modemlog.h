#pragma once

#include <QString>
#include <QtGlobal>

// The modem provider's log lines: the text as it is, without the quotes and
// spaces QDebug adds, at the level the caller chose.
namespace ModemLog {

void write(QtMsgType type, const QString &text);

} // namespace ModemLog
