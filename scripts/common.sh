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

# Installs the Debian packages of scripts/packages.txt that are not installed yet.
install_missing_packages() {
    local wanted missing=()
    wanted=$(grep -v -e '^#' -e '^[[:space:]]*$' "$project_dir/scripts/packages.txt")
    for package in $wanted; do
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
