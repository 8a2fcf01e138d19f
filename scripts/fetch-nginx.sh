#!/usr/bin/env bash
# Fetches the pristine nginx release tarball from Debian's source archive, checks
# its checksum and unpacks it under build/.  Usage: fetch-nginx.sh VERSION BUILD_DIR
#
# The machine's apt configuration only lists binary suites, so a private apt
# configuration is used whose deb-src line reuses the mirror already configured
# on this machine (scripts/debian-mirror.sh): no host name lives in this
# repository.
set -euo pipefail

version=${1:?nginx version}
build=${2:?build directory}

# version -> Debian package version, suite, sha256 of nginx_<version>.orig.tar.gz
# (the Checksums-Sha256 entries of those source packages, as in their .dsc)
case "$version" in
  1.18.0) debver=1.18.0-6.1+deb11u3; suite=bullseye
          sum=4c373e7ab5bf91d34a4f11a0c9496561061ba5eee6020db272a17a7228d35f99 ;;
  1.22.1) debver=1.22.1-9+deb12u9; suite=bookworm
          sum=9ebb333a9e82b952acd3e2b4aeb1d4ff6406f72491bab6cd9fe69f0dea737f31 ;;
  1.26.3) debver=1.26.3-3+deb13u10; suite=trixie
          sum=69ee2b237744036e61d24b836668aad3040dda461fe6f570f1787eab570c75aa ;;
  *) echo "fetch-nginx: no source known for nginx $version" >&2; exit 1 ;;
esac

mkdir -p "$build"
build=$(cd "$build" && pwd)
tarball="$build/nginx_$version.orig.tar.gz"
srcdir="$build/nginx-$version-src"

# auto/configure is not an nginx file: it marks sources that were unpacked
# whole (the Makefile's rules depend on it)
if [ -f "$srcdir/auto/configure" ]; then
  exit 0
fi

check() { echo "$sum  $1" | sha256sum -c --status; }

if [ ! -f "$tarball" ] || ! check "$tarball"; then
  rm -f "$tarball"
  mirror=$(bash "$(dirname "$0")/debian-mirror.sh")

  apt_dir="$build/apt-$suite"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/dl"
  echo "deb-src [trusted=yes] $mirror $suite main" > "$apt_dir/sources.list"
  opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt_dir/lists" -o APT::Sandbox::User=root
        -o Acquire::Check-Valid-Until=false)
  echo "fetch-nginx: downloading nginx $debver sources ($suite)"
  apt-get "${opts[@]}" -qq update
  # Only the release tarball: it is all the build uses.  A stable suite replaces
  # its Debian revision with every update while the tarball stays the same, so
  # when the pinned revision has gone the suite's current one is taken; the
  # checksum below decides either way.
  carried=$(apt-cache "${opts[@]}" showsrc nginx 2>/dev/null | awk '/^Version:/ {print $2}')
  if ! grep -qFx "$debver" <<< "$carried"; then
    debver=$(head -n 1 <<< "$carried")
    [ -n "$debver" ] || { echo "fetch-nginx: no nginx sources in $suite" >&2; exit 1; }
    echo "fetch-nginx: $suite now carries nginx $debver; taking its release tarball"
  fi
  (cd "$apt_dir/dl" && apt-get "${opts[@]}" -qq source --download-only --tar-only "nginx=$debver")
  [ -f "$apt_dir/dl/nginx_$version.orig.tar.gz" ] \
    || { echo "fetch-nginx: nginx $debver in $suite is not nginx $version" >&2; exit 1; }
  cp "$apt_dir/dl/nginx_$version.orig.tar.gz" "$tarball"
  rm -rf "$apt_dir/dl"
fi

if ! check "$tarball"; then
  echo "fetch-nginx: checksum mismatch for $tarball" >&2
  rm -f "$tarball"
  exit 1
fi

rm -rf "$srcdir.tmp" "$srcdir"
mkdir -p "$srcdir.tmp"
tar -xzf "$tarball" -C "$srcdir.tmp" --strip-components=1
touch "$srcdir.tmp/auto/configure"
mv "$srcdir.tmp" "$srcdir"
echo "fetch-nginx: nginx $version sources in $srcdir"
