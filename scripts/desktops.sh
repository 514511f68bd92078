#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the desktop and fault tests under each tested desktop (TARVIK_DESKTOP,
# see tests/support/desktop.h) and prints a Markdown table of how each did.
# Installs what it needs, builds in build-desktops/ or the given directory, and
# keeps each desktop's test log there as desktops/NAME.log. Fails if a desktop
# expected to pass does not. Usage:
#
#   scripts/desktops.sh [BUILD_DIR]
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Each desktop, the Debian packages whose versions the table shows, and whether
# it is expected to pass (yes) or only reported (no).
desktops=(
    "dwm dwm yes"
    "openbox openbox yes"
    "xfwm4 xfwm4 yes"
    "mutter mutter yes"
    "weston weston,xwayland yes"
)

dir=$(realpath -m "${1:-$project_dir/build-desktops}")
install_groups build play virtual-desktop tests desktops
start=$SECONDS
build_project "$dir"
if ! (cd "$dir" && ctest -N -L desktop | grep -q 'Total Tests: [1-9]'); then
    echo "desktops.sh: $dir has no desktop tests; see cmake's message above" >&2
    exit 1
fi
mkdir -p "$dir/desktops"
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

# Prints, on one line, which tests of a ctest log failed and the first failure's message.
failures() {
    awk '
        /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / && /\*\*\*|Not Run|Timeout/ {
            name = $4; sub(/^.*DesktopTest\./, "", name); sub(/^[A-Za-z]+Test\./, "", name)
            names = names (n < 4 ? (n ? ", " : "") name : (n == 4 ? ", ..." : ""))
            if (!n++) { first = $0; sub(/^.*\*\*\*/, "", first); sub(/ +[0-9.]+ sec$/, "", first) }
            next
        }
        n == 1 && /: Failure$/ && !done { reading = 1; first = first ":"; next }
        reading && (/^\[  FAILED  \]|: Failure$/) { reading = 0; done = 1 }
        reading { line = $0; gsub(/^ +| +$/, "", line); first = first " " line }
        END { if (n) printf "%d failed: %s; first: %s", n, names, substr(first, 1, 240) }
    ' "$1" | sed 's/|/\\|/g'
}

table=("| desktop | version | tests passed | time | notes |" "|---|---|---|---|---|")
broken=()
for entry in "${desktops[@]}"; do
    read -r name packages expected <<<"$entry"
    log="$dir/desktops/$name.log"
    echo "Testing under $name" >&2
    begin=$SECONDS
    status=0
    (cd "$dir" && TARVIK_DESKTOP=$name ctest -L 'desktop|faults' --output-on-failure) >"$log" 2>&1 || status=$?
    took=$((SECONDS - begin))
    summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
    if [ -n "$summary" ]; then
        read -r failed _ _ _ _ total <<<"$summary"
        score="$((total - failed))/$total"
    else
        score="none ran"
    fi
    notes=""
    if [ "$status" -ne 0 ]; then
        notes="$(failures "$log"); log: desktops/$name.log"
        [ -n "$summary" ] || notes="ctest ended with status $status; log: desktops/$name.log"
        [ "$expected" = yes ] && broken+=("$name")
        [ "$expected" = yes ] || notes="not expected to pass: $notes"
    fi
    table+=("| $name | $(versions "$packages") | $score | $took s | $notes |")
done

printf '%s\n' "${table[@]}"
echo "All desktops tested in $((SECONDS - start)) s, build included" >&2
if [ ${#broken[@]} -gt 0 ]; then
    echo "desktops.sh: failed under ${broken[*]}" >&2
    exit 1
fi
