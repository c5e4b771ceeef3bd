#!/bin/sh
# The whole comparison in one run (as root on Debian 12): installs smstools
# (the peer relay), builds the benchmarks, then prints
#  1. idle CPU, memory and wake-ups over 60 s with a registered modem on the
#     emulated line, for the service and for smstools side by side (ZelIdleBench);
#  2. station datagram to HTTP send request, single requests on an idle
#     service, SmsRU through the gateway emulator (ZelRestBench).
# With --all also the modem and station link figures (ZelModemBench, ZelUdpBench)
# and a burst of 300 alarms through one, two and three modems beside smstools
# with as many (ZelBurstBench, about half an hour).
# Usage: sh scripts/bench.sh [--all] [--seconds N] [--samples N]
set -e
cd "$(dirname "$0")/.."
all=0
seconds=60
samples=20
while [ $# -gt 0 ]; do
    case "$1" in
    --all) all=1 ;;
    --seconds) seconds="$2"; shift ;;
    --samples) samples="$2"; shift ;;
    *) echo "usage: sh scripts/bench.sh [--all] [--seconds N] [--samples N]" >&2; exit 2 ;;
    esac
    shift
done
sh scripts/install-deps.sh smstools
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets="ZelIdleBench ZelRestBench"
[ "$all" = 1 ] && targets="$targets ZelModemBench ZelUdpBench ZelBurstBench"
cmake --build build -j"$(nproc)" --target $targets >/dev/null
echo "== idle, $seconds s (load: $(cut -d' ' -f1-3 /proc/loadavg))"
build/bin/ZelIdleBench --seconds "$seconds"
echo "== station datagram -> gateway send request"
build/bin/ZelRestBench --count "$samples"
if [ "$all" = 1 ]; then
    echo "== modem"
    build/bin/ZelModemBench
    echo "== station link"
    build/bin/ZelUdpBench --rates 1000,5000,10000 --seconds 3 --idle 20
    echo "== a burst through several modems"
    build/bin/ZelBurstBench --count 300 --modems 1,2,3
fi
