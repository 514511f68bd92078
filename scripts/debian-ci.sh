#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the jobs of Debian's standard package CI on the committed HEAD for one
# Debian release, each against a fresh copy of the tree, and prints one row a
# job: the job, its tool and version, its result and its time. Needs root.
#
#   scripts/debian-ci.sh RELEASE      RELEASE: bookworm, trixie, unstable (or 12, 13)
#
# The tools (sbuild, autopkgtest, piuparts, blhc, devscripts) are Debian 13's,
# in a root of their own; what they build in and test in is RELEASE: sbuild
# builds in unshare mode from a buildd root, lintian and reprotest run in roots
# of RELEASE, autopkgtest in a fresh root through autopkgtest-virt-unshare.
# Every root is made and kept as root_tarball in common.sh tells, and unpacked
# fresh for each run. The i386 build runs in an i386 root where the kernel
# runs i386 programs, else cross-built (see job_build_i386). The logs and packages stay in
# /var/tmp/tarvik-debian-ci-RELEASE-<date>/; the roots and their mounts go at
# the end, also on failure or Ctrl-C. The exit status is 1 if any job failed.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "$0")/common.sh"

tools_release=trixie

if [ "$(id -u)" -ne 0 ]; then
    echo "debian-ci.sh: must run as root (it makes Debian roots and enters them)" >&2
    exit 2
fi
case "${1:-}" in
    12 | 13 | bookworm | trixie | unstable | sid) release=$(release_name "$1") ;;
    *) echo "usage: scripts/debian-ci.sh RELEASE   (bookworm, trixie or unstable; 12, 13)" >&2; exit 2 ;;
esac
# The release whose build a package of this release upgrades from.
previous=$([ "$release" = trixie ] && echo bookworm || true)
out=/var/tmp/tarvik-debian-ci-$release-$(date +%Y%m%d-%H%M%S)
mkdir -p "$out"
root_log=$out/debian-ci.log

# Prints a line of this script's own on the terminal (stderr) and in the log.
say() { echo "debian-ci: $*" | tee -a "$root_log" >&2; }

# Runs a command in an unpacked root of the work directory, as root there, with
# the outputs at /ci and the cached roots read-only at /cache, and any further
# SOURCE:TARGET to bind (see enter_root).
in_ci_root() {
    local root=$1
    shift
    local binds=()
    while [ "$1" != -- ]; do binds+=("$1") && shift; done
    in_root "$root_work/$root" "$out:/ci" "$root_cache:/cache:ro" "${binds[@]}" "$@"
}

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

# Ends whatever still runs, then removes the roots and their mounts.
# shellcheck disable=SC2317
cleanup() {
    local status=$?
    trap - EXIT && trap '' INT TERM  # a second Ctrl-C must not cut the clean-up short
    root_end
    say "logs and packages: $out"
    exit "$status"
}
trap cleanup EXIT && trap 'exit 130' INT && trap 'exit 143' TERM

rows=() failed=()
# Runs the job function NAME (job_NAME with the rest as arguments), its output
# in NAME.log, and prints its row. A job sets $tool, and $why when it fails.
job() {
    local name=$1 start=$SECONDS result=passed
    shift
    tool="" why="" root_log="$out/$name.log"
    "job_${name//-/_}" "$@" || result=failed
    root_log=$out/debian-ci.log
    rows+=("$(printf '| %s | %s | %s | %d s |' "$name" "$tool" "$result" $((SECONDS - start)))")
    echo "${rows[-1]}"
    if [ "$result" = failed ]; then
        failed+=("$name")
        { echo "debian-ci: $name failed${why:+: $why} ($out/$name.log ends:)" && tail -n 15 "$out/$name.log" 2>/dev/null; } >&2
    fi
}

# The machine's own tool: mmdebstrap, which makes every root; and where the
# kernel runs no i386 program, or TARVIK_EMULATE_I386=1, qemu-user for the
# i386 build's tests.
install_groups roots emulation
i386=$(i386_way)
root_begin
say "logs and packages: $out"
start=$SECONDS
mapfile -t tools < <(packages_of debian-ci-tools)
root_tarball tools "$tools_release" amd64 --variant=minbase \
    "--include=$(IFS=, && echo "${tools[*]}")" \
    --customize-hook='chroot "$1" useradd --create-home builder' \
    --customize-hook='echo builder:100000:65536 >"$1/etc/subuid"' \
    --customize-hook='echo builder:100000:65536 >"$1/etc/subgid"'
tools_tar=$root_tar
root_tarball buildd "$release" amd64 --variant=buildd
buildd=$root_tar
if [ "$i386" = native ]; then
    root_tarball buildd "$release" i386 --variant=buildd
    buildd_i386=$root_tar
else
    use_emulators i386 2> >(tee -a "$root_log" >&2)
fi
root_tarball minbase "$release" amd64 --variant=minbase
minbase=$root_tar
# The release's own checks of what its build tools gave, lintian and blhc; and
# reprotest with what its variations run: disorderfs, faketime, other
# locales, sudo, and diffoscope to show a difference. One root serves both.
root_tarball checks "$release" amd64 --variant=buildd \
    --include=lintian,blhc,reprotest,disorderfs,faketime,locales-all,sudo,diffoscope-minimal \
    --customize-hook='chroot "$1" useradd --create-home builder'
checks_tar=$root_tar
if [ -n "$previous" ]; then
    root_tarball buildd "$previous" amd64 --variant=buildd
    previous_buildd=$root_tar
    root_tarball minbase "$previous" amd64 --variant=minbase
    previous_minbase=$root_tar
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
(cd "$out/source/$tree" && eval "$manifest") | grep -v -E '/\.git(ignore|attributes|modules)$' >"$out/source/tree.manifest"
say "roots ready in $((SECONDS - start)) s; tarvik $version at $head, for $release"

# Makes the source package with dpkg-source -b; it must hold the tree, no more, no less.
job_source() {
    tool="dpkg-source $(version_in tools dpkg-dev)"
    in_ci_root tools -- sh -c "cd /ci/source && dpkg-source -b $tree && rm -rf unpacked && dpkg-source -x tarvik_$version.dsc unpacked" || return 1
    (cd "$out/source/unpacked" && eval "$manifest") >"$out/source/unpacked.manifest"
    diff -u "$out/source/tree.manifest" "$out/source/unpacked.manifest" >>"$root_log" ||
        { why="the source package does not hold exactly the committed tree" && return 1; }
}

# Builds with sbuild in unshare mode in the given directory of $out, from the
# source package, in the given buildd root: build-essential and the
# Build-Depends only. The root decides the release; the .changes names the
# changelog's distribution, as an upload would. After the build, debian/rules
# clean, and the tree's files and directories go into the log for the clean job.
sbuild_in() {
    local dir=$1 tarball=$2
    shift 2
    mkdir -p "$out/$dir" && chown "$builder" "$out/$dir"
    as_builder "$dir" "$* sbuild --chroot-mode=unshare --chroot=/cache/${tarball##*/} --dist=$distribution \
        --source --arch-any --arch-all --no-run-lintian --no-run-piuparts --no-run-autopkgtest \
        --finished-build-commands='cd %SBUILD_PKGBUILD_DIR && debian/rules clean && ($manifest) | sed \"s/^/tree-after-clean: /\"' \
        $(printf '%q ' "${sbuild_options[@]}") /ci/source/tarvik_$version.dsc" || { why="sbuild failed" && return 1; }
    built_from "$tarball" >"$out/$dir/built-from"
}

# What a build's packages follow from: the commit, the buildd root (by its
# recipe and when it was made) and sbuild's options.
built_from() {
    echo "$head $(stat -c %Y "$1") $(cat "$1.recipe") ${sbuild_options[*]}"
}

# Source, arch-any and arch-all, with the tests.
job_build() {
    tool="sbuild $(version_in tools sbuild)"
    sbuild_options=(--arch=amd64)
    sbuild_in build "$buildd"
}

# The same without the tests (the nocheck profile): its .deb files must be the
# build's, bit for bit, since the tests ship nothing.
job_build_nocheck() {
    tool="sbuild $(version_in tools sbuild)"
    sbuild_options=(--arch=amd64 --profiles=nocheck)
    sbuild_in build-nocheck "$buildd" || return 1
    same_debs build build-nocheck || { why="the nocheck build's packages differ from the build's" && return 1; }
}

# The same for i386: in an i386 root under the personality of a 32-bit
# machine where the kernel runs i386 programs, else cross-built in the amd64
# root with the tests under qemu-user. A cross build would leave the tests out
# (sbuild's nocheck profile and option) unless told that qemu-user runs them.
job_build_i386() {
    tool="sbuild $(version_in tools sbuild), $i386"
    echo "i386: $i386" >>"$root_log"
    if [ "$i386" = native ]; then
        sbuild_options=(--arch=i386)
        sbuild_in build-i386 "$buildd_i386" setarch i686
    else
        sbuild_options=(--host=i386 --build=amd64 --profiles=cross)
        sbuild_in build-i386 "$buildd" DEB_BUILD_OPTIONS=crossbuildcanrunhostbinaries
    fi
}

# Succeeds if two directories of $out hold the same .deb files, bit for bit.
same_debs() {
    local deb found=0
    for deb in "$out/$1"/*.deb; do
        [ -f "$deb" ] || continue
        found=1
        cmp "$deb" "$out/$2/${deb##*/}" >>"$root_log" 2>&1 || return 1
        echo "same: ${deb##*/} $(sha256sum <"$deb" | cut -c1-16)" >>"$root_log"
    done
    [ "$found" = 1 ]
}

# After the build, debian/rules clean left the tree as it was checked out.
job_clean() {
    tool="dpkg-buildpackage $(version_in tools dpkg-dev)"
    local build_log=$out/build/tarvik_${version}_amd64.build
    [ -f "$build_log" ] || { why="no build log" && return 1; }
    sed -n 's/^tree-after-clean: //p' "$build_log" >"$out/source/after-clean.manifest"
    [ -s "$out/source/after-clean.manifest" ] || { why="the build did not list its tree after cleaning" && return 1; }
    diff -u "$out/source/unpacked.manifest" "$out/source/after-clean.manifest" >>"$root_log" ||
        { why="debian/rules clean does not bring back the tree as checked out (- before, + after)" && return 1; }
}

# lintian of the release, in a root of the release, on the build's .changes.
job_lintian() {
    tool="lintian $(version_in checks lintian)"
    in_ci_root checks -- lintian --display-info --pedantic --fail-on error,warning "/ci/build/tarvik_${version}_amd64.changes"
}

# blhc of the release, which knows the flags of the release's dpkg, on the
# build log: the compiler and linker lines all carry them.
job_blhc() {
    tool="blhc $(version_in checks blhc)"
    in_ci_root checks -- blhc --debian --line-numbers --all "/ci/build/tarvik_${version}_amd64.build"
}

# reprotest in a fresh checks root of the release (a buildd root) with the
# Build-Depends: two builds that differ in every variation it knows must give
# the same .deb files. The builds leave the tests out: they ship nothing, and the nocheck job proves
# that the packages are the same without them.
job_reprotest() {
    root_unpack reprotest "$checks_tar"
    tool="reprotest $(version_in reprotest reprotest)"
    in_ci_root reprotest "$(root_packages "$release" amd64):/var/cache/apt/archives" -- sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq -Pnocheck /ci/source/tarvik_$version.dsc" ||
        { why="the Build-Depends do not install" && return 1; }
    in_ci_root reprotest -- reprotest --verbose --store-dir=/ci/reprotest \
        --vary=domain_host.use_sudo=1 --vary=user_group.available+=builder:builder \
        --append-build-command=-Pnocheck "/ci/source/tarvik_$version.dsc" -- null || return 1
    ! grep -E 'IGNORING|WARNING.*variation' "$root_log" || { why="a variation was not applied" && return 1; }
}

# autopkgtest in a fresh root of the release, through autopkgtest-virt-unshare:
# only exit status 0 passes (8, no test run, fails).
job_autopkgtest() {
    tool="autopkgtest $(version_in tools autopkgtest)"
    mkdir -p "$out/autopkgtest" && chown "$builder" "$out/autopkgtest"
    as_builder autopkgtest "autopkgtest --apt-upgrade --output-dir=/ci/autopkgtest/out /ci/build/tarvik_${version}_amd64.changes \
        -- unshare --release=$release --arch=amd64 --tarball=/cache/${minbase##*/}"
}

# piuparts in a fresh root of the release: install, remove and purge, with
# nothing left behind.
job_piuparts() {
    tool="piuparts $(version_in tools piuparts)"
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
    tool="piuparts $(version_in tools piuparts)"
    sbuild_options=(--arch=amd64 --profiles=nocheck)
    local built
    built=$(grep -lxF "$(built_from "$previous_buildd")" /var/tmp/tarvik-debian-ci-"$previous"-*/build-nocheck/built-from 2>/dev/null | tail -n 1 || true)
    if [ -n "$built" ]; then
        echo "the $previous packages of ${built%/built-from}" >>"$root_log"
        mkdir -p "$out/build-$previous" && cp "${built%/built-from}"/*.deb "$out/build-$previous/"
    else
        sbuild_in build-"$previous" "$previous_buildd" || { why="the $previous build failed" && return 1; }
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
    tool="wrap-and-sort $(version_in tools devscripts)"
    rm -rf "$out/wrap-and-sort" && cp -a "$out/source/$tree" "$out/wrap-and-sort"
    in_ci_root tools -- sh -c "cd /ci/wrap-and-sort && wrap-and-sort -ast" || return 1
    diff -ru "$out/source/$tree/debian" "$out/wrap-and-sort/debian" >>"$root_log" ||
        { why="wrap-and-sort -ast changes debian/" && return 1; }
}

# No file of the packages is in another package of the release (apt-file). An
# archive whose Contents files do not match its signed Release (apt refuses
# them: "File has unexpected size") gets them fetched as they are, said in the log.
job_file_conflicts() {
    tool="deb-check-file-conflicts $(version_in tools devscripts)"
    local mirror contents
    mirror=$(archive no '-security$')
    contents="cd /var/lib/apt/lists && for f in Contents-amd64 Contents-all; do
        echo \"unverified: \$f of $release main\" && /usr/lib/apt/apt-helper download-file $mirror/dists/$release/main/\$f.gz \$(echo ${mirror#*://} | tr / _)_dists_${release}_main_\$f.gz; done"
    in_ci_root tools -- sh -c "apt-get update -qq || { $contents; }; deb-check-file-conflicts --changes-file=/ci/build/tarvik_${version}_amd64.changes -o /ci/file-conflicts.xml"
}

job source
job build
job clean
job build-nocheck
job build-i386
job blhc
job lintian
job reprotest
job autopkgtest
job piuparts
[ -z "$previous" ] || job piuparts-upgrade
job wrap-and-sort
[ "$release" != "$tools_release" ] || job file-conflicts

echo
echo "Debian's package CI for tarvik $version ($head) on $release, in $((SECONDS - start)) s:"
echo "| job | tool | result | time |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    say "failed: ${failed[*]}"
    exit 1
fi
