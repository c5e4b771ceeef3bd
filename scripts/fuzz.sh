#!/bin/sh
# Builds the fuzz targets with clang into ./build-fuzz and runs each one for
# the given number of seconds on a copy of its seed corpus (tests/fuzz/corpus).
# Fails when a target finds a crash, a sanitizer report or a broken property;
# the input that did it and the log stay in build-fuzz/findings/<target>/.
# Usage: sh scripts/fuzz.sh [seconds, default 60] [target ...]
set -e
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ not found; run scripts/install-deps.sh" >&2
    exit 1
fi
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DZELSMS_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets
targets="$*"
[ -n "$targets" ] || targets=$(ls tests/fuzz/corpus)
failed=""
supp="$(pwd)/tests/sanitizer/lsan.supp"
for t in $targets; do
    work="build-fuzz/findings/$t"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp tests/fuzz/corpus/"$t"/* "$work/corpus/"
    # Tokens of the input's grammar let the fuzzer reach "nan" or "+CUSD:"
    # within seconds rather than hours.
    case "$t" in
    fuzz_atresponse | fuzz_modemctrl) dict="-dict=tests/fuzz/dict/at.dict" ;;
    fuzz_smspdu | fuzz_statusreport) dict="-dict=tests/fuzz/dict/pdu.dict" ;;
    fuzz_addressparser) dict="-dict=tests/fuzz/dict/address.dict" ;;
    fuzz_servicesettings) dict="-dict=tests/fuzz/dict/settings.dict" ;;
    fuzz_stationrequest | fuzz_modemsettings | fuzz_phonenumber) dict="" ;;
    *) dict="-dict=tests/fuzz/dict/gateway.dict" ;;
    esac
    # Leak checks on: a leak found after an input is reported with that input.
    # The suppressions (tests/sanitizer/lsan.supp) name each leak of Qt's
    # that is not ours and why; they match only on full stacks.
    if ASAN_OPTIONS=fast_unwind_on_malloc=0 LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
        "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$work/" \
        $dict "$work/corpus" >"$work/log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
        echo "fuzz $t: ${seconds} s, ${runs:-?} inputs, no finding"
    else
        echo "fuzz $t: FAILED, see $work/log" >&2
        tail -n 30 "$work/log" >&2
        failed="$failed $t"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz.sh: findings in:$failed" >&2
    exit 1
fi
