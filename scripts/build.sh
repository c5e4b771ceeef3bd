#!/bin/sh
# Configures and builds into ./build (programs in build/bin, plug-ins in build/bin/providers).
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
