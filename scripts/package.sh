#!/usr/bin/env bash
# Builds dist/zel-wireless-server_<version>_amd64.deb with the Debian tools
# (dpkg-buildpackage, debhelper), offline, from the files git tracks as they
# are in the working tree, in build-deb/. The package build does not run the
# tests (nocheck): scripts/test.sh does.
#
#   scripts/package.sh               build the package
#   scripts/package.sh --check       build it twice, in two folders, compare the
#                                    two packages byte for byte, then check it
#   scripts/package.sh --check-once  build it once and check it (scripts/test.sh)
#
# The checks: lintian without errors or warnings; the desktop entry and the
# AppStream metadata valid; the service unit verified; unpacked into a
# temporary root, the installed programs print the version, serve a zel-pda
# count from a SQLite data source with the unit's command line, and with a
# display and no configuration file create it under XDG_CONFIG_HOME and open
# the window. As root with CI=true (a disposable machine), also: apt-get
# install, the installed unit verified, and apt-get purge leaving nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/package-checks.sh

mode=build
case "${1:-}" in
  "") ;;
  --check) mode=check ;;
  --check-once) mode=check-once ;;
  *) echo "usage: scripts/package.sh [--check | --check-once]" >&2; exit 2 ;;
esac

scripts/setup.sh

# One version number: CMakeLists.txt's. The changelog and the metainfo's
# newest release must name it.
version=$(sed -n 's/^project(ZelWireless VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog_version=$(dpkg-parsechangelog -S Version)
release_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' packaging/*.metainfo.xml | head -n 1)
if [ "$changelog_version" != "$version" ] || [ "$release_version" != "$version" ]; then
  echo "package: the project is at $version, debian/changelog at $changelog_version and the metainfo's" \
    "newest release at $release_version: add an entry to both" >&2
  exit 1
fi
deb=zel-wireless-server_${version}_amd64.deb

# A compiler cache, when there is one, only saves time: the objects are the same.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # debhelper gives the build a HOME of its own: the cache stays where it was.
  export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
fi

# build-deb/NAME/zel-wireless-server-<version>: a fresh copy of the tracked files.
build() {
  local top=$PWD/build-deb/$1 started=$SECONDS
  local source=$top/zel-wireless-server-$version
  rm -rf "$top"
  mkdir -p "$source"
  git ls-files -z | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null --no-recursion -T - -cf - | tar -xf - -C "$source"
  (cd "$source" && DEB_BUILD_OPTIONS="nocheck noautodbgsym" dpkg-buildpackage -us -uc -b) >"$top/build.log" 2>&1 || {
    tail -n 50 "$top/build.log" >&2
    echo "package: the build in $top failed (log: $top/build.log)" >&2
    return 1
  }
  echo "package: built $top/$deb in $((SECONDS - started)) s"
}

build a
mkdir -p dist
rm -f dist/zel-wireless-server_*
cp build-deb/a/zel-wireless-server_"${version}"_amd64.{deb,buildinfo,changes} dist/

if [ "$mode" = check ]; then
  build b
  if ! cmp build-deb/a/"$deb" build-deb/b/"$deb"; then
    echo "package: two builds of the same files differ" >&2
    exit 1
  fi
  echo "package: two builds are byte-identical"
fi
if [ "$mode" != build ]; then
  check_package dist/"$deb" dist/zel-wireless-server_"${version}"_amd64.changes "$version"
fi
echo "package: dist/$deb"
