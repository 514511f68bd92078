#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless debian/changelog and the latest release of the metainfo carry
# the version that project() in CMakeLists.txt decides, and unless that release
# is dated the day of the changelog's latest entry.
#
#   version_test.sh SOURCE_DIR VERSION
set -eu
source_dir=$1
version=$2

changelog=$(sed -n '1s/^tarvik (\([^)]*\)).*/\1/p' "$source_dir/debian/changelog")
changelog_upstream=${changelog#*:}  # without an epoch
changelog_upstream=${changelog_upstream%-*}  # without a Debian revision
stamp=$(sed -n 's/^ -- .*>  //p' "$source_dir/debian/changelog" | head -n 1)
changelog_day=$(date -u -d "$stamp" +%F 2>/dev/null || echo "no date")

release=$(grep -o '<release [^>]*>' "$source_dir/data/tarvik.metainfo.xml" | head -n 1)
release_version=$(echo "$release" | sed -n 's/.* version="\([^"]*\)".*/\1/p')
release_day=$(echo "$release" | sed -n 's/.* date="\([^"]*\)".*/\1/p')

status=0
if [ "$changelog_upstream" != "$version" ]; then
    echo "debian/changelog says $changelog, but CMakeLists.txt says $version"
    status=1
fi
if [ "$release_version" != "$version" ]; then
    echo "the metainfo's latest release is '$release_version', but CMakeLists.txt says $version"
    status=1
fi
if [ "$release_day" != "$changelog_day" ]; then
    echo "the metainfo's latest release is dated '$release_day', the changelog's entry $changelog_day"
    status=1
fi
[ $status -ne 0 ] || echo "version $version in CMakeLists.txt, debian/changelog and the metainfo, of $release_day"
exit $status
