#!/bin/bash
# SPDX-License-Identifier: MIT
# Fails unless the README's table of releases and architectures is the one that
# .ci/matrix gives, row for row, and unless every desktop and driver row of the
# CI records in docs/ counts as many tests as the desktop and fault layers now
# hold (COUNT, from ctest's list; 0 leaves that check out).
#
#   records_test.sh SOURCE_DIR COUNT
set -eu
case ${2:-} in "" | *[!0-9]*) echo "usage: records_test.sh SOURCE_DIR COUNT" && exit 2 ;; esac
source "$1/scripts/common.sh"
status=0

# The README's row of one release, as the matrix gives it.
row_of() {
    local number alias status native cross
    number=$(matrix_field number "$1") alias=$(matrix_field alias "$1")
    status=$(matrix_field status "$1") native=$(matrix_field native "$1")
    cross=$(matrix_field cross "$1")
    printf '| %s | %s | %s%s |\n' "${number:+$number }$1${alias:+ ($alias)}" \
        "$([ "$status" = next ] && echo "followed as the next release" || echo "$status")" \
        "${native// /, }" "${cross:+; ${cross// /, } cross-built and played under emulation}"
}

expected=$(matrix_field release | cut -f1 | while read -r release; do row_of "$release"; done)
table=$(sed -n '/^## Supported releases and architectures/,/^## /p' "$1/README.md" | grep '^| [0-9a-z]')
if [ "$table" != "$expected" ]; then
    echo "README.md's table of releases is not the matrix's; it should read:"
    echo "$expected"
    status=1
fi

for record in "$1"/docs/ci-*.md; do
    [ -e "$record" ] && [ "$2" -gt 0 ] || continue
    # A row of the desktops' or drivers' sections: | NAME | result | time | versions; N/M tests passed... |
    counts=$(awk '/^## .*\/ (desktops|drivers)$/ { inside = 1; next } /^## / { inside = 0 }
        inside && match($0, /[0-9]+\/[0-9]+ tests passed/) { split(substr($0, RSTART, RLENGTH), n, /[\/ ]/); print n[2] }' "$record")
    for count in $counts; do
        [ "$count" = "$2" ] && continue
        echo "${record#"$1"/} counts $count desktop and fault tests where there are $2: run the CI and record it again"
        status=1
    done
done
exit "$status"
