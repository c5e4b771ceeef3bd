// The grammar of modem answers: final results, the SMS prompt, the check
// commands' information parsers, unsolicited results and the USSD balance.
// Properties: a final result is only found in a buffer that ends with CR LF;
// an unsolicited result lies inside the buffer; what is kept of a buffer is
// its tail and bounded; extracted notifications are whole lines that leave the
// rest of the buffer as it was; an accepted balance is finite.
#include "atresponse.h"
#include "fuzzsupport.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace AtResponse;
    FuzzSupport::silenceLog();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const FinalResult final = parseFinalResult(bytes);
    if (final.kind != Final::None) {
        FUZZ_CHECK(bytes.endsWith("\r\n"));
        FUZZ_CHECK(!final.resultLine.isEmpty());
    }
    isSmsPrompt(bytes);
    parseCregResponse(bytes);
    parseCsqResponse(bytes);
    parseCcwaResponse(bytes);
    const int reference = parseCmgsReference(bytes);
    FUZZ_CHECK(reference >= -1 && reference <= 255);
    const QByteArray stored = parseCmgrPdu(bytes);
    FUZZ_CHECK(stored.size() <= bytes.size());

    const Unsolicited u = findUnsolicited(bytes);
    if (u.kind != Unsolicited::None) {
        FUZZ_CHECK(u.start >= 0 && u.start < u.end && u.end <= bytes.size());
        FUZZ_CHECK(bytes.mid(u.start, u.end - u.start).startsWith('+'));
    }

    const QByteArray kept = keepUnfinished(bytes);
    FUZZ_CHECK(kept.size() <= 4096);
    FUZZ_CHECK(bytes.endsWith(kept));

    QByteArray buffer = bytes;
    int removed = 0;
    for (const QByteArray &found : extractUnsolicited(buffer)) {
        FUZZ_CHECK(found.startsWith("\r\n") && found.endsWith("\r\n"));
        removed += found.size();
    }
    FUZZ_CHECK(buffer.size() + removed == bytes.size());

    for (const QString &text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        const Balance b = parseCusdBalance(text);
        if (b.ok)
            FUZZ_CHECK(std::isfinite(b.value));
    }
    return 0;
}
