#include "modemmodel.h"

namespace {
constexpr char CtrlZ = 26;
constexpr char Escape = 27;
// More than any command line the library sends; guards against a stream of
// garbage without a line end.
constexpr int MaxInput = 4096;

QByteArray swapDigits(QByteArray digits)
{
    if (digits.size() % 2)
        digits += 'F';
    for (int i = 0; i + 1 < digits.size(); i += 2) {
        const char first = digits.at(i);
        digits[i] = digits.at(i + 1);
        digits[i + 1] = first;
    }
    return digits;
}

QByteArray hex2(int v)
{
    return QByteArray::number(v & 0xFF, 16).rightJustified(2, '0').toUpper();
}
} // namespace

ModemModel::ModemModel() = default;

void ModemModel::setPin(const QByteArray &pin)
{
    m_pin = pin;
    m_sim = pin.isEmpty() ? SimReady : SimPinRequired;
    m_pinAttempts = 0;
}

void ModemModel::injectAnswer(const QByteArray &prefix, const QByteArray &answer, int count)
{
    m_injections.insert(prefix, {answer, count});
}

QByteArray ModemModel::powerUp()
{
    m_echo = true;
    m_cmgsLength = -1;
    m_input.clear();
    if (!m_pin.isEmpty() && m_sim == SimReady)
        m_sim = SimPinRequired;
    return "\r\n^SYSSTART\r\n";
}

QList<QByteArray> ModemModel::feed(const QByteArray &bytes)
{
    QList<QByteArray> out;
    for (char c : bytes) {
        if (m_cmgsLength >= 0) {
            if (c == CtrlZ) {
                const QByteArray hex = m_input.trimmed();
                m_input.clear();
                out += pdu(hex);
            } else if (c == Escape) {
                m_input.clear();
                m_cmgsLength = -1;
                out += frame("\r\nOK\r\n");
            } else if (c != '\r' && c != '\n') {
                m_input += c;
            }
            continue;
        }
        // Outside the prompt ESC means nothing; like a real modem, drop it
        // rather than read it as part of the next command line.
        if (c == Escape)
            continue;
        if (c == '\r') {
            const QByteArray line = m_input.trimmed();
            m_input.clear();
            if (line.isEmpty())
                continue;
            m_commands.append(line);
            QList<QByteArray> reply = command(line);
            if (m_echo && !m_silent && !reply.isEmpty())
                reply.first().prepend(line + '\r');
            out += reply;
        } else if (c != '\n' && m_input.size() < MaxInput) {
            m_input += c;
        }
    }
    return m_silent ? QList<QByteArray>() : out;
}

QList<QByteArray> ModemModel::frame(QByteArray text) const
{
    if (!m_split || text.size() < 2)
        return {text};
    const int half = text.size() / 2;
    return {text.left(half), text.mid(half)};
}

QList<QByteArray> ModemModel::answer(const QByteArray &body, const QByteArray &result)
{
    QByteArray text;
    if (!body.isEmpty())
        text += "\r\n" + body + "\r\n";
    text += "\r\n" + result + "\r\n";
    return frame(text);
}

QList<QByteArray> ModemModel::command(const QByteArray &line)
{
    for (auto it = m_injections.begin(); it != m_injections.end(); ++it) {
        if (line.startsWith(it.key()) && it->count > 0) {
            --it->count;
            return finish(it->answer);
        }
    }
    const QByteArray upper = line.toUpper();
    const bool simReady = m_sim == SimReady;
    if (upper == "AT" || upper == "AT&W" || upper.startsWith("AT^SPOW") ||
        upper.startsWith("AT+CLIP=") || upper.startsWith("AT+CSCS=") ||
        upper.startsWith("AT+CMGF=") || upper == "ATH" || upper == "ATA" || upper == "AT+CHUP" ||
        upper.startsWith("AT+VTD") || upper.startsWith("AT+CCWA="))
        return finish("OK");
    if (upper == "ATE0" || upper == "ATE1") {
        m_echo = upper == "ATE1";
        return finish("OK");
    }
    if (upper.startsWith("AT+CPIN"))
        return cpin(line);
    if (upper == "AT+CSMS=1")
        return answer("+CSMS: 1,1,1");
    if (upper.startsWith("AT+CPMS=")) {
        if (!simReady)
            return finish("+CMS ERROR: 310");
        m_readMemory = upper.mid(8).split(',').value(0).replace('"', "");
        return answer("+CPMS: 0,10,0,10,0,10");
    }
    // How other relays (smstools) look for received messages on every round.
    if (upper == "AT+CPMS?")
        return simReady ? answer("+CPMS: \"SM\",0,10,\"SM\",0,10,\"SM\",0,10")
                        : finish("+CMS ERROR: 310");
    if (upper == "AT+CREG?")
        return answer("+CREG: 0," + QByteArray::number(simReady ? m_registration : 0));
    if (upper == "AT+CSQ")
        return answer("+CSQ: " + QByteArray::number(m_rssi) + ',' + QByteArray::number(m_ber));
    if (upper == "AT+CCWA?")
        return answer("+CCWA: 1");
    if (upper.startsWith("AT+CNMI=") || upper.startsWith("AT+CMGR=") ||
        upper.startsWith("AT+CMGD=") || upper.startsWith("AT+CMGL=") || upper == "AT+CNMA")
        return simReady || upper.startsWith("AT+CNMI=") ? reportCommand(upper)
                                                        : finish("+CMS ERROR: 310");
    if (upper.startsWith("AT+CMGS=")) {
        if (!simReady || m_registration != 1)
            return finish(simReady ? "+CMS ERROR: 331" : "+CMS ERROR: 310");
        bool ok = false;
        const int length = line.mid(8).toInt(&ok);
        if (!ok || length <= 0 || length > 176)
            return finish("+CMS ERROR: 304");
        m_cmgsLength = length;
        return frame("\r\n> ");
    }
    if (upper.startsWith("AT+CUSD="))
        return ussd(line);
    return finish("ERROR");
}

QList<QByteArray> ModemModel::cpin(const QByteArray &line)
{
    if (line.toUpper() == "AT+CPIN?") {
        switch (m_sim) {
        case SimReady:
            return answer("+CPIN: READY");
        case SimPinRequired:
            return answer("+CPIN: SIM PIN");
        case SimPukRequired:
            return answer("+CPIN: SIM PUK");
        default:
            return finish("+CME ERROR: 10");
        }
    }
    if (m_sim != SimPinRequired)
        return finish(m_sim == SimMissing ? "+CME ERROR: 10" : "+CME ERROR: 3");
    ++m_pinAttempts;
    if (line.mid(8) == m_pin) {
        m_sim = SimReady;
        return finish("OK");
    }
    // Three wrong PINs lock the SIM: the reason the library sends a PIN once.
    if (m_pinAttempts >= 3)
        m_sim = SimPukRequired;
    return finish("+CME ERROR: 16");
}

QList<QByteArray> ModemModel::ussd(const QByteArray &line)
{
    if (m_sim != SimReady)
        return finish("+CME ERROR: 11");
    const int open = line.indexOf('"');
    const int close = line.lastIndexOf('"');
    if (open < 0 || close <= open)
        return finish("ERROR");
    m_lastUssd = line.mid(open + 1, close - open - 1);
    QList<QByteArray> out = finish("OK");
    if (!m_ussdText.isNull()) {
        const QByteArray body =
            m_ussdDcs == 72 ? SmsPdu::encodeUcs2Hex(m_ussdText) : m_ussdText.toUtf8();
        // The operator's answer comes as a separate, later write.
        out.append("\r\n+CUSD: 0,\"" + body + "\"," + QByteArray::number(m_ussdDcs) + "\r\n");
    }
    return out;
}

QList<QByteArray> ModemModel::pdu(const QByteArray &hex)
{
    const int announced = m_cmgsLength;
    m_cmgsLength = -1;
    const int smscOctets = hex.left(2).toInt(nullptr, 16) + 1;
    const SmsPdu::SubmitInfo info = SmsPdu::decodeSubmitPdu(hex);
    // A real modem refuses a PDU whose length disagrees with AT+CMGS or whose
    // user data does not fit one SMS.
    if (hex.size() % 2 || hex.size() / 2 - smscOctets != announced || !info.ok ||
        hex.size() / 2 - smscOctets > 164 || info.text.size() > 70)
        return finish("+CMS ERROR: 304");
    if (m_smsStall) {
        m_sms.append({hex, info});
        return {};
    }
    m_sms.append({hex, info});
    m_messageRef = (m_messageRef + 1) & 0xFF;
    m_dueReports += m_reports.accepted(m_sms.size() - 1, m_messageRef, info);
    return answer("+CMGS: " + QByteArray::number(m_messageRef));
}

QList<StatusReportCentre::Due> ModemModel::takeDueReports()
{
    QList<StatusReportCentre::Due> due;
    due.swap(m_dueReports);
    return due;
}

QList<QByteArray> ModemModel::reportCommand(const QByteArray &upper)
{
    const QByteArray args = upper.mid(upper.indexOf('=') + 1);
    if (upper.startsWith("AT+CNMI=")) {
        // <mode>,<mt>,<bm>,<ds>,<bfr>: only ds concerns reports.
        const QList<QByteArray> fields = args.split(',');
        return m_reports.setMode(fields.value(3).toInt()) ? finish("OK")
                                                          : finish("+CMS ERROR: 303");
    }
    if (upper == "AT+CNMA") {
        // An SMS routed with +CMT is acknowledged the same way; the model
        // keeps no account of those, so a stray acknowledgement is fine too.
        QByteArray next;
        m_reports.acknowledge(&next);
        QList<QByteArray> out = finish("OK");
        if (!next.isEmpty())
            out.append(next);
        return out;
    }
    bool ok = false;
    const int index = args.toInt(&ok);
    // Stored reports live in the status-report memory, as the announcement
    // says; read or deleted from another memory, the slot is someone else's.
    const bool reportMemory = m_readMemory == "SR";
    if (upper.startsWith("AT+CMGD=")) {
        if (reportMemory)
            m_reports.remove(index);
        return finish("OK");
    }
    const auto tpduLength = [](const QByteArray &pdu) {
        return QByteArray::number(pdu.size() / 2 - (pdu.left(2).toInt(nullptr, 16) + 1));
    };
    if (upper.startsWith("AT+CMGL=")) {
        // PDU mode takes the stat as a number: stored reports are unread (0)
        // until read; 4 lists all.
        if (!ok || index < 0 || index > 4)
            return finish("+CMS ERROR: 302");
        QByteArray listing;
        const bool listed = reportMemory && (index == 0 || index == 4);
        const QList<int> slots = listed ? m_reports.storedSlots() : QList<int>();
        for (const int slot : slots) {
            QByteArray pdu;
            m_reports.read(slot, &pdu);
            listing += "+CMGL: " + QByteArray::number(slot) + ",0,," + tpduLength(pdu) + "\r\n" +
                       pdu + "\r\n";
        }
        return listing.isEmpty() ? finish("OK") : answer(listing.chopped(2));
    }
    QByteArray pdu;
    if (!ok || !reportMemory || !m_reports.read(index, &pdu))
        return finish("+CMS ERROR: 321");
    return answer("+CMGR: 0,," + tpduLength(pdu) + "\r\n" + pdu);
}

QByteArray ModemModel::ringText(const QByteArray &number)
{
    const QByteArray type = number.startsWith('+') ? "145" : "129";
    return "\r\nRING\r\n\r\n+CLIP: \"" + number + "\"," + type + ",\"\",0,\"\",0\r\n";
}

QByteArray ModemModel::buildDeliverPdu(const QByteArray &sender, const QString &text)
{
    QByteArray digits = sender;
    const bool international = digits.startsWith('+');
    if (international)
        digits.remove(0, 1);
    QByteArray pdu = "07919730071111F1"; // service centre +79037011111
    pdu += "04";                         // SMS-DELIVER, no more messages
    pdu += hex2(digits.size()) + (international ? "91" : "81") + swapDigits(digits);
    pdu += "0008";
    pdu += "62107121000021"; // time stamp
    const QByteArray data = SmsPdu::encodeUcs2Hex(text);
    pdu += hex2(data.size() / 2) + data;
    return pdu;
}

QByteArray ModemModel::incomingSmsText(const QByteArray &sender, const QString &text)
{
    const QByteArray pdu = buildDeliverPdu(sender, text);
    return "\r\n+CMT: ," + QByteArray::number(pdu.size() / 2 - 8) + "\r\n" + pdu + "\r\n";
}
