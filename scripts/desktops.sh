#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the desktop and fault tests under each tested desktop (TARVIK_DESKTOP),
# then under each Mesa driver (TARVIK_GL_DRIVER) on dwm, each a case of
# BUILD_DIR/report.tsv (run_case in common.sh) noting versions, tests passed and
# renderer, with its log and ctest's JUnit file in desktops/ or drivers/ there,
# and prints them as a table. Builds in build-desktops/ or BUILD_DIR; fails if
# any fails. With --drivers it runs the drivers only. Usage:
#
#   scripts/desktops.sh [--drivers] [BUILD_DIR]
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Each desktop or driver, and the Debian packages whose versions the report shows.
desktops=("dwm dwm" "openbox openbox" "xfwm4 xfwm4" "mutter mutter" "weston weston,xwayland")
drivers=("llvmpipe libgl1-mesa-dri" "softpipe libgl1-mesa-dri" "zink libgl1-mesa-dri,mesa-vulkan-drivers")

groups=(build play virtual-desktop tests gl-drivers desktops)
if [ "${1:-}" = --drivers ]; then
    desktops=() && unset 'groups[-1]' && shift
fi
dir=$(realpath -m "${1:-$project_dir/build-desktops}")
install_groups "${groups[@]}"
start=$SECONDS
build_project "$dir"
# ctest's list of the desktop tests, as JSON: each test has a command.
listed=$(cd "$dir" && ctest --show-only=json-v1 -L desktop)
if [[ $listed != *'"command"'* ]]; then
    echo "desktops.sh: $dir has no desktop tests; see cmake's message above" >&2
    exit 1
fi
mkdir -p "$dir/desktops" "$dir/drivers"
echo "Built in $((SECONDS - start)) s" >&2

# Prints the installed versions of the given comma-separated packages.
versions() {
    local package
    for package in ${1//,/ }; do
        printf '%s%s %s' "${comma:-}" "$package" "$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo '(not installed)')"
        local comma=", "
    done
}

# Prints which tests of a JUnit file of ctest's did not pass: their messages are in the file.
failures() {
    local rest names
    read -r _ _ rest <<<"$(junit_results "$1")"
    read -ra names <<<"$rest"
    echo "${#names[@]} failed: ${names[*]}"
}

# Runs both layers with VARIABLE set to NAME, its results in JUNIT, and says the versions of
# PACKAGES, the tests passed and the renderer as its note, and its failures as why.
test_layers() {
    local status=0 passed total others renderer
    rm -f "$4"
    (cd "$dir" && env "$1=$2" ctest -L 'desktop|faults' --output-on-failure --output-junit "$4") || status=$?
    read -r passed total others <<<"$(junit_results "$4" 2>/dev/null || echo 0 0)"
    renderer=$(grep -m1 -o '^renderer: .*' "$dir/Testing/Temporary/LastTest.log" | cut -c11- || true)
    echo "note: $(versions "$3"); $passed/$total tests passed${others:+, not passed:$others}${renderer:+; renderer $renderer}"
    [ "$status" -eq 0 ] || echo "why: $([ -s "$4" ] && failures "$4" || echo "ctest ended with status $status")"
    return "$status"
}

report="$dir/report.tsv" broken=()
: >"$report"
for entry in "${desktops[@]/#/desktops TARVIK_DESKTOP }" "${drivers[@]/#/drivers TARVIK_GL_DRIVER }"; do
    read -r kind variable name packages <<<"$entry"
    run_case "$report" "$kind" "$name" "$dir/$kind/$name.log" test_layers "$variable" "$name" "$packages" \
        "$dir/$kind/$name.xml" || broken+=("$name")
done
awk -F'\t' 'BEGIN { print "| desktop or driver | result | time | note |\n|---|---|---|---|" }
    { printf "| %s | %s | %d s | %s%s |\n", $2, $3, $4, $7, $6 != "" ? "; " $6 : "" }' "$report"
echo "All tested in $((SECONDS - start)) s, build included" >&2
[ ${#broken[@]} -eq 0 ] || { echo "desktops.sh: failed under ${broken[*]}" >&2; exit 1; }
