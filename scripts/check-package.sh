#!/bin/sh
# CI check of the Debian packages (run as root, no systemd needed): build
# zelsms and zelsms-setup, lintian, contents (no graphical libraries in
# zelsms) and the unit's sandbox rating; the upgrade from the single package
# of before; then install them with apt,
# check the account, files and modes, run the installed service the way its
# unit would (as zelsms, with the unit's environment), let the station
# simulator talk to it, purge the package and check that the machine is as
# it was before.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
fail() { echo "check-package: $*" >&2; exit 1; }
step() { echo "== check-package: $*"; }

[ "$(id -u)" = 0 ] || fail "must run as root"
for p in zelsms zelsms-setup; do
    if dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q installed; then
        fail "the package $p is already installed; this check needs a machine without it"
    fi
done
getent passwd zelsms >/dev/null && fail "an account zelsms exists already"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

step "build"
sh scripts/package.sh
deb=$(ls "$top"/build/deb/zelsms_*.deb)
setup_deb=$(ls "$top"/build/deb/zelsms-setup_*.deb)
version=$(sed -n 's/^project(ZelSMS VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
revision=$(sed -n 's/^ZELSMS_DEB_REVISION := \([0-9]*\)$/\1/p' debian/rules)
for d in "$deb" "$setup_deb"; do
    case "$d" in */zelsms*_${version}+${revision}_*.deb) ;; *) fail "package $d is not version $version+$revision" ;; esac
done
# The packages that replace the single one name the version that split it.
grep -qx "Replaces: zelsms (<< $version+$revision)" debian/control &&
    grep -qx "Breaks: zelsms (<< $version+$revision)" debian/control ||
    fail "debian/control: Replaces/Breaks do not name $version+$revision"

step "lintian"
# lintian, systemd-analyze (package systemd: installing it starts nothing in a
# container) and pgrep.
sh scripts/install-deps.sh lintian systemd procps
lintian --fail-on error,warning --info "$deb" "$setup_deb"

step "contents"
# mode owner path [-> target], without size and date
contents() { dpkg-deb -c "$1" | awk '{ l = $1 " " $2; for (i = 6; i <= NF; i++) l = l " " $i; print l }'; }
service_listing=$(contents "$deb")
setup_listing=$(contents "$setup_deb")
listing=$(printf '%s\n%s\n' "$service_listing" "$setup_listing")
for want in \
    "-rwxr-xr-x root/root ./usr/lib/zelsms/ZelSMSService" \
    "-rwxr-xr-x root/root ./usr/lib/zelsms/ZelStationSim" \
    "-rwxr-xr-x root/root ./usr/lib/zelsms/ZelSMSQueue" \
    "lrwxrwxrwx root/root ./usr/bin/ZelSMSService -> ../lib/zelsms/ZelSMSService" \
    "lrwxrwxrwx root/root ./usr/bin/ZelStationSim -> ../lib/zelsms/ZelStationSim" \
    "-rw-r--r-- root/root ./lib/systemd/system/zel-sms-service.service" \
    "-rw-r--r-- root/root ./usr/lib/modules-load.d/zelsms.conf" \
    "-rw-r--r-- root/root ./usr/share/man/man8/ZelSMSService.8.gz" \
    "-rw-r--r-- root/root ./usr/share/man/man7/zelsms.7.gz" \
    "-rw-r--r-- root/root ./usr/share/man/man5/zelsms.conf.5.gz" \
    "-rw-r--r-- root/root ./usr/share/man/man1/ZelStationSim.1.gz" \
    "-rw-r--r-- root/root ./usr/share/man/man1/ZelSMSQueue.1.gz" \
    "-rw-r--r-- root/root ./usr/share/doc/zelsms/README.md" \
    "-rw-r--r-- root/root ./usr/share/doc/zelsms/ARCHITECTURE.md" \
    "-rw-r--r-- root/root ./usr/share/doc/zelsms/docs/testing.md"; do
    printf '%s\n' "$service_listing" | grep -qxF -- "$want" || fail "missing from zelsms: $want"
done
for want in \
    "-rwxr-xr-x root/root ./usr/lib/zelsms/ZelSMSSetup" \
    "lrwxrwxrwx root/root ./usr/bin/ZelSMSSetup -> ../lib/zelsms/ZelSMSSetup" \
    "-rw-r--r-- root/root ./usr/share/man/man1/ZelSMSSetup.1.gz" \
    "-rw-r--r-- root/root ./usr/share/applications/zelsms-setup.desktop" \
    "-rw-r--r-- root/root ./usr/share/polkit-1/actions/org.zel.sms.setup.policy"; do
    printf '%s\n' "$setup_listing" | grep -qxF -- "$want" || fail "missing from zelsms-setup: $want"
done
# A headless server: nothing graphical, no polkit, neither as a dependency
# nor linked by the service or a plug-in.
if printf '%s\n' "$service_listing" | grep -Eq 'ZelSMSSetup|applications/|polkit'; then
    fail "the configuration program's files are in zelsms"
fi
depends=$(dpkg-deb -f "$deb" Depends Recommends)
if printf '%s\n' "$depends" | grep -Eq 'libqt5gui|libqt5widgets|polkit|pkexec|libx11|libgl'; then
    fail "zelsms depends on graphical libraries or polkit: $depends"
fi
dpkg-deb -f "$setup_deb" Depends | grep -q "zelsms (= $version+$revision)" || fail "zelsms-setup does not depend on zelsms of its own version"
for p in Modem SmsRU iqSms ProstorSms SmsCenter eSputnik_v1 SmsGorod ePochta_v2; do
    printf '%s\n' "$listing" | grep -q "^-rw-r--r-- root/root ./usr/lib/zelsms/providers/prov_$p.so$" ||
        fail "provider prov_$p.so missing from the package"
done
# Every program in /usr/lib/zelsms has its link and its manual page.
for prog in $(printf '%s\n' "$listing" | sed -n 's|^-rwx.* \./usr/lib/zelsms/\([^/]*\)$|\1|p'); do
    printf '%s\n' "$listing" | grep -q " ./usr/bin/$prog -> " || fail "no /usr/bin link for $prog"
    printf '%s\n' "$listing" | grep -Eq " ./usr/share/man/man[18]/$prog\.[18]\.gz$" || fail "no manual page for $prog"
done
if printf '%s\n' "$listing" | grep -Eq 'tst_|Bench|ModemEmu|testprovider|setuptest'; then
    fail "tests or benchmarks in the package"
fi

step "unit exposure"
dpkg-deb -x "$deb" "$tmp/root"
for f in "$tmp"/root/usr/lib/zelsms/ZelSMSService "$tmp"/root/usr/lib/zelsms/ZelSMSQueue \
    "$tmp"/root/usr/lib/zelsms/ZelStationSim "$tmp"/root/usr/lib/zelsms/providers/*.so; do
    if ldd "$f" | grep -Eq 'libQt5(Gui|Widgets)'; then fail "$f links Qt GUI libraries"; fi
done
dpkg-deb -x "$setup_deb" "$tmp/root"
unit=$tmp/root/lib/systemd/system/zel-sms-service.service
rating=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$rating" ] || fail "systemd-analyze gave no rating"
echo "exposure $rating"
awk -v r="$rating" 'BEGIN { exit !(r <= 2.5) }' || fail "exposure $rating above 2.5"
# pkexec runs only the program its policy names: entry and policy must agree.
grep -qx 'Exec=pkexec /usr/lib/zelsms/ZelSMSSetup' "$tmp/root/usr/share/applications/zelsms-setup.desktop" ||
    fail "desktop entry does not start /usr/lib/zelsms/ZelSMSSetup through pkexec"
grep -q '"org.freedesktop.policykit.exec.path">/usr/lib/zelsms/ZelSMSSetup<' \
    "$tmp/root/usr/share/polkit-1/actions/org.zel.sms.setup.policy" || fail "polkit policy names another program"

step "install"
snapshot() {
    getent passwd | sort
    getent group | sort
    dpkg-query -W -f='${Package} ${Status}\n' | sort
    ls -1A /etc/xdg 2>/dev/null || true
    ls -1A /etc/xdg/ZELORG 2>/dev/null || true
    ls -d /var/lib/zelsms /usr/lib/zelsms /etc/systemd/system/*/zel-sms-service.service 2>/dev/null || true
}
# State and settings that root's own runs of the programs (tests, a source
# installation) left behind are what purge would take: kept aside meanwhile
# and put back at the end.
settings=/etc/xdg/ZELORG
keep=$tmp/keep
mkdir -p "$keep/settings"
settings_dir_before=$(stat -c '%u:%g %a' "$settings" 2>/dev/null || echo absent)
if [ -e /var/lib/zelsms ]; then mv /var/lib/zelsms "$keep/state"; fi
for f in ZelSMSService.conf SMSProviders.conf ZelServiceHost.conf; do
    for g in "$f" "$f.lock"; do
        if [ -e "$settings/$g" ]; then mv "$settings/$g" "$keep/settings/"; fi
    done
done
restore() {
    if [ "$settings_dir_before" != absent ]; then
        mkdir -p "$settings"
        chown "${settings_dir_before% *}" "$settings"
        chmod "${settings_dir_before#* }" "$settings"
        find "$keep/settings" -mindepth 1 -maxdepth 1 -exec mv {} "$settings/" \;
    fi
    if [ -e "$keep/state" ]; then
        rm -rf /var/lib/zelsms
        mv "$keep/state" /var/lib/zelsms
    fi
}
pid=""
runtime=/run/zelsms
runtime_before=$(stat -c '%u:%g %a' "$runtime" 2>/dev/null || echo absent)
stop_service() {
    service=$(pgrep -u zelsms -x ZelSMSService || true)
    if [ -n "$service" ]; then kill -TERM $service 2>/dev/null || true; fi
    code=0
    if [ -n "$pid" ]; then wait "$pid" || code=$?; fi
    pid=""
    # Hand the runtime folder back as it was, as systemd would on stop.
    if [ "$runtime_before" = absent ]; then
        rm -rf "$runtime"
    elif [ -d "$runtime" ]; then
        find "$runtime" -mindepth 1 -xdev -user zelsms -delete 2>/dev/null || true
        chown "${runtime_before% *}" "$runtime"
        chmod "${runtime_before#* }" "$runtime"
    fi
    return $code
}
cleanup() {
    [ -n "$pid" ] && stop_service || true
    if dpkg-query -W -f='${Status}' zelsms 2>/dev/null | grep -q installed; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y zelsms-setup zelsms >/dev/null 2>&1 || true
    fi
    restore
    rm -rf "$tmp"
}
trap cleanup EXIT
snapshot >"$tmp/before"

step "upgrade from the single package"
# The single package of before held both parts; made here from the new ones
# (same files, version $version, no split) so the upgrade needs no old build.
old=$tmp/old
dpkg-deb -R "$deb" "$old"
dpkg-deb -x "$setup_deb" "$old"
sed -i -e "s/^Version: .*/Version: $version/" -e '/^Suggests:/d' "$old/DEBIAN/control"
(cd "$old" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | sort |
    xargs md5sum >DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$old" "$tmp/zelsms_${version}_old.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$tmp/zelsms_${version}_old.deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" "$setup_deb"
[ "$(dpkg-query -W -f='${Version}' zelsms)" = "$version+$revision" ] || fail "zelsms not upgraded"
[ "$(dpkg -S /usr/lib/zelsms/ZelSMSSetup)" = "zelsms-setup: /usr/lib/zelsms/ZelSMSSetup" ] ||
    fail "ZelSMSSetup not taken over by zelsms-setup"
[ -x /usr/lib/zelsms/ZelSMSSetup ] || fail "ZelSMSSetup lost in the upgrade"

step "account, files, modes"
getent passwd zelsms | grep -q ':/var/lib/zelsms:/usr/sbin/nologin$' || fail "account: $(getent passwd zelsms)"
id -nG zelsms | tr ' ' '\n' | grep -qx dialout || fail "zelsms is not in dialout"
[ "$(stat -c '%U:%G %a' /var/lib/zelsms)" = "zelsms:zelsms 700" ] || fail "/var/lib/zelsms: $(stat -c '%U:%G %a' /var/lib/zelsms)"
[ "$(stat -c '%U:%G %a' /usr/lib/zelsms/ZelSMSService)" = "root:root 755" ] || fail "ZelSMSService mode"
[ "$(readlink -f /usr/bin/ZelSMSService)" = /usr/lib/zelsms/ZelSMSService ] || fail "/usr/bin/ZelSMSService link"
[ "$(stat -c '%a' /lib/systemd/system/zel-sms-service.service)" = 644 ] || fail "unit mode"
# systemd's own reading of the installed unit: any complaint means a line it ignores.
complaints=$(systemd-analyze verify /lib/systemd/system/zel-sms-service.service 2>&1 || true)
[ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
man -w ZelSMSService >/dev/null 2>&1 || [ -f /usr/share/man/man8/ZelSMSService.8.gz ] || fail "no manual page"

step "run the installed service as its unit does"
unit=/lib/systemd/system/zel-sms-service.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit" | tr -d '"')
user=$(sed -n 's/^User=//p' "$unit")
envs=$(sed -n 's/^Environment=//p' "$unit" | tr -d '"')
[ "$runtime" = "/run/$(sed -n 's/^RuntimeDirectory=//p' "$unit")" ] || fail "unit's RuntimeDirectory"
[ "$user" = zelsms ] || fail "unit runs as '$user'"
# What systemd does for RuntimeDirectory= and StateDirectory= before ExecStart.
install -d -o zelsms -g zelsms -m 0750 "$runtime"
# Settings as ZelSMSSetup leaves them: 0600, owned by the service's account.
mkdir -p /etc/xdg/ZELORG
printf '[Common]\nSettingsSaved=true\npcnIpAddress=127.0.0.1\npcnPort=31240\n' >/etc/xdg/ZELORG/ZelSMSService.conf
chown zelsms:zelsms /etc/xdg/ZELORG/ZelSMSService.conf
chmod 0600 /etc/xdg/ZELORG/ZelSMSService.conf
start_service() {
    (umask 0077; exec runuser -u zelsms -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/var/lib/zelsms USER=zelsms LOGNAME=zelsms LANG=C.UTF-8 $envs $exec_start) &
    pid=$!
}
start_service
out=$(timeout 60 /usr/bin/ZelStationSim --bind 127.0.0.1:31240 --phone 79001234567 \
    --text "Проверка пакета" --encoding 1 --count 1 --statuses 2 --duration 30) || {
    echo "$out"; fail "the installed service did not answer the station simulator"; }
echo "$out"
printf '%s\n' "$out" | grep -q '^done sent=1 acked=1' || fail "request not acknowledged"
pgrep -u zelsms -x ZelSMSService >/dev/null || fail "service is not running as zelsms"
# The acknowledged request is in the spool, which the service (as zelsms)
# keeps in its state directory and root's journal tool reads.
[ "$(stat -c '%U %a' /var/lib/zelsms/spool.db)" = "zelsms 600" ] ||
    fail "spool: $(stat -c '%U %a' /var/lib/zelsms/spool.db 2>&1)"
journal=$(/usr/bin/ZelSMSQueue list) || fail "ZelSMSQueue list failed"
echo "$journal"
printf '%s\n' "$journal" | grep -q 79001234567 || fail "the request is not in the spool"
ls -l "$runtime"
code=0
stop_service || code=$?
[ "$code" = 0 ] || fail "service ended with $code on SIGTERM"

step "purge stops the running service"
# No systemd: the package's prerm asks the service over its control socket.
install -d -o zelsms -g zelsms -m 0750 "$runtime"
start_service
i=0
until [ -S "$runtime/zel-sms-service.sock" ] && pgrep -u zelsms -x ZelSMSService >/dev/null; do
    i=$((i + 1))
    [ $i -le 100 ] || fail "the service did not start again"
    sleep 0.1
done
DEBIAN_FRONTEND=noninteractive apt-get purge -y zelsms-setup zelsms
i=0
while kill -0 "$pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 100 ] || fail "the service still runs after purge"
    sleep 0.1
done
code=0
wait "$pid" || code=$?
pid=""
[ "$code" = 0 ] || fail "service ended with $code when the package was removed"
if [ "$runtime_before" = absent ]; then rm -rf "$runtime"; fi
snapshot >"$tmp/after"
diff -u "$tmp/before" "$tmp/after" || fail "purge left the machine changed"
for f in /etc/xdg/ZELORG/ZelSMSService.conf /var/lib/zelsms /usr/lib/zelsms; do
    if [ -e "$f" ]; then fail "$f left behind"; fi
done
step "ok"
