#pragma once

#include "at_commandbase.h"

#include <QList>
#include <QVariantList>

// Two-stage send in PDU mode: "AT+CMGS=<length>", wait for the "> " prompt,
// then the PDU and Ctrl-Z, then the final result. A message longer than one
// SMS goes as a concatenated SMS, one prompt-and-PDU exchange per part. One
// result map is committed through the controller for the whole message.
namespace SendSmsResult {
inline const char *const StatusReport = "status_report"; // bool: TP-SRR was set
inline const char *const References = "references";      // list of int: +CMGS: <mr> per part
} // namespace SendSmsResult

class AT_CommandSendSMS : public AT_CommandBase
{
public:
    AT_CommandSendSMS(GSMModemCtrl &ctrl, const QByteArray &message, const QByteArray &number);

    const QByteArray &pdu() const { return m_pdu; }
    const QList<QByteArray> &parts() const { return m_parts; }
    const QByteArray &number() const { return m_number; }
    int phase() const { return m_phase; }
    int errorCount() const { return m_errorCount; }
    int readyInMs() const override;

protected:
    void prepare(QByteArray &text) override;
    int parseResponse() override;
    void onFinish() override;

private:
    int failWith(int code, const QByteArray &why);

    QByteArray m_pdu; // hex text of the part being sent; empty for a refused number
    QByteArray m_number;
    QList<QByteArray> m_parts;
    QVariantList m_references;
    bool m_statusReport = false;
    int m_part = 0;
    int m_phase = 0;
    int m_errorCount = 0;
    int m_failCode = 0;
    QByteArray m_failText;
};
