#!/bin/sh
# Builds the Debian package into build/deb/ (run as root on Debian 12: it
# installs the build dependencies first). The source is copied into
# build/deb/src so the package build leaves the checkout untouched.
#   sh scripts/package.sh && apt install ./build/deb/zelsms_*.deb ./build/deb/zelsms-setup_*.deb
set -e
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build/deb

sh scripts/install-deps.sh debhelper dpkg-dev fakeroot

rm -rf "$out"
mkdir -p "$out/src"
tar -C "$top" --exclude='./build' --exclude='./build-*' --exclude='./.git' --exclude='./obj-*' \
    -cf - . | tar -C "$out/src" -xf -

# The program's version lives in CMakeLists.txt only, the packaging revision
# in debian/rules; the changelog's top entry follows them.
version=$(sed -n 's/^project(ZelSMS VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
revision=$(sed -n 's/^ZELSMS_DEB_REVISION := \([0-9]*\)$/\1/p' debian/rules)
[ -n "$version" ] && [ -n "$revision" ] ||
    { echo "package.sh: no version in CMakeLists.txt or revision in debian/rules" >&2; exit 1; }
sed -i "1s/^zelsms ([^)]*)/zelsms ($version+$revision)/" "$out/src/debian/changelog"

# debhelper points HOME at a scratch folder: keep ccache's own cache and settings.
if command -v ccache >/dev/null; then
    CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
    CCACHE_BASEDIR=${CCACHE_BASEDIR:-$out/src}
    CCACHE_NOHASHDIR=1
    export CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR
fi

cd "$out/src"
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}" dpkg-buildpackage -us -uc -b
cd "$out"
ls -l "$out"/zelsms_*.deb "$out"/zelsms-setup_*.deb
