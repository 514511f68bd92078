#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's test command on a brand-new Debian RELEASE as a newcomer
# would: makes a root of the base system plus git with mmdebstrap from the
# archive this machine's apt uses, clones the project's committed HEAD into it
# (uncommitted changes are NOT included) and runs `cd tarvik && scripts/test.sh`
# there as root. Needs root. Usage:
#
#   scripts/test-on.sh [--arch ARCH] RELEASE [COMMAND]   RELEASE: trixie, bookworm, 13, 12, testing, unstable...
#
# ARCH is a Debian architecture, this machine's by default. i386 on amd64 gets
# a root of its own, run under `setarch i686` so that the suite sees a 32-bit
# machine. Other foreign architectures, one or several (arm64,s390x), share a
# root of this machine's architecture, in which scripts/test-cross.sh
# cross-builds the package for each and runs the foreign programs under
# qemu-user through binfmt_misc, which this script sets up. COMMAND, a shell command run in the clone, replaces
# scripts/test.sh (or scripts/test-cross.sh ARCH). The log goes to
# /var/tmp/tarvik-test-on-RELEASE[-ARCH]-<date>.log or $TARVIK_TEST_ON_LOG.
# The base system is cached in /var/cache/tarvik-test-on for
# $TARVIK_TEST_ON_CACHE_DAYS days (3), but each run unpacks a fresh root; the
# root and its mounts go at the end, also on failure or Ctrl-C. The exit status
# is the suite's.
set -euo pipefail

source "$(dirname "$0")/common.sh"
cache_dir=/var/cache/tarvik-test-on
child="" work=""

if [ "$(id -u)" -ne 0 ]; then
    echo "test-on.sh: must run as root (it makes a Debian root and chroots into it)" >&2
    exit 2
fi
host=$(dpkg --print-architecture)
arch=$host
if [ "${1:-}" = --arch ]; then
    arch=${2:-}
    shift 2 || true
fi
case "${1:-}" in
    12 | 13) release=$([ "$1" = 12 ] && echo bookworm || echo trixie) ;;
    [a-z]*) release=$1 ;;
    *) echo "usage: scripts/test-on.sh [--arch ARCH] RELEASE [COMMAND]   (e.g. trixie, bookworm, 13, 12, testing, unstable)" >&2; exit 2 ;;
esac
# The root's architecture, the personality it runs under, and the default command.
root_arch=$arch personality=() command=scripts/test.sh
if [ "$arch" = i386 ] && [ "$host" = amd64 ]; then
    personality=(setarch i686)
elif [ "$arch" != "$host" ]; then
    [[ $arch =~ ^[a-z0-9]+(,[a-z0-9]+)*$ ]] || { echo "test-on.sh: \"$arch\" is no list of Debian architectures" >&2; exit 2; }
    root_arch=$host command="scripts/test-cross.sh ${arch//,/ }"
fi
command=${2:-$command}
suffix=$([ "$arch" = "$host" ] || echo "-${arch//,/-}")
log=${TARVIK_TEST_ON_LOG:-/var/tmp/tarvik-test-on-$release$suffix-$(date +%Y%m%d-%H%M%S).log}
: >"$log"

# Prints a line of this script's own on the terminal and in the log.
say() { echo "test-on: $*" | tee -a "$log"; }

# Formats a number of seconds as minutes and seconds.
span() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# Runs a command into the log in its own mount and PID namespaces, in the
# background so that a signal reaches the traps at once (with Ctrl-C back to its
# default, which the background would ignore); its processes and mounts end with it.
in_namespace() {
    unshare --mount --pid --fork --mount-proc --kill-child --propagation private -- \
        env --default-signal=INT,QUIT "$@" >>"$log" 2>&1 &
    child=$!
    local status=0
    wait "$child" || status=$?
    child="" && return "$status"
}

# Run inside the namespace: unmounts what run_suite mounted, in reverse order, lazily if need be.
# shellcheck disable=SC2317
unmount_root() {
    for m in run dev/shm dev sys proc; do
        umount -R "$root/$m" 2>/dev/null || umount -lR "$root/$m" 2>/dev/null || true
    done
}

# Run inside the namespace: mounts what the suite needs in the root and runs
# the test command there, each line of output stamped with the time.
# shellcheck disable=SC2317
run_suite() {
    root=$1
    set -o pipefail
    trap unmount_root EXIT
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
    mount -t tmpfs -o mode=755 run "$root/run"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    "${@:3}" chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd && cd tarvik && $2" 2>&1 |
        while IFS= read -r line; do printf '[%(%H:%M:%S)T] %s\n' -1 "$line"; done
}

# Ends whatever still runs, then removes every mount under the work directory and the directory itself.
# shellcheck disable=SC2317
cleanup() {
    local status=$?
    trap - EXIT && trap '' INT TERM  # a second Ctrl-C must not cut the clean-up short
    [ -z "$child" ] || { kill -KILL "$child" 2>/dev/null; wait "$child" 2>/dev/null || true; }
    [ -z "$work" ] || remove_work_dir "$work"
    say "full log: $log"
    exit "$status"
}
trap cleanup EXIT && trap 'exit 130' INT && trap 'exit 143' TERM

# The tools this script needs, and for a foreign architecture its emulator.
tools=()
command -v mmdebstrap >/dev/null || tools+=(mmdebstrap)
if [ "$root_arch" != "$arch" ]; then
    command -v update-binfmts >/dev/null || tools+=(binfmt-support)
    command -v arch-test >/dev/null || tools+=(arch-test)
    dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'ok installed' || tools+=(qemu-user-static)
fi
if [ ${#tools[@]} -gt 0 ]; then
    say "installing ${tools[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${tools[@]}"; } >>"$log" 2>&1
fi
if [ "$root_arch" != "$arch" ]; then
    # qemu-user-static registers its interpreters with the F flag: the kernel
    # opens them now, so they serve inside the root too.
    [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable >>"$log" 2>&1 || true
    for one in ${arch//,/ }; do
        arch-test "$one" >>"$log" 2>&1 || { say "this machine cannot run $one programs, even with qemu-user (see the log)"; exit 1; }
    done
fi
mapfile -t sources < <(root_sources "$release")
flavour=""
if [ "$root_arch" != "$arch" ]; then
    # Each Multi-Arch: same library must be at one version for both
    # architectures, but a security update may come for this machine's before
    # the foreign one's (here bookworm-security has no s390x packages at all):
    # a cross root keeps to the release and its updates.
    mapfile -t sources < <(printf '%s\n' "${sources[@]}" | grep -v -- '-security main$')
    flavour=-cross
fi
[ ${#sources[@]} -gt 0 ] || { say "no Debian archive with a main component in apt's configuration"; exit 1; }
mapfile -t options < <(root_apt_options)
say "full log: $log"

work=$(mktemp -d /var/tmp/tarvik-test-on.XXXXXX)
start=$SECONDS
base="$cache_dir/$release-$root_arch$flavour.tar"
args=(--variant=minbase "--architectures=$root_arch" "--include=git,ca-certificates" "${options[@]}" "$release")
recipe="${args[*]} ${sources[*]}"
if [ -z "$(find "$base" -mmin -$((${TARVIK_TEST_ON_CACHE_DAYS:-3} * 1440)) 2>/dev/null)" ] ||
    [ "$(cat "$base.recipe" 2>/dev/null)" != "$recipe" ]; then
    say "making the base system of $release with mmdebstrap" && mkdir -p "$cache_dir"
    TMPDIR=$work in_namespace mmdebstrap "${args[@]}" "$work/base.tar" "${sources[@]}"
    mv "$work/base.tar" "$base" && echo "$recipe" >"$base.recipe"
else
    say "base system of $release from $base"
fi
mkdir -m 755 "$work/root" && tar -xf "$base" -C "$work/root"
head=$(git -c safe.directory="$project_dir" -C "$project_dir" rev-parse HEAD)
git -c safe.directory="$project_dir" clone -q --no-hardlinks "$project_dir" "$work/root/root/tarvik" >>"$log" 2>&1
git -C "$work/root/root/tarvik" checkout -q --detach "$head"
made=$((SECONDS - start))
say "root made in $(span "$made"), with the project at $head"

start=$SECONDS status=0
in_namespace bash -c "$(declare -f unmount_root run_suite); run_suite \"\$@\"" _ "$work/root" "$command" "${personality[@]}" || status=$?
ran=$((SECONDS - start))
{ echo "---- the suite's last lines ----" && tail -n 20 "$log" && echo "----"; }
say "root made in $(span "$made"), suite ran in $(span "$ran"), status $status"
exit "$status"
