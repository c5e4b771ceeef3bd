#!/bin/sh
# Installs what building, running and testing need on Debian 12 (run as root),
# and the packages named as arguments (what one script needs besides).
set -e
PKGS="build-essential cmake ccache qtbase5-dev libqt5serialport5-dev qttools5-dev-tools qttranslations5-l10n libsqlite3-dev libsystemd-dev"
# clang and its libFuzzer runtime: the fuzz targets (scripts/fuzz.sh)
PKGS="$PKGS clang libclang-rt-14-dev $*"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
