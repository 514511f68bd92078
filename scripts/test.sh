#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs everything the tests need, prints the tools' versions as a "note:"
# line (CI's report shows it), then builds and runs the whole suite twice: in
# build-test/ every layer (unit, desktop, faults, static, memcheck, bench), and
# in build-sanitize/, built with AddressSanitizer and UndefinedBehaviorSanitizer,
# the layers that run the program's code (unit, desktop, faults). Both builds
# treat warnings as errors and insist on every layer, so that none is left out
# unnoticed. ctest's results stay in each as ctest.xml (JUnit).
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_groups build play virtual-desktop tests static memcheck
echo "note: g++ $(g++ -dumpfullversion), clang $(clang -dumpversion), $(cppcheck --version), reuse $(reuse --version | head -n 1 | grep -o "[0-9.]*$"), CMake $(cmake --version | head -n 1 | grep -o "[0-9.]*$"), Mesa $(dpkg-query -W -f '${Version}' libgl1-mesa-dri)"

strict=(-DTARVIK_REQUIRE_ALL_TESTS=ON -DTARVIK_WARNINGS_AS_ERRORS=ON)
build_project "$project_dir/build-test" -DCMAKE_BUILD_TYPE=Release "${strict[@]}"
(cd "$project_dir/build-test" && ctest --output-on-failure --output-junit ctest.xml --parallel "$(nproc)")

build_project "$project_dir/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE=ON "${strict[@]}"
(cd "$project_dir/build-sanitize" && ctest --output-on-failure --output-junit ctest.xml --parallel "$(nproc)" -L "unit|desktop|faults")
