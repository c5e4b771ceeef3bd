#!/bin/sh
# Runs one test so that it cannot change the machine, and fails it when it
# tried: as root the service, the tools and the tests would otherwise write
# the machine's own state (/var/lib/zelsms), settings (/etc/xdg/ZELORG),
# runtime folder (/run/zelsms) or home folder whenever a test forgets to point
# them at its temporary folders. CTest starts every test through this script
# (add_unit_test, the fuzz corpus runners).
#
# As root, the test runs in a mount namespace of its own in which /etc, /var,
# /run and the home folder are overlays over the real ones: whatever the test
# and its child processes write there lands in a scratch folder and is listed
# afterwards (files, links, removals, empty folders); the test then fails
# with that list, and the machine is untouched. /tmp and the build tree are not covered: tests may write there.
# /var/tmp is a temporary folder too and is not reported, nor are serial
# port locks (/run/lock/LCK..*): every program that opens a serial port, the
# emulated modem's pseudo-terminal included, takes one there, and one whose
# owner was killed stays until the next open finds it stale. Nor are what
# system tools write whatever they are told: fontconfig renews a stale system
# font cache (/var/cache/fontconfig) for any root program that draws text,
# the GUI tests included, and "systemd-analyze security --offline" touches
# /run/systemd/systemd-units-load.
# Where node-exporter is installed, its textfile folder (the metrics file's
# default place) is an empty tmpfs for the test.
# Not root, or no overlay file system: the test just runs (an ordinary user
# cannot write those folders anyway, and a home folder write then goes
# unnoticed). ZELSMS_MACHINE_GUARD=off runs every test unguarded.
# Usage: machineguard.sh program [argument ...]

if [ "$(id -u)" != 0 ] || [ "$ZELSMS_MACHINE_GUARD" = off ] || ! command -v unshare >/dev/null 2>&1; then
    exec "$@"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelsms-guard-XXXXXX") || exec "$@"
report="$scratch.written"
home=${HOME:-/root}
case "$home" in /etc/* | /var/* | /run/* | /tmp/* | /) home="" ;; esac

# Inside the namespace: $1 scratch, $2 report, $3 home, then the test.
unshare --mount --propagation private sh -c '
    scratch=$1 report=$2 home=$3
    shift 3
    mount -t tmpfs tmpfs "$scratch" 2>/dev/null || exec "$@"
    n=0
    for d in /etc /var /run $home; do
        [ -d "$d" ] || continue
        n=$((n + 1))
        mkdir -p "$scratch/$n/upper" "$scratch/$n/work"
        echo "$n $d" >>"$scratch/layers"
        if ! mount -t overlay overlay \
            -o "lowerdir=$d,upperdir=$scratch/$n/upper,workdir=$scratch/$n/work" "$d" 2>/dev/null; then
            exec "$@"
        fi
    done
    # A machine with node-exporter: its textfile folder is where the service
    # writes its metrics by default, so a test gets an empty one of its own.
    if [ -d /var/lib/prometheus/node-exporter ]; then
        mount -t tmpfs tmpfs /var/lib/prometheus/node-exporter 2>/dev/null || exec "$@"
    fi
    "$@"
    rc=$?
    while read -r n d; do
        (cd "$scratch/$n/upper" && find . -mindepth 1 \( -type d -empty -printf "%p/\n" \) -o \
            \( -type f -o -type l -o -type c \) -print) |
            sed "s|^\./|$d/|" | grep -v -e "^/var/tmp/" -e "^/run/lock/LCK\.\." \
            -e "^/var/cache/fontconfig/" -e "^/run/systemd/systemd-units-load$" >>"$report"
    done <"$scratch/layers"
    exit $rc
' machineguard "$scratch" "$report" "$home" "$@"
rc=$?
# An empty folder is left in the overlay also where a file was made and
# removed again in a folder that was there before (a serial port's lock in
# /run/lock): only folders the machine does not have count.
if [ -s "$report" ]; then
    while read -r path; do
        case "$path" in */) [ -d "$path" ] && continue ;; esac
        echo "$path"
    done <"$report" >"$report.new"
    mv "$report.new" "$report"
fi
if [ -s "$report" ]; then
    echo "machineguard: the test wrote outside its build tree and temporary folders" \
        "(kept away from the machine; point the service and tools at temporary folders:" \
        "ZELSMS_STATE_DIR, ZELSMS_SETTINGS_DIR, ZELSMS_RUNTIME_DIR, XDG_CONFIG_HOME):" >&2
    sed 's/^/    /' "$report" >&2
    [ "$rc" = 0 ] && rc=1
fi
rm -rf "$scratch" "$report"
exit $rc
