#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package with dpkg-buildpackage, source and binary, from a
# clean copy of the project's files (those git tracks or would track, as they
# are in the work tree), twice: in two directories, with another time zone,
# locale, umask and parallelism, and fails unless the .deb files are the same
# bit for bit. Then lints the first build with lintian, installs it, runs its
# autopkgtest on this machine, purges it and looks for anything left behind.
#
#   package_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    exit 1
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root; run the tests as root to include this one"
if dpkg-query -W -f='${Status}' tarvik 2>/dev/null | grep -q 'ok installed'; then
    skip "a tarvik package is already installed here, and this test would remove it"
fi
git=(git -c safe.directory="$source_dir" -C "$source_dir")
"${git[@]}" rev-parse --git-dir >/dev/null 2>&1 ||
    skip "$source_dir is not a git work tree, which tells the project's files from the rest"

version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
cleanup() {
    if dpkg-query -W tarvik >/dev/null 2>&1; then
        apt-get purge -y -qq tarvik >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Copies the project's files into DIRECTORY/tarvik-VERSION and builds the
# package there, with the given environment; the log goes to DIRECTORY/build.log.
build_in() {
    local directory=$1 tree
    shift
    tree="$directory/tarvik-$version"
    mkdir -p "$tree"
    "${git[@]}" ls-files -z --cached --others --exclude-standard |
        (cd "$source_dir" && while IFS= read -r -d '' file; do
            [ -e "$file" ] && printf '%s\0' "$file"
        done) | tar -C "$source_dir" --null -T - -cf - | tar -C "$tree" -xf -
    if ! (cd "$tree" && env "$@" dpkg-buildpackage -us -uc >"$directory/build.log" 2>&1); then
        tail -n 40 "$directory/build.log"
        fail "dpkg-buildpackage failed in $tree (log above)"
    fi
}

start=$SECONDS
build_in "$work/one" TZ=UTC LC_ALL=C.UTF-8
(umask 002 && build_in "$work/second/build" TZ=XYZ-13 LC_ALL=C DEB_BUILD_OPTIONS=parallel=1)
echo "built tarvik $version twice in $((SECONDS - start)) s"

changes="$work/one/tarvik_${version}_${arch}.changes"
deb="$work/one/tarvik_${version}_${arch}.deb"
if [ ! -f "$changes" ] || [ ! -f "$deb" ] || [ ! -f "$work/one/tarvik_${version}.dsc" ]; then
    fail "the build made no source and binary upload: $(ls "$work/one")"
fi

different=0
for built in "$work"/one/*.deb; do
    other="$work/second/build/$(basename "$built")"
    if cmp -s "$built" "$other"; then
        echo "reproducible: $(basename "$built") $(sha256sum <"$built" | cut -c1-16)"
    else
        echo "NOT reproducible: $(basename "$built") differs between the two builds"
        different=1
    fi
done
[ $different -eq 0 ] || fail "the two builds' packages differ (diffoscope tells where)"

# Every tag is shown; errors and warnings fail the test.
if ! lintian --fail-on error,warning --display-info --pedantic "$changes"; then
    fail "lintian reports errors or warnings"
fi
echo "lintian: no error, no warning"

if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "apt-get cannot install $deb"
fi
installed=$(dpkg -L tarvik)
[ -x /usr/games/tarvik ] || fail "the program is not /usr/games/tarvik"
echo "installed: $(dpkg-query -W -f='${Installed-Size}' tarvik) KiB"

if ! autopkgtest --output-dir "$work/autopkgtest" "$changes" -- null >"$work/autopkgtest.log" 2>&1; then
    tail -n 40 "$work/autopkgtest.log"
    fail "autopkgtest failed (log above)"
fi
sed 's/^/autopkgtest: /' "$work/autopkgtest/summary"

apt-get purge -y -qq tarvik >/dev/null
dpkg-query -W tarvik >/dev/null 2>&1 && fail "dpkg still knows tarvik after purge"
left=0
while IFS= read -r path; do
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        echo "left behind: $path"
        left=1
    fi
done <<<"$installed"
[ ! -e /usr/share/doc/tarvik ] || { echo "left behind: /usr/share/doc/tarvik" && left=1; }
[ $left -eq 0 ] || fail "the purge left files of the package"
echo "purged: nothing of the package is left"
