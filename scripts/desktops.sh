#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the desktop and fault tests under each tested desktop (TARVIK_DESKTOP,
# see tests/support/desktop.h), then under each Mesa driver (TARVIK_GL_DRIVER,
# see tests/support/game_session.h) on dwm, and prints a Markdown table of how
# each did. Installs what it needs, builds in build-desktops/ or the given
# directory, and keeps each test log there as desktops/NAME.log or
# drivers/NAME.log, with ctest's results as NAME.xml beside it. Fails if a
# desktop or driver expected to pass does not.
# With --drivers it runs the drivers only. Usage:
#
#   scripts/desktops.sh [--drivers] [BUILD_DIR]
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Each desktop or driver, the Debian packages whose versions the table shows,
# whether it is expected to pass (yes) or only reported (no), and if not why.
desktops=(
    "dwm dwm yes"
    "openbox openbox yes"
    "xfwm4 xfwm4 yes"
    "mutter mutter yes"
    "weston weston,xwayland yes"
)
drivers=(
    "llvmpipe libgl1-mesa-dri yes"
    "softpipe libgl1-mesa-dri yes"
    "zink libgl1-mesa-dri,mesa-vulkan-drivers yes"
)

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
    local package out=()
    for package in ${1//,/ }; do
        out+=("$package $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo '(not installed)')")
    done
    local IFS=,
    local joined="${out[*]}"
    echo "${joined//,/, }"
}

# Prints, on one line, from the JUnit file of a run, which tests did not pass
# (the first four) and the first failure's message, as GoogleTest gave it.
failures() {
    local rest names shown
    read -r _ _ rest <<<"$(junit_results "$1")"
    read -ra names <<<"$rest"
    shown="${names[*]:0:4}"
    printf '%d failed: %s' ${#names[@]} "${shown// /, }"
    [ ${#names[@]} -le 4 ] || printf ', ...'
    awk '/<testcase / && !/ status="run"/ { inside = 1; next }
        inside && /: Failure$/ { reading = 1; next }
        reading && (/^\[  FAILED  \]|: Failure$|<\/system-out>/) { exit }
        reading { line = $0; gsub(/^ +| +$/, "", line); text = text " " line }
        END { if (text != "") printf "; first:%s", substr(text, 1, 240) }' "$1" | sed 's/|/\\|/g; s/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&amp;/\&/g'
}

# Runs both layers with VARIABLE set to one entry's name, keeping the log as
# KIND/NAME.log, and sets row to the entry's cells after its name: versions,
# tests passed, time, notes. An entry expected to pass that does not goes in broken.
broken=()
test_under() {
    local kind=$1 variable=$2 name packages expected reason log junit begin status=0 passed total score notes
    read -r name packages expected reason <<<"$3"
    log="$dir/$kind/$name.log" junit="$dir/$kind/$name.xml"
    echo "Testing under $variable=$name" >&2
    begin=$SECONDS
    rm -f "$junit"
    (cd "$dir" && env "$variable=$name" ctest -L 'desktop|faults' --output-on-failure --output-junit "$junit") >"$log" 2>&1 ||
        status=$?
    score="none ran"
    if [ -s "$junit" ]; then
        read -r passed total _ <<<"$(junit_results "$junit")"
        score="$passed/$total"
    fi
    notes=""
    if [ "$status" -ne 0 ]; then
        notes="$(failures "$junit"); log: $kind/$name.log"
        [ -s "$junit" ] || notes="ctest ended with status $status; log: $kind/$name.log"
        [ "$expected" = yes ] && broken+=("$name")
        [ "$expected" = yes ] || notes="not expected to pass${reason:+ ($reason)}: $notes"
    elif [ "$expected" = no ]; then
        notes="passed, though not expected to"
    fi
    row="$(versions "$packages") | $score | $((SECONDS - begin)) s | $notes"
}

if [ ${#desktops[@]} -gt 0 ]; then
    table=("| desktop | version | tests passed | time | notes |" "|---|---|---|---|---|")
    for entry in "${desktops[@]}"; do
        test_under desktops TARVIK_DESKTOP "$entry"
        table+=("| ${entry%% *} | $row |")
    done
    printf '%s\n' "${table[@]}" ""
fi

# The renderer each driver's run drew with, as the driver test printed it.
table=("| driver | version | renderer | tests passed | time | notes |" "|---|---|---|---|---|---|")
for entry in "${drivers[@]}"; do
    test_under drivers TARVIK_GL_DRIVER "$entry"
    renderer=$(grep -m1 -o '^renderer: .*' "$dir/Testing/Temporary/LastTest.log" | cut -c11- || true)
    table+=("| ${entry%% *} | ${row%% | *} | ${renderer:-(none noted)} | ${row#* | } |")
done

printf '%s\n' "${table[@]}"
echo "All tested in $((SECONDS - start)) s, build included" >&2
if [ ${#broken[@]} -gt 0 ]; then
    echo "desktops.sh: failed under ${broken[*]}" >&2
    exit 1
fi
