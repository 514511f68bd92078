#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's test command on a brand-new Debian RELEASE as a newcomer
# would: unpacks a root of the minimal base system (see root_tarball in
# common.sh), clones the project's committed HEAD into it (uncommitted changes
# are NOT included) and runs `cd tarvik && scripts/test.sh` there as root.
# Needs root. Usage:
#
#   scripts/test-on.sh [--arch ARCH] RELEASE [COMMAND]   RELEASE: trixie, bookworm, 13, 12, testing, unstable...
#
# ARCH is a Debian architecture, this machine's by default. i386 on amd64, where
# the kernel runs 32-bit x86 programs, gets a root of its own, run under
# `setarch i686` so that the suite sees a 32-bit machine. Other foreign
# architectures, one or several (arm64,s390x), and i386 where the kernel runs
# no 32-bit program or TARVIK_EMULATE_I386=1, share a root of this machine's
# architecture, in which scripts/test-cross.sh cross-builds the package for
# each and runs the foreign programs under qemu-user. COMMAND, a shell command
# run in the clone, replaces scripts/test.sh (or scripts/test-cross.sh ARCH...).
# The log goes to /var/tmp/tarvik-test-on-RELEASE[-ARCH]-<date>.log or
# $TARVIK_TEST_ON_LOG. The root and its mounts go at the end, also on failure
# or Ctrl-C. The exit status is the suite's.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "test-on.sh: must run as root (it makes a Debian root and enters it)" >&2
    exit 2
fi
host=$(dpkg --print-architecture)
arch=$host
if [ "${1:-}" = --arch ]; then
    arch=${2:-}
    shift 2 || true
fi
case "${1:-}" in
    [a-z1-9]*) release=$(release_name "$1") ;;
    *) echo "usage: scripts/test-on.sh [--arch ARCH] RELEASE [COMMAND]   (e.g. trixie, bookworm, 13, 12, testing, unstable)" >&2; exit 2 ;;
esac
[[ $arch =~ ^[a-z0-9]+(,[a-z0-9]+)*$ ]] || { echo "test-on.sh: \"$arch\" is no list of Debian architectures" >&2; exit 2; }
suffix=$([ "$arch" = "$host" ] || echo "-${arch//,/-}")
root_log=${TARVIK_TEST_ON_LOG:-/var/tmp/tarvik-test-on-$release$suffix-$(date +%Y%m%d-%H%M%S).log}
: >"$root_log"

# Prints a line of this script's own on the terminal and in the log.
say() { echo "test-on: $*" | tee -a "$root_log"; }

# Formats a number of seconds as minutes and seconds.
span() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# Removes the root and its mounts, whatever way the script ends.
# shellcheck disable=SC2317
cleanup() {
    local status=$?
    trap - EXIT && trap '' INT TERM  # a second Ctrl-C must not cut the clean-up short
    root_end
    say "full log: $root_log"
    exit "$status"
}
trap cleanup EXIT && trap 'exit 130' INT && trap 'exit 143' TERM

install_groups roots >>"$root_log" 2>&1
[ "$arch" = "$host" ] || install_groups emulation >>"$root_log" 2>&1
# The root's architecture, the personality it runs under, and the default command.
root_arch=$arch personality=() command=scripts/test.sh
if [ "$arch" = i386 ] && [ "$host" = amd64 ] && [ "$(i386_way)" = native ]; then
    say "i386: native, this kernel runs 32-bit x86 programs: an i386 root under setarch i686"
    personality=(setarch i686)
elif [ "$arch" != "$host" ]; then
    root_arch=$host command="scripts/test-cross.sh ${arch//,/ }"
    if [[ ,$arch, == *,i386,* ]]; then
        if [ "${TARVIK_EMULATE_I386:-0}" = 1 ]; then why="TARVIK_EMULATE_I386=1"
        elif [ "$(i386_way)" = native ]; then why="asked for beside other architectures"
        else why="this kernel runs no 32-bit x86 program"; fi
        say "i386: emulated under qemu-user ($why), cross-built in an $host root"
    fi
    use_emulators ${arch//,/ } 2> >(tee -a "$root_log" >&2)
fi
command=${2:-$command}
say "full log: $root_log"

root_begin
start=$SECONDS
root_tarball minbase "$release" "$root_arch" --variant=minbase
root_unpack root "$root_tar"
root=$root_work/root
head=$(git -c safe.directory="$project_dir" -C "$project_dir" rev-parse HEAD)
git -c safe.directory="$project_dir" clone -q --no-hardlinks "$project_dir" "$root/root/tarvik" >>"$root_log" 2>&1
git -C "$root/root/tarvik" checkout -q --detach "$head"
made=$((SECONDS - start))
say "root made in $(span "$made"), with the project at $head"

# The suite runs with each line of its output stamped with the time.
start=$SECONDS status=0
in_root "$root" "$(root_packages "$release" "$root_arch"):/var/cache/apt/archives" -- "${personality[@]}" \
    bash -o pipefail -c 'cd /root/tarvik && { eval "$1"; } 2>&1 | while IFS= read -r line; do printf "[%(%H:%M:%S)T] %s\n" -1 "$line"; done' _ "$command" ||
    status=$?
ran=$((SECONDS - start))
{ echo "---- the suite's last lines ----" && tail -n 20 "$root_log" && echo "----"; }
say "root made in $(span "$made"), suite ran in $(span "$ran"), status $status"
exit "$status"
