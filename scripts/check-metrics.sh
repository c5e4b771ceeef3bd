#!/bin/sh
# CI check of the metrics file: runs the service of the build tree briefly,
# with no provider and Common/metricsFile in a temporary folder, checks the
# file with promtool, and lets a real prometheus-node-exporter on loopback
# serve it through its textfile collector. Needs root for the packages.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
fail() { echo "check-metrics: $*" >&2; exit 1; }
step() { echo "== check-metrics: $*"; }

service="$top/build/bin/ZelSMSService"
[ -x "$service" ] || fail "build the tree first ($service is missing)"

step "packages"
# promtool comes with prometheus; curl reads the scrape.
sh scripts/install-deps.sh prometheus prometheus-node-exporter curl

tmp=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/settings/ZELORG" "$tmp/state" "$tmp/run" "$tmp/textfile"
cat > "$tmp/settings/ZELORG/ZelSMSService.conf" <<CONF
[Common]
SettingsSaved=true
pcnIpAddress=127.0.0.1
pcnPort=9
metricsFile=$tmp/textfile/zelsms.prom
CONF

step "service"
ZELSMS_SETTINGS_DIR="$tmp/settings" ZELSMS_STATE_DIR="$tmp/state" ZELSMS_RUNTIME_DIR="$tmp/run" \
    "$service" -exec > "$tmp/service.log" 2>&1 &
service_pid=$!
pids="$service_pid"
i=0
while [ ! -s "$tmp/textfile/zelsms.prom" ]; do
    i=$((i + 1))
    [ $i -le 100 ] || { cat "$tmp/service.log" >&2; fail "no metrics file after 10 s"; }
    sleep 0.1
done
mode=$(stat -c %a "$tmp/textfile/zelsms.prom")
[ "$mode" = 644 ] || fail "metrics file mode $mode, not 644"
ls -A "$tmp/textfile" | grep -v '^zelsms\.prom$' && fail "a temporary file was left beside it"

step "promtool check metrics"
promtool check metrics < "$tmp/textfile/zelsms.prom" || fail "promtool refused the file"

step "node-exporter scrape"
# Only the textfile collector; a port nobody listens on, tried a few times.
tries=0
while :; do
    tries=$((tries + 1))
    [ $tries -le 10 ] || fail "node-exporter did not start on any port tried"
    port=$((20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000))
    prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
        --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$tmp/textfile" > "$tmp/exporter.log" 2>&1 &
    exporter_pid=$!
    pids="$pids $exporter_pid"
    i=0
    while [ $i -lt 50 ] && kill -0 "$exporter_pid" 2>/dev/null; do
        curl -sf "http://127.0.0.1:$port/metrics" > "$tmp/scrape" 2>/dev/null && break 2
        i=$((i + 1))
        sleep 0.1
    done
    kill "$exporter_pid" 2>/dev/null || true
done
grep -q '^zelsms_build_info{version="' "$tmp/scrape" || fail "no zelsms_build_info in the scrape"
grep -q '^zelsms_records_pending{state="queued"}' "$tmp/scrape" || fail "no zelsms_records_pending in the scrape"
# The collector reports a file it could not parse as an error.
grep -q '^node_textfile_scrape_error 0' "$tmp/scrape" ||
    fail "node-exporter could not read the file: $(grep textfile "$tmp/exporter.log" | tail -3)"
echo "check-metrics: $(grep -c '^zelsms_' "$tmp/scrape") zelsms_ samples served on 127.0.0.1:$port"

kill "$service_pid"
wait "$service_pid" || fail "the service did not stop cleanly"
pids="$exporter_pid"
[ ! -e "$tmp/textfile/zelsms.prom" ] || fail "the stopped service left its metrics file"
