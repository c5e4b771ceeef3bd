#!/bin/sh
# CI check of the package under a real systemd (run as root after
# check-package.sh, which leaves the .deb in build/deb/; or give a .deb): boots a minimal
# Debian 12 with systemd-nspawn (systemd as the container's PID 1; the host
# needs no systemd), installs zelsms and checks what an administrator relies
# on: the unit runs as zelsms, Type=notify reaches READY, status datagrams
# reach the station, the watchdog restarts a frozen service, a reload takes a
# new station port, journal priorities, a restart after kill -9, and purge
# leaves nothing. Prints the measured times. The container sees only its own
# loopback; its root is the cached debootstrap under an overlay, thrown away
# at the end (also on failure).
set -eu
cd "$(dirname "$0")/.."
top=$PWD
fail() { echo "check-systemd: FAIL: $*" >&2; exit 1; }
step() { echo "== check-systemd: $*"; }

[ "$(id -u)" = 0 ] || fail "must run as root"
sh scripts/install-deps.sh debootstrap systemd-container procps
# The package to try: the argument, else the one package.sh left.
deb=${1:-$(ls "$top"/build/deb/zelsms_*.deb 2>/dev/null | head -n 1)}
[ -n "$deb" ] || { sh scripts/package.sh; deb=$(ls "$top"/build/deb/zelsms_*.deb | head -n 1); }
deb=$(readlink -f "$deb")

# The root is cached between runs; it must hold the package's dependencies,
# since the container has no network to fetch them: a cached root without
# them is made again.
cache=/var/cache/zelsms-ci
base=$cache/bookworm
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g' | grep -v '^$' | sort -u)
needed="systemd systemd-sysv dbus procps $deps"
missing=""
if [ -f "$base/.complete" ]; then
    for p in $needed; do
        dpkg-query --admindir="$base/var/lib/dpkg" -W -f='${Status}' "$p" 2>/dev/null |
            grep -q "install ok installed" || missing="$missing $p"
    done
fi
if [ ! -f "$base/.complete" ] || [ -n "$missing" ]; then
    step "debootstrap (cached in $base)${missing:+; missing:$missing}"
    rm -rf "$base.tmp"
    mkdir -p "$cache"
    debootstrap --variant=minbase --include="$(printf '%s\n' $needed | sort -u | paste -sd, -)" \
        bookworm "$base.tmp" http://deb.debian.org/debian
    touch "$base.tmp/.complete"
    rm -rf "$base"
    mv "$base.tmp" "$base"
fi

work=$(mktemp -d /var/tmp/zelsms-ci.XXXXXX)
machine=zelsms-ci-$$
nspawn=""
cleanup() {
    code=$?
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        kill -TERM "$nspawn" 2>/dev/null || true
        i=0
        while kill -0 "$nspawn" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.2; i=$((i + 1)); done
        kill -KILL "$nspawn" 2>/dev/null || true
        wait "$nspawn" 2>/dev/null || true
    fi
    if [ $code != 0 ] && [ -f "$work/console.log" ]; then
        echo "check-systemd: failed (exit $code); the container's console:" >&2
        tail -n 40 "$work/console.log" >&2
    fi
    if mountpoint -q "$work/root"; then umount "$work/root" || umount -l "$work/root"; fi
    rm -rf "$work"
    exit $code
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "boot"
mkdir -p "$work/upper" "$work/work" "$work/root" "$work/debs"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/work" "$work/root"
cp "$deb" "$work/debs/"
# No machined or host systemd: no registration, no scope of its own.
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 SYSTEMD_SECCOMP=0 systemd-nspawn -q -b -D "$work/root" \
    -M "$machine" --register=no --keep-unit --private-network --console=passive \
    --bind-ro="$work/debs:/debs" >"$work/console.log" 2>&1 </dev/null &
nspawn=$!
leader=""
i=0
while [ -z "$leader" ]; do
    kill -0 "$nspawn" 2>/dev/null || { cat "$work/console.log"; fail "systemd-nspawn ended"; }
    leader=$(pgrep -P "$nspawn" -x systemd || true)
    i=$((i + 1))
    [ $i -le 300 ] || fail "no systemd in the container after 30 s"
    sleep 0.1
done
# A command in the container: all its namespaces, a clean environment.
ct() { nsenter -t "$leader" -a -- /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# systemd's own bus socket appears a moment after it starts.
i=0
while :; do
    state=$(ct timeout 90 systemctl is-system-running --wait 2>&1 || true)
    case "$state" in
    running | degraded) break ;;
    *"Failed to connect to bus"*) ;;
    *) fail "container did not boot: $state" ;;
    esac
    i=$((i + 1))
    [ $i -le 100 ] || fail "container did not boot: $state"
    sleep 0.3
done

# Everything the checks compare before the install and after the purge.
snapshot() {
    # /run only for what is ours: adduser and getty leave their own marks.
    ct sh -c 'getent passwd; getent group; ls -1A /etc/xdg /var/lib /etc/systemd/system \
        /etc/systemd/system/multi-user.target.wants /lib/systemd/system /usr/lib 2>&1;
        ls -d /run/zelsms 2>/dev/null;
        systemctl list-units --all --no-legend --plain "zel*"' | sort
}
snapshot >"$work/before"

ms() { date +%s%3N; }
# First status datagram at 127.0.0.1:port inside the container, in the
# background; its output goes to $work/sim.<port>.
sim_start() {
    ct timeout 60 /usr/bin/ZelStationSim --bind "127.0.0.1:$1" --statuses 1 \
        >"$work/sim.$1" 2>&1 &
    sim=$!
    # Bound before the clock starts: wait for its "listening" line.
    i=0
    until grep -q '^listening' "$work/sim.$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -le 200 ] || fail "station simulator did not bind 127.0.0.1:$1"
        sleep 0.05
    done
}
sim_wait() {
    wait "$sim" || { cat "$work/sim.$1"; fail "no status datagram at 127.0.0.1:$1 ($2)"; }
    grep -q '^status ' "$work/sim.$1" || { cat "$work/sim.$1"; fail "no status line ($2)"; }
}
main_pid() { ct systemctl show -p MainPID --value zel-sms-service; }
wait_active_new() {
    # $1: the main pid that must be gone; waits for a new one, active.
    i=0
    while :; do
        p=$(main_pid)
        if [ "$p" != 0 ] && [ "$p" != "$1" ] &&
            [ "$(ct systemctl show -p ActiveState --value zel-sms-service)" = active ]; then
            return 0
        fi
        i=$((i + 1))
        [ $i -le 600 ] || fail "service not active again after $2"
        sleep 0.1
    done
}

step "install"
ct dpkg -i /debs/"$(basename "$deb")" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }
ct systemctl is-active --quiet zel-sms-service || fail "not active after install: $(ct systemctl status zel-sms-service --no-pager 2>&1)"

step "active as zelsms, Type=notify, READY, status line"
pid=$(main_pid)
user=$(ct stat -c %U "/proc/$pid")
[ "$user" = zelsms ] || fail "main process $pid runs as $user"
# MemoryDenyWriteExecute=yes refuses the W+X memory of Qt's regular-expression
# JIT without a trace in the journal; the unit switches the JIT off instead.
ct cat "/proc/$pid/environ" | tr '\0' '\n' | grep -qx 'QT_ENABLE_REGEXP_JIT=0' ||
    fail "the service runs with Qt's regular-expression JIT on"
[ "$(ct systemctl show -p Type --value zel-sms-service)" = notify ] || fail "unit is not Type=notify"
[ "$(ct systemctl show -p WatchdogUSec --value zel-sms-service)" = 30s ] || fail "WatchdogSec is not 30s"
# A notify unit is "active (running)" only after READY=1.
[ "$(ct systemctl show -p SubState --value zel-sms-service)" = running ] || fail "READY not reached"
status=$(ct systemctl show -p StatusText --value zel-sms-service)
echo "status line: $status"
case "$status" in *"ожидают отправки: 0"*) ;; *) fail "status line: '$status'" ;; esac

step "systemctl start -> first status datagram"
ct systemctl stop zel-sms-service
sim_start 3124
t0=$(ms)
ct systemctl start zel-sms-service
sim_wait 3124 "after systemctl start"
start_ms=$(($(ms) - t0))
echo "start to first status datagram: $start_ms ms"

step "watchdog restarts a frozen service"
# The watchdog shortened so the check fits its time; keep-alive every 2 s.
ct mkdir -p /run/systemd/system/zel-sms-service.service.d
printf '[Service]\nWatchdogSec=6\nLimitCORE=0\n' |
    ct sh -c 'cat >/run/systemd/system/zel-sms-service.service.d/ci-watchdog.conf'
ct systemctl daemon-reload
ct systemctl restart zel-sms-service
restarts=$(ct systemctl show -p NRestarts --value zel-sms-service)
pid=$(main_pid)
# The simulator binds after the stop: a datagram of the old process must not
# count.
t0=$(ms)
ct kill -STOP "$pid"
sim_start 3124
sim_wait 3124 "after kill -STOP"
stop_ms=$(($(ms) - t0))
wait_active_new "$pid" "kill -STOP"
[ "$(ct systemctl show -p NRestarts --value zel-sms-service)" -gt "$restarts" ] || fail "no restart counted"
ct journalctl -u zel-sms-service --no-pager | grep -q 'Watchdog timeout' || fail "restart not by the watchdog"
echo "kill -STOP to the restarted service's first status datagram: $stop_ms ms"
ct rm -rf /run/systemd/system/zel-sms-service.service.d
ct systemctl daemon-reload
ct systemctl restart zel-sms-service

step "reload takes a new station port"
pid=$(main_pid)
ct sh -c 'f=/etc/xdg/ZELORG/ZelSMSService.conf; mkdir -p /etc/xdg/ZELORG;
    printf "[Common]\nSettingsSaved=true\npcnIpAddress=127.0.0.1\npcnPort=3125\n" >$f;
    chown zelsms:zelsms $f; chmod 0600 $f'
sim_start 3125
t0=$(ms)
ct systemctl reload zel-sms-service
sim_wait 3125 "after systemctl reload"
reload_ms=$(($(ms) - t0))
[ "$(main_pid)" = "$pid" ] || fail "reload restarted the process"
echo "systemctl reload to the first status datagram at the new port: $reload_ms ms"
# Settings that fail the checks: kept, logged, still running.
ct sh -c 'sed -i s/pcnPort=3125/pcnPort=70000/ /etc/xdg/ZELORG/ZelSMSService.conf'
ct systemctl reload zel-sms-service
sleep 1
ct journalctl -t zel-sms-service --no-pager -o cat | grep -q 'Настройки не применены, служба работает с прежними: порт станции 70000' ||
    fail "refused settings not logged"
sim_start 3125
sim_wait 3125 "after a refused reload"
[ "$(main_pid)" = "$pid" ] || fail "refused reload restarted the process"
# The file as the running service has it, for the restarts below.
ct sh -c 'sed -i s/pcnPort=70000/pcnPort=3125/ /etc/xdg/ZELORG/ZelSMSService.conf'

step "journal priorities"
line='^[0-9][0-9]\.[0-9][0-9]\.[0-9][0-9]-[0-9][0-9]:[0-9][0-9]:[0-9][0-9] >> '
j() { ct journalctl -t zel-sms-service --no-pager -o cat -p "$1"; }
j debug..debug | grep -q "${line}\[DEBUG\] " || fail "no DEBUG line at priority 7"
if j debug..debug | grep -qv "${line}\[DEBUG\] "; then fail "other lines at priority 7"; fi
if j info | grep -q '\[DEBUG\]'; then fail "DEBUG lines at priority info or above"; fi
j warning..warning | grep -q "${line}\[WARNING\] " || fail "no WARNING line at priority 4"
if j warning..warning | grep -qv "${line}\[WARNING\] "; then fail "other lines at priority 4"; fi
j crit..crit | grep -q "${line}\[CRITICAL\] Провайдер SMS рассылок не настроен$" ||
    fail "CRITICAL line not at priority 2"

step "restart after kill -9"
pid=$(main_pid)
t0=$(ms)
ct kill -KILL "$pid"
sim_start 3125
sim_wait 3125 "after kill -9"
kill_ms=$(($(ms) - t0))
wait_active_new "$pid" "kill -9"
echo "kill -9 to the restarted service's first status datagram: $kill_ms ms"

step "purge leaves nothing"
ct dpkg --purge zelsms >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
ct systemctl daemon-reload
if ct sh -c 'ps -u zelsms -o pid= 2>/dev/null' | grep -q .; then fail "processes left"; fi
snapshot >"$work/after"
diff -u "$work/before" "$work/after" || fail "purge left the container changed"

step "ok: start $start_ms ms, watchdog $stop_ms ms, reload $reload_ms ms, kill -9 $kill_ms ms"
