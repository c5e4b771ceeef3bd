#pragma once

// What the fuzz targets share: a property check that stops the run with the
// failed condition, and a silenced Qt log (the parsers log what they reject,
// and millions of lines would only slow the run down).

#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace FuzzSupport {

inline void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

inline void silenceLog()
{
    static const bool done = [] {
        qInstallMessageHandler(quiet);
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace FuzzSupport

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
