# SPDX-License-Identifier: MIT
# Shared by the project's scripts: where things are, installing what is missing,
# and the Debian roots the suite and the package CI run in.
# shellcheck shell=bash

project_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$project_dir/build"

# Runs a command as root, through sudo when the user is not root.
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Runs apt-get with the given command and packages, as root, asking nothing, adding no extras;
# one at a time on a package cache, which roots of a release share, since apt refuses to wait.
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive flock /var/cache/apt/archives/lock apt-get "$1" -y -qq --no-install-recommends "${@:2}"; }

# The packages of the named groups of scripts/packages.txt, one a line.
packages_of() {
    awk -v groups=" $* " '
        /^\[.*\]$/ { inside = index(groups, " " substr($0, 2, length($0) - 2) " ") > 0; next }
        inside && !/^#/ && NF { print $1 }' "$project_dir/scripts/packages.txt"
}

# Installs the packages of the named groups that are not installed yet.
install_groups() {
    local package missing=()
    for package in $(packages_of "$@"); do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    as_root apt-get update -qq
    apt_get install "${missing[@]}" >&2
}

# Configures and builds the project in the given directory with the given CMake options.
build_project() {
    local dir=$1 && shift
    cmake -S "$project_dir" -B "$dir" "$@" >&2
    cmake --build "$dir" --parallel "$(nproc)" >&2
}

# Reads a JUnit file that ctest wrote (--output-junit) and prints one line: how
# many tests passed, how many there were, and the names of those that did not
# pass, failed or not run (a skipped test proves nothing).
junit_results() {
    awk '/<testcase / {
            total++; name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
            if (/ status="run"/) passed++; else others = others " " name
        }
        END { printf "%d %d%s\n", passed, total, others }' "$1"
}

# Copies what a suite left in the builds (build-*/) of the tree at TREE, which its reports
# name as NAMED: ctest's JUnit files, the logs, pictures and reports, into DIR, the reports
# then naming each log at its new place.
keep_records() {
    compgen -G "$1/build-*" >/dev/null || return 0
    (cd "$1" && find build-* \( -name CMakeFiles -o -name mesa-shader-cache \) -prune -o -type f \
        \( -name '*.xml' -o -name '*.log' -o -name '*.png' -o -name report.tsv \) -print0 2>/dev/null |
        xargs -0r cp --parents -t "$3")
    find "$3" -name report.tsv -exec sed -i "s|\t$2/|\t$3/|" {} +
}

# The first archive address of apt's configuration, with a main component,
# whose suite matches a pattern (yes) or does not (no).
# shellcheck disable=SC2016
archive() {
    apt-get indextargets --format '$(TARGET_OF) $(COMPONENT) $(RELEASE) $(SITE)' |
        awk -v want="$1" -v pat="$2" '$1 == "deb" && $2 == "main" && (($3 ~ pat) == (want == "yes")) { print $4; exit }'
}

# The matrix of releases and architectures that CI proves (deb822, one paragraph a release).
matrix="$project_dir/.ci/matrix"

# Prints FIELD of the release named (by its Release, Number or Alias); with no release, a line
# a release of the matrix: its Release and the field, tab-separated.
matrix_field() {
    awk -v field="$1" -v want="${2:-}" 'BEGIN { RS = ""; FS = "\n" }
        { split("", f)
          for (i = 1; i <= NF; i++) if ($i !~ /^#/ && match($i, /^[A-Za-z0-9-]+:/)) {
              v = substr($i, RLENGTH + 1); gsub(/^[ \t]+|[ \t]+$/, "", v); f[tolower(substr($i, 1, RLENGTH - 1))] = v }
          if (!("release" in f) || (want != "" && want != f["release"] && want != f["number"] && want != f["alias"])) next
          print (want == "" ? f["release"] "\t" : "") f[tolower(field)] }' "$matrix"
}

# The suite of a Debian release as a root takes it: a name of the matrix's for one of its
# releases (12, sid...) gives its Release; other names are kept as they are.
release_name() { local name && name=$(matrix_field release "$1" | head -n 1) && echo "${name:-$1}"; }

# Runs a command as one case of REPORT, its output appended to LOG: adds a line of the suite,
# case, result, seconds, log, why it failed (the log's last "why: " line, else its status) and
# note (its last "note: " line), says on stderr how it ended; returns the command's status.
run_case() {
    local report=$1 suite=$2 name=$3 log=$4 begin=$SECONDS status=0 result=passed why="" note
    shift 4
    echo "=== $suite: $name ..." >&2
    "$@" >>"$log" 2>&1 </dev/null || status=$?
    note=$(sed -n 's/^note: //p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        result=failed why=$(sed -n 's/^why: //p' "$log" | tail -n 1)
        why=${why:-exit status $status}
        { echo "---- $log ends:" && tail -n 30 "$log"; } >&2
    fi
    printf '%s\t%s\t%s\t%d\t%s\t%s\t%s\n' "$suite" "$name" "$result" $((SECONDS - begin)) \
        "$log" "$why" "$note" >>"$report"
    echo "=== $suite: $name: $result in $((SECONDS - begin)) s${why:+: $why}${note:+ ($note)}" >&2
    return "$status"
}

# The sources of a root of a Debian release, one a line as mmdebstrap takes
# them, from the archive this machine's apt uses: the release and, but for
# unstable, its updates suite, as its point releases ship it. The security
# suite is left out. It is mirrored apart and has been seen out of step, both
# with itself (an index that does not match its signed Release, "File has
# unexpected size") and with the release (bookworm-security without any s390x
# package, where a cross root needs each Multi-Arch: same library at one
# version for both architectures); a root must not fail on either. This
# machine's own suite runs with it. Prints nothing if apt has no archive.
root_sources() {
    local mirror
    mirror=$(archive no '-security$')
    [ -n "$mirror" ] || return 0
    echo "deb $mirror $1 main"
    case $1 in unstable | sid) return 0 ;; esac
    echo "deb $mirror $1-updates main"
}

# The apt options of this machine that a root must keep, as mmdebstrap options,
# one a line: a snapshot archive needs the date checks off, a proxy must stay.
root_apt_options() {
    local option value
    for option in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy Acquire::https::Proxy; do
        value=$(apt-config dump --format '%v%n' "$option" | head -n 1)
        [ -z "$value" ] || echo "--aptopt=$option \"$value\""
    done
}

# Roots: Debian systems made with mmdebstrap, kept as tarballs in root_cache
# for $TARVIK_ROOT_CACHE_DAYS days (3) and shared by every script, each
# unpacked fresh into root_work for a run. The packages the roots of one
# release and architecture download are kept in root_cache/packages, between
# roots and runs: a root still installs everything itself, and only finds
# there what it would otherwise download again. A script sets root_log, calls
# root_begin, and calls root_end when it ends.
root_cache=/var/cache/tarvik-roots
root_log=/dev/null root_work="" root_child="" root_i386=""

# Makes the work directory of this run's roots, and has root_end called whatever way the
# script ends, with its exit status kept; a second Ctrl-C must not cut the clean-up short.
root_begin() {
    root_work=$(mktemp -d /var/tmp/tarvik-roots.XXXXXX)
    trap 'root_status=$?; trap - EXIT; trap "" INT TERM; root_end; exit $root_status' EXIT
    trap 'exit 130' INT && trap 'exit 143' TERM
}

# Ends whatever still runs in a namespace, removes every mount under the work
# directory and the directory itself, and lets go of the emulator for i386.
root_end() {
    [ -z "$root_child" ] || { kill -KILL "$root_child" 2>/dev/null; wait "$root_child" 2>/dev/null || true; }
    [ -z "$root_work" ] || remove_work_dir "$root_work"
    if [ -n "$root_i386" ]; then
        rm -f "$i386_users/$$"
        (flock 9 && i386_in_use) 9>"$i386_users/lock" || true
    fi
    root_child="" root_work="" root_i386=""
}

# Runs a command in mount, PID and UTS namespaces of its own, its output
# appended to root_log, in the background so that a signal reaches the
# caller's traps at once (with Ctrl-C back to its default, which the background
# would ignore); its processes and mounts end with it.
isolated() {
    local status=0
    unshare --mount --pid --uts --fork --mount-proc --kill-child --propagation private -- \
        env --default-signal=INT,QUIT "$@" >>"$root_log" 2>&1 &
    root_child=$! && wait "$root_child" || status=$?
    root_child="" && return "$status"
}

# Prints the path of the root of RELEASE and ARCH that mmdebstrap makes with
# the given options, a --variant among them, making it unless the cache holds
# one made the same way in the last days. FLAVOUR names the root
# among those of the same release and architecture (minbase, buildd, tools...).
root_tarball() {
    local flavour=$1 release=$2 arch=$3 sources options args recipe tarball packages made lock
    shift 3
    mapfile -t sources < <(root_sources "$release")
    mapfile -t options < <(root_apt_options)
    # apt checks an https archive's certificate against ca-certificates.
    [[ ${sources[*]} != *https://* ]] || options+=(--include=ca-certificates)
    [ ${#sources[@]} -gt 0 ] || { echo "no Debian archive with a main component in apt's configuration" >&2; return 1; }
    tarball="$root_cache/$release-$arch-$flavour.tar"
    packages=$(root_packages "$release" "$arch")
    # The packages go in and out as hard links where the file system allows, and out whole
    # or not at all, since other roots may be taking them in meanwhile.
    args=("--architectures=$arch" "$@" "${options[@]}" --skip=download/empty
        --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\" && for f in $packages/*.deb; do [ ! -e \"\$f\" ] || ln \"\$f\" \"\$1/var/cache/apt/archives/\" 2>/dev/null || cp \"\$f\" \"\$1/var/cache/apt/archives/\"; done"
        --customize-hook="for f in \"\$1\"/var/cache/apt/archives/*.deb; do t=$packages/\"\${f##*/}\"; [ -e \"\$t\" ] || ln \"\$f\" \"\$t\" 2>/dev/null || [ -e \"\$t\" ] || { cp \"\$f\" \"\$t.new\" && mv \"\$t.new\" \"\$t\"; }; done"
        --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' "$release")
    # The recipe is every argument but the output: options, hooks and sources.
    recipe="${args[*]} ${sources[*]}"
    # A script that makes the same root meanwhile is waited for, and its root taken.
    exec {lock}>"$tarball.lock"
    flock "$lock"
    if [ -z "$(find "$tarball" -mmin -$((${TARVIK_ROOT_CACHE_DAYS:-3} * 1440)) 2>/dev/null)" ] ||
        [ "$(cat "$tarball.recipe" 2>/dev/null)" != "$recipe" ]; then
        echo "making the root $release-$arch-$flavour with mmdebstrap" | tee -a "$root_log" >&2
        made="$root_work/$release-$arch-$flavour.tar"
        TMPDIR=$root_work isolated mmdebstrap "${args[@]}" "$made" "${sources[@]}"
        mv "$made" "$tarball" && echo "$recipe" >"$tarball.recipe"
    fi
    exec {lock}>&-
    echo "$tarball"
}

# Prints the directory that keeps the packages of the roots of RELEASE and ARCH.
root_packages() { mkdir -p "$root_cache/packages/$1-$2/partial" && echo "$root_cache/packages/$1-$2"; }

# Unpacks a root tarball into the work directory under the given name.
root_unpack() {
    rm -rf --one-file-system "${root_work:?}/$1"
    mkdir -m 755 "$root_work/$1" && tar -xf "$2" -C "$root_work/$1"
}

# Run inside isolated: mounts what a root needs, binds each SOURCE:TARGET given
# before "--" in it (TARGET a path in the root, SOURCE:TARGET:ro read-only),
# and runs the command after "--" with the root as the namespace's own root:
# pivot_root rather than chroot, since the kernel lets no chrooted process make
# the user namespaces of sbuild and autopkgtest.
enter_root() {
    local root=$1 bind source target mode
    shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
    mount -t tmpfs -o mode=755 run "$root/run"
    mount -t tmpfs -o mode=1777 tmp "$root/tmp"  # where sbuild, autopkgtest and piuparts unpack their roots
    while [ "$1" != -- ]; do
        IFS=: read -r source target mode <<<"$1"
        mkdir -p "$root/$target"
        mount --bind ${mode:+-o "$mode"} "$source" "$root/$target"
        shift
    done
    shift
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    # reprotest runs sudo -h localhost, which sudo refuses unless that is the
    # host's own name; sbuild looks the name up, and a root may lack /etc/hosts.
    hostname localhost
    # disorderfs (in reprotest) runs as another user: give it /dev/fuse as
    # Debian has it, readable and writable by all, and fusermount its mtab
    if [ -c /dev/fuse ]; then
        mknod -m 666 "$root/run/fuse" c 10 229 && touch "$root/dev/fuse" && mount --bind "$root/run/fuse" "$root/dev/fuse"
    fi
    [ -e "$root/etc/mtab" ] || ln -s ../proc/self/mounts "$root/etc/mtab"
    grep -q '[[:space:]]localhost$' "$root/etc/hosts" 2>/dev/null || echo "127.0.0.1 localhost" >>"$root/etc/hosts"
    mkdir -p "$root/.host" && cd "$root" && pivot_root . .host && umount -l /.host && rmdir /.host
    exec /usr/bin/env -i HOME=/root TERM=dumb LC_ALL=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# Runs a command in an unpacked root, as root there, isolated: the arguments are enter_root's.
in_root() {
    isolated bash "$project_dir/scripts/common.sh" enter_root "$@"
}

# The registration of qemu-user for i386 that this project makes, and the
# files, one a process that uses it and named by its PID, that keep it.
i386_binfmt=/proc/sys/fs/binfmt_misc/tarvik-i386 i386_users=/run/tarvik-i386

# Succeeds if a running process uses the registration for i386; removes what
# processes that have ended left, the registration too once none is left. The
# caller holds the lock of i386_users.
i386_in_use() {
    local user
    for user in "$i386_users"/[0-9]*; do
        [ -e "$user" ] || continue
        kill -0 "${user##*/}" 2>/dev/null && return 0
        rm -f "$user"
    done
    [ ! -e "$i386_binfmt" ] || echo -1 >"$i386_binfmt"
    return 1
}

# Prints how i386 programs run here, and why: "native" where the kernel runs them, else
# "emulated", under qemu-user; emulated too with TARVIK_EMULATE_I386=1, or while another run
# has qemu-user registered for them, which then serves every i386 program. A run asks once.
i386_way() {
    command -v arch-test >/dev/null || install_groups emulation >&2
    mkdir -p "$i386_users"
    if [ "${TARVIK_EMULATE_I386:-0}" = 1 ]; then
        echo "emulated TARVIK_EMULATE_I386=1"
    elif ! (flock 9 && ! i386_in_use) 9>"$i386_users/lock"; then
        echo "emulated another run has qemu-user registered for i386"
    elif [ "$(dpkg --print-architecture)" != amd64 ] || ! arch-test -n i386 >/dev/null 2>&1; then
        echo "emulated this kernel runs no 32-bit x86 program"
    else
        echo "native this kernel runs 32-bit x86 programs"
    fi
}

# Makes programs of each given architecture run here under qemu-user, through
# binfmt_misc, or fails. qemu-user-static registers its interpreters with the F
# flag, so that the kernel opens them now and they serve inside a root too; it
# leaves out i386 on amd64, the host's own family, which is registered here the
# same way while a run uses it (root_end lets it go).
use_emulators() {
    local one
    [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable >/dev/null 2>&1 || true
    for one in "$@"; do
        if [ "$one" = i386 ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
            mkdir -p "$i386_users"
            (
                flock 9
                # An ELF file of class 32, little-endian, executable or shared object, for EM_386.
                i386_in_use || printf '%s' ':tarvik-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
                    >/proc/sys/fs/binfmt_misc/register
                touch "$i386_users/$$"
            ) 9>"$i386_users/lock"
            root_i386=yes
        fi
        arch-test "$one" >/dev/null 2>&1 || { echo "this machine cannot run $one programs, even with qemu-user" >&2; return 1; }
    done
}

# Removes a work directory of roots: waits until no process runs in it (those
# of a namespace die with it), unmounts everything under it, deepest first,
# and deletes it, never crossing into another file system.
remove_work_dir() {
    for _ in $(seq 50); do
        [ -z "$(find /proc/[0-9]*/root -maxdepth 0 -lname "$1/*" 2>/dev/null || true)" ] && break; sleep 0.2
    done
    awk -v w="$1/" 'index($2, w) == 1 { print $2 }' /proc/mounts | sort -r | xargs -r umount -l
    rm -rf --one-file-system "$1"
}

# Run as a program rather than sourced, the file runs the function named, with its arguments:
# in_root enters a root so, from this very file.
[ "${BASH_SOURCE[0]}" != "$0" ] || "$@"
