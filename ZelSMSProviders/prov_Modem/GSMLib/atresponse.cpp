#include "atresponse.h"

#include <QRegularExpression>
#include <cmath>

namespace AtResponse {

namespace {

// The leading part is lazy so that it leaves the information lines to the
// group; "\z" because "$" would also accept a stray line feed after the result.
// Some modems answer "+CME ERROR: SIM busy" in verbose mode: that is still a
// final result (code 0), not a reason to wait for the time-out.
const QRegularExpression &finalPattern()
{
    static const QRegularExpression re(
        QStringLiteral("\\A.*?(\\r\\n(.+)\\r\\n)?\\r\\n(OK|ERROR|\\+CME ERROR:\\s*([^\\r\\n]+)|"
                       "\\+CMS ERROR:\\s*([^\\r\\n]+))\\r\\n\\z"),
        QRegularExpression::DotMatchesEverythingOption);
    return re;
}

const QRegularExpression &promptPattern()
{
    static const QRegularExpression re(QStringLiteral("\\A.*\\r\\n>\\s*\\z"),
                                       QRegularExpression::DotMatchesEverythingOption);
    return re;
}

TwoNumbers matchTwo(const QRegularExpression &re, const QByteArray &info)
{
    TwoNumbers out;
    const auto m = re.match(QString::fromUtf8(info));
    if (m.hasMatch()) {
        out.ok = true;
        out.first = m.captured(1).toInt();
        out.second = m.captured(2).toInt();
    }
    return out;
}

// Unsolicited results are matched on a Latin-1 view of the bytes so that
// match offsets are byte offsets.
QString bytesView(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

const QRegularExpression &clipPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CLIP:\\s*\"([^\"\\r\\n]*)\",\\s*(\\d+)[^\\r\\n]*\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &ccwaPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CCWA:\\s*\"([^\"\\r\\n]*)\",[^\\r\\n]*\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

// The alpha field before the length is empty on most modems (",23") and a
// quoted empty string ("\"\",23") on others.
const QRegularExpression &cmtPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CMT:[^\\r\\n]*\\r\\n([0-9A-Fa-f]+)\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

// A routed status report: "+CDS: <length>" and the PDU on the next line.
const QRegularExpression &cdsPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CDS:[^\\r\\n]*\\r\\n([0-9A-Fa-f]+)\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

// A stored status report: "+CDSI: <mem>,<index>".
const QRegularExpression &cdsiPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CDSI:\\s*\"?([^\",\\r\\n]*)\"?,\\s*(\\d+)[^\\r\\n]*\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &cusdPattern()
{
    static const QRegularExpression re(
        QStringLiteral("^\\+CUSD:\\s*\\d+,\\s*\"([^\"]*)\",\\s*(\\d+)[^\\r\\n]*\\r\\n"),
        QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &startPattern()
{
    static const QRegularExpression re(QStringLiteral("^\\+(CLIP|CCWA|CMT|CUSD|CDSI|CDS):"),
                                       QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &extractPattern()
{
    static const QRegularExpression re(
        QStringLiteral("\\r\\n(RING|\\+CLIP:\\s*\"[^\"\\r\\n]*\",[^\\r\\n]*|"
                       "\\+CCWA:\\s*\"[^\"\\r\\n]*\",[^\\r\\n]*|"
                       "\\+CMT:[^\\r\\n]*\\r\\n[0-9A-Fa-f]+|"
                       "\\+CDS:[^\\r\\n]*\\r\\n[0-9A-Fa-f]+|"
                       "\\+CDSI:[^\\r\\n]*|"
                       "\\+CUSD:\\s*\\d+(?:,\\s*\"[^\"]*\"[^\\r\\n]*)?)\\r\\n"));
    return re;
}

constexpr int MaxKept = 4096;

} // namespace

FinalResult parseFinalResult(const QByteArray &buffer)
{
    FinalResult out;
    // Every final result ends the buffer with CR LF; checking that first spares
    // the backtracking pattern the partial answers of every tick.
    if (!buffer.endsWith("\r\n"))
        return out;
    const auto m = finalPattern().match(QString::fromUtf8(buffer.constData(), buffer.size()));
    if (!m.hasMatch())
        return out;
    out.resultLine = m.captured(3).toUtf8();
    if (out.resultLine == "OK") {
        out.kind = Final::Ok;
        out.info = m.captured(2).toUtf8();
    } else if (out.resultLine == "ERROR") {
        out.kind = Final::Error;
    } else if (!m.captured(4).isEmpty()) {
        out.kind = Final::CmeError;
        out.errorCode = m.captured(4).trimmed().toInt();
    } else {
        out.kind = Final::CmsError;
        out.errorCode = m.captured(5).trimmed().toInt();
    }
    return out;
}

bool isSmsPrompt(const QByteArray &buffer)
{
    return promptPattern().match(QString::fromUtf8(buffer.constData(), buffer.size())).hasMatch();
}

TwoNumbers parseCregResponse(const QByteArray &info)
{
    // Modems set to "AT+CREG=2" add location fields after the status.
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("\\+CREG:\\s+(\\d+),\\s*(\\d+)(,.*)?")));
    return matchTwo(re, info);
}

TwoNumbers parseCsqResponse(const QByteArray &info)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("\\+CSQ:\\s+(\\d+),\\s*(\\d+)")));
    return matchTwo(re, info);
}

TwoNumbers parseCcwaResponse(const QByteArray &info)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("\\+CCWA:\\s+(\\d+)")));
    return matchTwo(re, info);
}

Balance parseCusdBalance(const QString &text)
{
    // An amount: an optional minus, digits (in groups of three parted by
    // blanks or no-break spaces, as "1 234,56"), an optional fraction and a
    // currency mark. No digit may stand right before it, or the tail of a
    // longer number would pass for an amount.
    static const QRegularExpression amount(
        QStringLiteral("(?<!\\d)(-?(?:\\d{1,3}(?:[ \\x{00A0}\\x{202F}]\\d{3})+|\\d+)(?:[.,]\\d+)?)"
                       "\\s*(?:руб|р|rub|r|pyb|p)\\.?"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    // Operators put bonuses, tariffs and minutes beside the balance ("Бонус 3
    // руб. Баланс 150,00 руб."); the amount after the balance word is the one.
    static const QRegularExpression balanceWord(QStringLiteral("баланс|balance|остаток"),
                                                QRegularExpression::CaseInsensitiveOption |
                                                    QRegularExpression::UseUnicodePropertiesOption);
    Balance out;
    QRegularExpressionMatch m;
    const QRegularExpressionMatch word = balanceWord.match(text);
    if (word.hasMatch())
        m = amount.match(text, word.capturedEnd());
    if (!m.hasMatch())
        m = amount.match(text);
    if (!m.hasMatch())
        return out;
    QString number = m.captured(1);
    number.remove(QLatin1Char(' ')).remove(QChar(0x00A0)).remove(QChar(0x202F));
    number.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (ok && std::isfinite(value)) {
        out.ok = true;
        out.value = value;
    }
    return out;
}

Unsolicited findUnsolicited(const QByteArray &buffer)
{
    const QString view = bytesView(buffer);
    Unsolicited best;
    int bestStart = -1;
    auto consider = [&](const QRegularExpression &re, Unsolicited::Kind kind) {
        const auto m = re.match(view);
        if (!m.hasMatch() || (bestStart >= 0 && m.capturedStart() >= bestStart))
            return;
        bestStart = m.capturedStart();
        best = Unsolicited();
        best.kind = kind;
        best.start = m.capturedStart();
        best.end = m.capturedEnd();
        if (kind == Unsolicited::Clip || kind == Unsolicited::Ccwa)
            best.number = m.captured(1).toLatin1();
        else if (kind == Unsolicited::Cmt || kind == Unsolicited::Cds)
            best.pdu = m.captured(1).toLatin1();
        else if (kind == Unsolicited::Cdsi) {
            best.text = m.captured(1).toLatin1();
            best.index = m.captured(2).toInt();
        } else {
            best.text = m.captured(1).toLatin1();
            best.dcs = m.captured(2).toLatin1();
        }
    };
    consider(clipPattern(), Unsolicited::Clip);
    consider(ccwaPattern(), Unsolicited::Ccwa);
    consider(cmtPattern(), Unsolicited::Cmt);
    consider(cusdPattern(), Unsolicited::Cusd);
    consider(cdsPattern(), Unsolicited::Cds);
    consider(cdsiPattern(), Unsolicited::Cdsi);
    return best;
}

QByteArray keepUnfinished(const QByteArray &buffer)
{
    const QString view = bytesView(buffer);
    int lastStart = -1;
    auto it = startPattern().globalMatch(view);
    QString lastKind;
    while (it.hasNext()) {
        const auto m = it.next();
        lastStart = m.capturedStart();
        lastKind = m.captured(1);
    }
    QByteArray kept;
    if (lastStart >= 0) {
        const QByteArray rest = buffer.mid(lastStart);
        const int lineEnds = rest.count("\r\n");
        const bool twoLines = lastKind == QLatin1String("CMT") || lastKind == QLatin1String("CDS");
        const bool unfinished = twoLines ? lineEnds < 2
                                : lastKind == QLatin1String("CUSD")
                                    ? rest.count('"') % 2 == 1 || lineEnds < 1
                                    : lineEnds < 1;
        if (unfinished)
            kept = rest;
    }
    if (kept.isEmpty()) {
        const int lastLf = buffer.lastIndexOf('\n');
        kept = buffer.mid(lastLf + 1);
    }
    return kept.size() > MaxKept ? QByteArray() : kept;
}

int parseCmgsReference(const QByteArray &info)
{
    static const QRegularExpression re(QStringLiteral("\\+CMGS:\\s*(\\d{1,3})\\b"));
    const auto m = re.match(bytesView(info));
    const int reference = m.hasMatch() ? m.captured(1).toInt() : -1;
    return reference <= 255 ? reference : -1;
}

QByteArray parseCmgrPdu(const QByteArray &info)
{
    static const QRegularExpression re(
        QStringLiteral("\\+CMGR:[^\\r\\n]*\\r\\n([0-9A-Fa-f]+)\\s*\\z"));
    const auto m = re.match(bytesView(info.trimmed() + "\r\n"));
    return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
}

QList<ListedPdu> parseCmglPdus(const QByteArray &info)
{
    static const QRegularExpression re(
        QStringLiteral("\\+CMGL:\\s*(\\d{1,5}),[^\\r\\n]*\\r?\\n([0-9A-Fa-f]+)"));
    QList<ListedPdu> listed;
    auto it = re.globalMatch(bytesView(info));
    while (it.hasNext()) {
        const auto m = it.next();
        listed.append(ListedPdu{m.captured(1).toInt(), m.captured(2).toLatin1()});
    }
    return listed;
}

QList<QByteArray> extractUnsolicited(QByteArray &buffer, QList<bool> *afterFinal)
{
    QList<QByteArray> found;
    // Each pass removes one block, so the count bounds the loop.
    for (int pass = 0; pass < 16; ++pass) {
        const auto m = extractPattern().match(bytesView(buffer));
        if (!m.hasMatch())
            break;
        found.append(buffer.mid(m.capturedStart(), m.capturedLength()));
        if (afterFinal)
            afterFinal->append(parseFinalResult(buffer.left(m.capturedStart())).kind !=
                               Final::None);
        buffer.remove(m.capturedStart(), m.capturedLength());
    }
    return found;
}

} // namespace AtResponse
