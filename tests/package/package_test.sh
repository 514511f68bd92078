#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package, installs it on this machine, plays tarvik from
# PATH on a virtual desktop, checks its desktop entry and man page, then
# removes it and looks for anything it left behind.
#
#   package_test.sh BUILD_DIR SCREENSHOT_TOOL
set -euo pipefail
build_dir=$1
screenshot=$2

skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root; run the tests as root to include this one"
command -v apt-get >/dev/null || skip "this machine has no apt-get"
if dpkg-query -W -f='${Status}' tarvik 2>/dev/null | grep -q 'ok installed'; then
    skip "a tarvik package is already installed here, and this test would remove it"
fi

work=$(mktemp -d)
cleanup() {
    dpkg-query -W tarvik >/dev/null 2>&1 && apt-get purge -y -qq tarvik >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$build_dir" && cpack -G DEB -B "$work" >/dev/null)
debs=("$work"/tarvik_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no tarvik_<version>_amd64.deb was built"; exit 1; }
echo "built $(basename "${debs[0]}")"
dpkg-deb -f "${debs[0]}" Depends | grep -q 'libglut' || { echo "Depends does not name GLUT"; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[0]}" >/dev/null
installed=$(dpkg -L tarvik)

[ "$(command -v tarvik)" = /usr/bin/tarvik ] || { echo "tarvik is not on PATH as /usr/bin/tarvik"; exit 1; }
"$screenshot" "$work/played.png" tarvik
echo "played tarvik from PATH: window shown, Escape ended it with 0"

desktop-file-validate /usr/share/applications/tarvik.desktop
manual=$(man -l /usr/share/man/man6/tarvik.6.gz 2>&1)
grep -q 'Escape' <<<"$manual" || { echo "man -l does not show the keys: $manual"; exit 1; }
echo "desktop entry valid, man page reads"

apt-get purge -y -qq tarvik >/dev/null
if dpkg-query -W tarvik >/dev/null 2>&1; then
    echo "dpkg still knows tarvik after purge"
    exit 1
fi
left=0
while IFS= read -r path; do
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        echo "left behind: $path"
        left=1
    fi
done <<<"$installed"
[ $left -eq 0 ] || exit 1
echo "removed: nothing of the package is left"
