#!/usr/bin/env bash
# Builds Quillfern's Debian package with Debian's own tools (dpkg-buildpackage and
# debhelper's CMake support, debian/) from a copy of the files git tracks, as a fresh
# clone has them, with what is changed in them and not yet committed. The package lands
# in the output folder: quillfern_VERSION_ARCH.deb, its debug symbols (quillfern-dbgsym), and the
# .buildinfo and .changes of the build.
#   scripts/deb.sh [OUTPUT_FOLDER]      (default build-deb)
set -euo pipefail

cd "$(dirname "$0")/.."
out=${1:-build-deb}
jobs=${JOBS:-$(nproc)}
version=$(dpkg-parsechangelog -S Version)
source_copy="$out/quillfern-$version"

mkdir -p "$out"
rm -rf "$source_copy" "$out"/quillfern_* "$out"/quillfern-dbgsym_*
mkdir -p "$source_copy"
# A tracked file deleted in this checkout is left out, as a commit would leave it out.
git ls-files -z | tar --null --files-from=- --ignore-failed-read --warning=no-failed-read -cf - |
  tar -xf - -C "$source_copy"

# debhelper gives the build a HOME of its own; the compiler cache stays the user's, so a
# second package build compiles almost nothing.
if command -v ccache > /dev/null; then
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
fi

# The tests run from the source tree (make test); the package build leaves them out.
(cd "$source_copy" &&
  DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b -J"$jobs")
rm -rf "$source_copy"
ls -l "$out"
