#!/bin/sh
# Installs, builds and runs the service in the foreground. Settings live in
# ./settings of the checkout unless ZELSMS_SETTINGS_DIR says otherwise.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
sh scripts/build.sh
export ZELSMS_SETTINGS_DIR="${ZELSMS_SETTINGS_DIR:-$PWD/settings}"
mkdir -p "$ZELSMS_SETTINGS_DIR"
exec build/bin/ZelSMSService -exec
