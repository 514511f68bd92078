# SPDX-License-Identifier: MIT
# Shared by the project's scripts: where things are, and installing what is missing.
# shellcheck shell=bash

project_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$project_dir/build"

# Runs a command as root, through sudo when the user is not root.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

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
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# Configures and builds the project in the given directory with the given CMake options.
build_project() {
    local dir=$1
    shift
    cmake -S "$project_dir" -B "$dir" "$@" >&2
    cmake --build "$dir" --parallel "$(nproc)" >&2
}

# The first archive address of apt's configuration, with a main component,
# whose suite matches a pattern (yes) or does not (no).
# shellcheck disable=SC2016
archive() {
    apt-get indextargets --format '$(TARGET_OF) $(COMPONENT) $(RELEASE) $(SITE)' |
        awk -v want="$1" -v pat="$2" '$1 == "deb" && $2 == "main" && (($3 ~ pat) == (want == "yes")) { print $4; exit }'
}

# The sources of a root of a Debian release, one a line as mmdebstrap takes
# them, from the archives this machine's apt uses: the release, and but for
# unstable its updates and security suites. Prints nothing if apt has none.
root_sources() {
    local mirror security
    mirror=$(archive no '-security$')
    security=$(archive yes '-security$')
    [ -n "$mirror" ] || return 0
    echo "deb $mirror $1 main"
    case $1 in unstable | sid) return 0 ;; esac
    echo "deb $mirror $1-updates main"
    [ -z "$security" ] || echo "deb $security $1-security main"
}

# The apt options of this machine that a root must keep, as mmdebstrap options,
# one a line: a snapshot archive needs the date checks off, a proxy must stay.
root_apt_options() {
    local option value
    for option in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy Acquire::https::Proxy; do
        value="" && eval "$(apt-config shell value "$option")"
        [ -z "$value" ] || echo "--aptopt=$option \"$value\""
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
