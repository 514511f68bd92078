#!/usr/bin/env bash
# Installs what the project needs, builds it with its tests and runs them all:
# the static checks, the call-by-call unit tests, the end-to-end tests on a
# virtual desktop and the Debian package's test (as root); then the unit and
# end-to-end tests once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; last, a run of the game under valgrind and the
# benchmark in its short mode.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages

build_project "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=ON
(cd "$build_dir" && ctest --output-on-failure --parallel "$(nproc)")

sanitize_dir="$project_dir/build-sanitize"
build_project "$sanitize_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE=ON
(cd "$sanitize_dir" && ctest --output-on-failure --parallel "$(nproc)" --label-exclude "static|package")

# The game under valgrind's memcheck, in the first build.
"$project_dir/scripts/valgrind.sh"

# The benchmark in its short mode, only to prove that it runs.
"$project_dir/scripts/bench.sh" --short
