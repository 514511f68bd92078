#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's test command on a brand-new Debian RELEASE as a newcomer
# would: a fresh minimal root (root_tarball in common.sh), the committed HEAD
# cloned into it but for scripts/, this tree's own, bound in so that the
# scripts inside are the files outside, and `scripts/test.sh` run there. Usage:
#
#   scripts/test-on.sh [--arch ARCH] [--i386 WAY] [--out DIR] RELEASE [COMMAND]
#
# RELEASE: a release of .ci/matrix by name or number, or any suite. ARCH, this
# machine's by default, or several joined by commas: i386 alone, where it runs
# natively (WAY, native or emulated, as the caller decided, else i386_way), in
# an i386 root under `setarch i686`; the others cross-built by test-cross.sh.
# COMMAND, a shell command, replaces the default. DIR (by default
# /var/tmp/tarvik-test-on-RELEASE[-ARCH]-<date>) keeps the log (or
# $TARVIK_TEST_ON_LOG) and the root's records. Needs root; exits as the suite.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage="usage: scripts/test-on.sh [--arch ARCH] [--i386 native|emulated] [--out DIR] RELEASE [COMMAND]"
[ "$(id -u)" -eq 0 ] || { echo "test-on.sh: must run as root (it makes a Debian root and enters it)" >&2; exit 2; }
host=$(dpkg --print-architecture)
arch=$host way="" out=""
while [[ ${1:-} =~ ^--(arch|i386|out)$ ]] && [ $# -ge 2 ]; do
    case $1 in --arch) arch=$2 ;; --i386) way=$2 ;; --out) out=$2 ;; esac
    shift 2
done
[[ ${1:-} =~ ^[a-z0-9]+$ && ${way:-native} =~ ^(native|emulated)$ ]] || { echo "$usage" >&2; exit 2; }
release=$(release_name "$1")
[[ $arch =~ ^[a-z0-9]+(,[a-z0-9]+)*$ ]] || { echo "test-on.sh: \"$arch\" is no list of Debian architectures" >&2; exit 2; }
IFS=, read -ra arches <<<"$arch"
out=${out:-/var/tmp/tarvik-test-on-$release$([ "$arch" = "$host" ] || echo "-${arch//,/-}")-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
root_log=${TARVIK_TEST_ON_LOG:-$out/test-on.log}
: >"$root_log"

# Prints a line of this script's own on the terminal and in the log.
say() { echo "test-on: $*" | tee -a "$root_log"; }

# Formats a number of seconds as minutes and seconds.
span() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

install_groups roots >>"$root_log" 2>&1
# The root's architecture, the personality it runs under, and the command.
root_arch=$arch personality=() command=(scripts/test.sh)
if [ "$arch" != "$host" ]; then
    [ -n "$way" ] || { read -r way why <<<"$(i386_way)" && say "i386: $way, $why"; }
    install_groups emulation >>"$root_log" 2>&1
fi
if [ "$arch" = i386 ] && [ "$host" = amd64 ] && [ "$way" = native ]; then
    say "i386: native, an i386 root under setarch i686"
    personality=(setarch i686)
elif [ "$arch" != "$host" ]; then
    root_arch=$host command=(scripts/test-cross.sh "${arches[@]}")
    [[ " ${arches[*]} " != *" i386 "* ]] || say "i386: emulated under qemu-user$([ "$way" = emulated ] || echo ", as it is asked for beside other architectures"), cross-built in an $host root"
    use_emulators "${arches[@]}" 2> >(tee -a "$root_log" >&2)
fi
[ -z "${2:-}" ] || command=(bash -c "$2")
say "full log: $root_log"

root_begin
start=$SECONDS
tarball=$(root_tarball minbase "$release" "$root_arch" --variant=minbase)
root_unpack root "$tarball"
root=$root_work/root
head=$(git -c safe.directory="$project_dir" -C "$project_dir" rev-parse HEAD)
git -c safe.directory="$project_dir" clone -q --no-hardlinks "$project_dir" "$root/root/tarvik" >>"$root_log" 2>&1
git -C "$root/root/tarvik" checkout -q --detach "$head"
made=$((SECONDS - start))
say "root made in $(span "$made"), with the project at $head"

# The suite runs with each line of its output stamped with the time.
start=$SECONDS status=0
in_root "$root" "$(root_packages "$release" "$root_arch"):/var/cache/apt/archives" \
    "$project_dir/scripts:/root/tarvik/scripts:ro" -- "${personality[@]}" \
    bash -o pipefail -c 'cd /root/tarvik && "$@" 2>&1 | while IFS= read -r line; do printf "[%(%H:%M:%S)T] %s\n" -1 "$line"; done' \
    _ "${command[@]}" || status=$?
ran=$((SECONDS - start))
# What the suite leaves in the clone's builds, kept before the root goes.
keep_records "$root/root/tarvik" /root/tarvik "$out"
{ echo "---- the suite's last lines ----" && tail -n 20 "$root_log" && echo "----"; }
sed -n 's/^\[[0-9:]*\] note: /note: /p' "$root_log" | tail -n 1  # the suite's note, as this run's
say "root made in $(span "$made"), suite ran in $(span "$ran"), status $status"
exit "$status"
