#!/usr/bin/env bash
# Builds the Debian packages into build/deb/ from a copy of the tree, so that
# the build leaves nothing in the source tree (debian/build, debian/tmp, the
# .debs dpkg-buildpackage writes next to the source folder), then runs
# lintian on them: an error or a warning fails the build.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build/deb"
say() { echo "deb-build: $*"; }

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
src="$out/src/vantorell-$version"

# this build's own results only: build/deb/<release>/ holds the packages
# that scripts/deb-root.sh built for other Debian releases
mkdir -p "$out"
find "$out" -maxdepth 1 -type f -delete
rm -rf "$out/src"
mkdir -p "$src"
# the tree as it is now (uncommitted changes included), less what is generated
tar -C "$top" --exclude=./build --exclude=./.git --exclude=__pycache__ \
    --exclude=.pytest_cache -cf - . | tar -C "$src" -xf -

# vantorell-check links nginx's objects, and nginx-dev has headers only: the
# release tarball of the nginx that nginx-dev is for, from the checksum-checked
# cache of scripts/fetch-nginx.sh
nginx_version=$(dpkg-query -W -f='${Version}' nginx-dev | sed 's/-[^-]*$//; s/^[0-9]*://')
bash "$top/scripts/fetch-nginx.sh" "$nginx_version" "$top/build"
cp "$top/build/nginx_$nginx_version.orig.tar.gz" "$src/debian/nginx-release.tar.gz"

say "building vantorell $version in $src"
(cd "$src" && dpkg-buildpackage -us -uc -b -j"$(nproc)") > "$out/build.log" 2>&1 \
  || { tail -n 40 "$out/build.log"; say "failed; the whole log is $out/build.log" >&2; exit 1; }

# dpkg-buildpackage writes its results next to the folder it built
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
rm -rf "$out/src"
say "built:"
ls -1 "$out"/*.deb

say "lintian"
lintian --fail-on error,warning --info --display-info "$out"/*.changes
