#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the jobs of Debian's package CI on the committed HEAD for one release
# of .ci/matrix with Package-CI: yes, each against a fresh copy of the tree and
# a case of DIR/report.tsv (run_case in common.sh). Needs root.
#
#   scripts/debian-ci.sh [--i386 WAY] [--out DIR] RELEASE   RELEASE: bookworm, trixie, unstable (or 12, 13)
#   scripts/debian-ci.sh --list RELEASE                     prints its jobs
#
# The tools are the matrix's Tools release's, in a root of their own; what they
# build and test in is RELEASE's. WAY, native or emulated: how i386 builds, as
# the caller decided, else as this machine says. DIR (by default
# /var/tmp/tarvik-debian-ci-RELEASE-<date>) keeps the logs and packages.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "$0")/common.sh"

usage="usage: scripts/debian-ci.sh [--i386 native|emulated] [--out DIR] [--list] RELEASE   (one with Package-CI: yes in .ci/matrix)"
way="" out="" list=""
while [[ ${1:-} =~ ^--(i386|out|list)$ ]] && [ $# -ge 2 ]; do
    case $1 in --list) list=yes && shift ;; --i386) way=$2 && shift 2 ;; --out) out=$2 && shift 2 ;; esac
done
release=$(release_name "${1:-none}")
[ $# -eq 1 ] && [ "$(matrix_field package-ci "$release")" = yes ] && [[ ${way:-native} =~ ^(native|emulated)$ ]] ||
    { echo "$usage" >&2; exit 2; }
tools_release=$(matrix_field tools | awk -F'\t' '$2 == "yes" { print $1; exit }')
# The release whose build a package of this release upgrades from.
previous=$(matrix_field upgrades-from "$release")
jobs=(source build clean build-nocheck build-i386 blhc lintian reprotest autopkgtest piuparts
    ${previous:+piuparts-upgrade} wrap-and-sort)
[ "$release" != "$tools_release" ] || jobs+=(file-conflicts)
if [ -n "$list" ]; then
    printf '%s\n' "${jobs[@]}"
    exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "debian-ci.sh: must run as root (it makes Debian roots and enters them)" >&2; exit 2; }
out=${out:-/var/tmp/tarvik-debian-ci-$release-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
root_log=$out/debian-ci.log

# Prints a line of this script's own on the terminal (stderr) and in the log.
say() { echo "debian-ci: $*" | tee -a "$out/debian-ci.log" >&2; }

# Runs a command in an unpacked root of the work directory, as root there, with
# the outputs at /ci and the cached roots read-only at /cache, and any further
# SOURCE:TARGET to bind (see enter_root).
in_ci_root() { in_root "$root_work/$1" "$out:/ci" "$root_cache:/cache:ro" "${@:2}"; }

# Runs a shell command in the tools root as its user builder, in a directory of
# /ci; its output goes through a pipe, which builder may open again as /dev/stderr.
as_builder() {
    in_ci_root tools -- bash -o pipefail -c 'runuser -u builder -- env HOME=/home/builder sh -c "$1" 2>&1 | cat' _ "cd /ci/$1 && $2"
}

# The version of a package installed in an unpacked root.
version_in() { chroot "$root_work/$1" dpkg-query -W -f='${Version}' "$2"; }

# Prints the path and sha256 of every file and the path of every directory under
# the current one, sorted; the same in the build root, where it is a shell string.
manifest='find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r f; do if [ -d "$f" ]; then echo "dir $f"; else sha256sum "$f"; fi; done'

failed=() report=$out/report.tsv
: >"$report"
# Runs the job function NAME (job_NAME) as a case of the report, its output in NAME.log, that
# of the roots it enters too (root_log is then its output). A job says its tool as a note, and
# why it fails.
job() { run_case "$report" "$release" "$1" "$out/$1.log" "job_${1//-/_}" || failed+=("$1"); }

# The machine's own tool: mmdebstrap, which makes every root; and where the
# kernel runs no i386 program, or TARVIK_EMULATE_I386=1, qemu-user for the
# i386 build's tests.
install_groups roots emulation
[ -n "$way" ] || { read -r way why <<<"$(i386_way)" && say "i386: $way, $why"; }
root_begin
say "logs and packages: $out"
start=$SECONDS
mapfile -t tools < <(packages_of debian-ci-tools)
tools_tar=$(root_tarball tools "$tools_release" amd64 --variant=minbase \
    "--include=$(IFS=, && echo "${tools[*]}")" \
    --customize-hook='chroot "$1" useradd --create-home builder' \
    --customize-hook='echo builder:100000:65536 >"$1/etc/subuid"' \
    --customize-hook='echo builder:100000:65536 >"$1/etc/subgid"')
buildd=$(root_tarball buildd "$release" amd64 --variant=buildd)
if [ "$way" = native ]; then
    buildd_i386=$(root_tarball buildd "$release" i386 --variant=buildd)
else
    use_emulators i386 2> >(tee -a "$root_log" >&2)
fi
minbase=$(root_tarball minbase "$release" amd64 --variant=minbase)
# The release's own checks of what its build tools gave, lintian and blhc; and
# reprotest with what its variations run: disorderfs, faketime, other
# locales, sudo, and diffoscope to show a difference. One root serves both.
checks_tar=$(root_tarball checks "$release" amd64 --variant=buildd \
    --include=lintian,blhc,reprotest,disorderfs,faketime,locales-all,sudo,diffoscope-minimal \
    --customize-hook='chroot "$1" useradd --create-home builder')
if [ -n "$previous" ]; then
    previous_buildd=$(root_tarball buildd "$previous" amd64 --variant=buildd)
    previous_minbase=$(root_tarball minbase "$previous" amd64 --variant=minbase)
fi
root_unpack tools "$tools_tar"
root_unpack checks "$checks_tar"
builder=$(chroot "$root_work/tools" id -u builder)

# A fresh copy of the committed tree, named as dpkg-source wants it.
changelog=$(git -c safe.directory="$project_dir" -C "$project_dir" show HEAD:debian/changelog)
version=$(dpkg-parsechangelog -l - -S Version <<<"$changelog")
distribution=$(dpkg-parsechangelog -l - -S Distribution <<<"$changelog")
head=$(git -c safe.directory="$project_dir" -C "$project_dir" rev-parse HEAD)
tree=tarvik-$version
mkdir -p "$out/source"
git -c safe.directory="$project_dir" -C "$project_dir" archive --prefix="$tree/" HEAD | tar -x -C "$out/source"
# dpkg-source leaves out version-control files (its default -I), .gitignore here.
(cd "$out/source/$tree" && sh -c "$manifest") | grep -v -E '/\.git(ignore|attributes|modules)$' >"$out/source/tree.manifest"
say "roots ready in $((SECONDS - start)) s; tarvik $version at $head, for $release"

# Makes the source package with dpkg-source -b; it must hold the tree, no more, no less.
job_source() {
    echo "note: dpkg-source $(version_in tools dpkg-dev)"
    in_ci_root tools -- sh -c "cd /ci/source && dpkg-source -b $tree && rm -rf unpacked && dpkg-source -x tarvik_$version.dsc unpacked" || return 1
    (cd "$out/source/unpacked" && sh -c "$manifest") >"$out/source/unpacked.manifest"
    diff -u "$out/source/tree.manifest" "$out/source/unpacked.manifest" ||
        { echo "why: the source package does not hold exactly the committed tree" && return 1; }
}

# Builds with sbuild in unshare mode in the given directory of $out, from the
# source package, in the given buildd root, with what comes before sbuild in
# its command and the options after: build-essential and the
# Build-Depends only. The root decides the release; the .changes names the
# changelog's distribution, as an upload would. After the build, debian/rules
# clean, and the tree's files and directories go into the log for the clean job.
sbuild_in() {
    local dir=$1 tarball=$2 prefix=$3
    shift 3
    mkdir -p "$out/$dir" && chown "$builder" "$out/$dir"
    as_builder "$dir" "$prefix sbuild --chroot-mode=unshare --chroot=/cache/${tarball##*/} --dist=$distribution \
        --source --arch-any --arch-all --no-run-lintian --no-run-piuparts --no-run-autopkgtest \
        --finished-build-commands='cd %SBUILD_PKGBUILD_DIR && debian/rules clean && ($manifest) | sed \"s/^/tree-after-clean: /\"' \
        $(printf '%q ' "$@") /ci/source/tarvik_$version.dsc" || { echo "why: sbuild failed" && return 1; }
    built_from "$tarball" "$@" >"$out/$dir/built-from"
}

# What a build's packages follow from: the commit, the buildd root (by its
# recipe and when it was made) and sbuild's options.
built_from() {
    echo "$head $(stat -c %Y "$1") $(cat "$1.recipe") ${*:2}"
}

# Source, arch-any and arch-all, with the tests.
job_build() {
    echo "note: sbuild $(version_in tools sbuild)"
    sbuild_in build "$buildd" "" --arch=amd64
}

# The same without the tests (the nocheck profile): its .deb files must be the
# build's, bit for bit, since the tests ship nothing.
job_build_nocheck() {
    echo "note: sbuild $(version_in tools sbuild)"
    sbuild_in build-nocheck "$buildd" "" --arch=amd64 --profiles=nocheck || return 1
    same_debs build build-nocheck || { echo "why: the nocheck build's packages differ from the build's" && return 1; }
}

# The same for i386: in an i386 root under the personality of a 32-bit
# machine where the kernel runs i386 programs, else cross-built in the amd64
# root with the tests under qemu-user. A cross build would leave the tests out
# (sbuild's nocheck profile and option) unless told that qemu-user runs them.
job_build_i386() {
    echo "note: sbuild $(version_in tools sbuild), $way"
    if [ "$way" = native ]; then
        sbuild_in build-i386 "$buildd_i386" "setarch i686" --arch=i386
    else
        sbuild_in build-i386 "$buildd" DEB_BUILD_OPTIONS=crossbuildcanrunhostbinaries \
            --host=i386 --build=amd64 --profiles=cross
    fi
}

# Succeeds if two directories of $out hold the same .deb files, bit for bit.
same_debs() {
    local deb found=0
    for deb in "$out/$1"/*.deb; do
        [ -f "$deb" ] || continue
        found=1
        cmp "$deb" "$out/$2/${deb##*/}" 2>&1 || return 1
        echo "same: ${deb##*/} $(sha256sum <"$deb" | cut -c1-16)"
    done
    [ "$found" = 1 ]
}

# After the build, debian/rules clean left the tree as it was checked out.
job_clean() {
    echo "note: dpkg-buildpackage $(version_in tools dpkg-dev)"
    local build_log=$out/build/tarvik_${version}_amd64.build
    [ -f "$build_log" ] || { echo "why: no build log" && return 1; }
    sed -n 's/^tree-after-clean: //p' "$build_log" >"$out/source/after-clean.manifest"
    [ -s "$out/source/after-clean.manifest" ] || { echo "why: the build did not list its tree after cleaning" && return 1; }
    diff -u "$out/source/unpacked.manifest" "$out/source/after-clean.manifest" ||
        { echo "why: debian/rules clean does not bring back the tree as checked out (- before, + after)" && return 1; }
}

# lintian of the release, in a root of the release, on the build's .changes.
job_lintian() {
    echo "note: lintian $(version_in checks lintian)"
    in_ci_root checks -- lintian --display-info --pedantic --fail-on error,warning "/ci/build/tarvik_${version}_amd64.changes"
}

# blhc of the release, which knows the flags of the release's dpkg, on the
# build log: the compiler and linker lines all carry them.
job_blhc() {
    echo "note: blhc $(version_in checks blhc)"
    in_ci_root checks -- blhc --debian --line-numbers --all "/ci/build/tarvik_${version}_amd64.build"
}

# reprotest in a fresh checks root of the release (a buildd root) with the
# Build-Depends: two builds that differ in every variation it knows must give
# the same .deb files. The builds leave the tests out: they ship nothing, and the nocheck job proves
# that the packages are the same without them.
job_reprotest() {
    root_unpack reprotest "$checks_tar"
    echo "note: reprotest $(version_in reprotest reprotest)"
    in_ci_root reprotest "$(root_packages "$release" amd64):/var/cache/apt/archives" -- sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive flock /var/cache/apt/archives/lock apt-get build-dep -y -qq -Pnocheck /ci/source/tarvik_$version.dsc" ||
        { echo "why: the Build-Depends do not install" && return 1; }
    in_ci_root reprotest -- reprotest --verbose --store-dir=/ci/reprotest \
        --vary=domain_host.use_sudo=1 --vary=user_group.available+=builder:builder \
        --append-build-command=-Pnocheck "/ci/source/tarvik_$version.dsc" -- null || return 1
    ! grep -E 'IGNORING|WARNING.*variation' "$out/reprotest.log" || { echo "why: a variation was not applied" && return 1; }
}

# autopkgtest in a fresh root of the release, through autopkgtest-virt-unshare:
# only exit status 0 passes (8, no test run, fails).
job_autopkgtest() {
    echo "note: autopkgtest $(version_in tools autopkgtest)"
    mkdir -p "$out/autopkgtest" && chown "$builder" "$out/autopkgtest"
    as_builder autopkgtest "autopkgtest --apt-upgrade --output-dir=/ci/autopkgtest/out /ci/build/tarvik_${version}_amd64.changes \
        -- unshare --release=$release --arch=amd64 --tarball=/cache/${minbase##*/}"
}

# piuparts in a fresh root of the release: install, remove and purge, with
# nothing left behind.
job_piuparts() {
    echo "note: piuparts $(version_in tools piuparts)"
    in_ci_root tools -- piuparts --basetgz="/cache/${minbase##*/}" --distribution="$release" --keep-sources-list \
        "/ci/build/tarvik_${version}_amd64.changes"
}

# Builds the package for the previous release (without the tests, which the
# previous release's own run checks), or takes the packages of that release's
# run, where its build-nocheck job built the same commit in the same root (its
# reprotest job proves such builds identical), installs it in a root of that release,
# upgrades the root to this release and installs this build over it, then
# purges: piuparts between the two releases. Only the previous build's
# directory is mounted in its root: the job's own log, growing in /ci, would
# look to piuparts like a file the purge left modified.
job_piuparts_upgrade() {
    echo "note: piuparts $(version_in tools piuparts)"
    local built options=(--arch=amd64 --profiles=nocheck)
    # A run beside this one, by .ci/run or by hand, that built the same.
    built=$(grep -lxF "$(built_from "$previous_buildd" "${options[@]}")" "${out%/*}"/*/build-nocheck/built-from 2>/dev/null | tail -n 1 || true)
    if [ -n "$built" ]; then
        echo "the $previous packages of ${built%/built-from}"
        mkdir -p "$out/build-$previous" && cp "${built%/built-from}"/*.deb "$out/build-$previous/"
    else
        sbuild_in build-"$previous" "$previous_buildd" "" "${options[@]}" || { echo "why: the $previous build failed" && return 1; }
    fi
    in_ci_root tools -- sh -c "cd /ci/build-$previous && dpkg-scanpackages . >Packages" || return 1
    local mirror
    mirror=$(archive no '-security$')
    in_ci_root tools -- piuparts --basetgz="/cache/${previous_minbase##*/}" --distribution="$previous" --distribution="$release" \
        --mirror="$mirror main" --bindmount="/ci/build-$previous" \
        --extra-repo="deb [trusted=yes] file:///ci/build-$previous ./" \
        "/ci/build/tarvik_${version}_amd64.changes"
}

# wrap-and-sort -ast changes nothing in debian/.
job_wrap_and_sort() {
    echo "note: wrap-and-sort $(version_in tools devscripts)"
    rm -rf "$out/wrap-and-sort" && cp -a "$out/source/$tree" "$out/wrap-and-sort"
    in_ci_root tools -- sh -c "cd /ci/wrap-and-sort && wrap-and-sort -ast" || return 1
    diff -ru "$out/source/$tree/debian" "$out/wrap-and-sort/debian" ||
        { echo "why: wrap-and-sort -ast changes debian/" && return 1; }
}

# No file of the packages is in another package of the release (apt-file). An
# archive whose Contents files do not match its signed Release (apt refuses
# them: "File has unexpected size") gets them fetched as they are, said in the log.
job_file_conflicts() {
    echo "note: deb-check-file-conflicts $(version_in tools devscripts)"
    local mirror contents
    mirror=$(archive no '-security$')
    contents="cd /var/lib/apt/lists && for f in Contents-amd64 Contents-all; do
        echo \"unverified: \$f of $release main\" && /usr/lib/apt/apt-helper download-file $mirror/dists/$release/main/\$f.gz \$(echo ${mirror#*://} | tr / _)_dists_${release}_main_\$f.gz; done"
    in_ci_root tools -- sh -c "apt-get update -qq || { $contents; }; deb-check-file-conflicts --changes-file=/ci/build/tarvik_${version}_amd64.changes -o /ci/file-conflicts.xml"
}

root_log=/dev/stdout
for name in "${jobs[@]}"; do job "$name"; done

echo "Debian's package CI for tarvik $version ($head) on $release, in $((SECONDS - start)) s:"
awk -F'\t' '{ printf "| %s | %s | %s | %d s |\n", $2, $7, $3, $4 }' "$report"
if [ ${#failed[@]} -gt 0 ]; then
    say "failed: ${failed[*]}"
    exit 1
fi
