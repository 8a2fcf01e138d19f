#!/usr/bin/env bash
# Builds the module against an nginx source tree of the operator's own, for an
# nginx binary that was built from the same release (make NGINX_SRC=...).
#
#   build-for-nginx.sh SRC BUILD_DIR [NGINX_BIN]
#
# SRC is an unpacked nginx source tree: a release tarball (./configure) or an
# archive of nginx's source repository (auto/configure).  It is not written
# to: its files are copied to BUILD_DIR/custom-<version>-src, so a Makefile or
# objs/ of the operator's own there stay as they are.
#
# The configure arguments come from NGINX_BIN's `nginx -V`, less what names
# other folders or builds (--add-module, --add-dynamic-module, --builddir) and
# the modules built as modules of their own (--with-...=dynamic): those need
# libraries of their own and none of them enters the binary's signature.  The
# binary must have been configured --with-compat.  Without NGINX_BIN, the
# arguments are --with-compat and NGINX_CONFIGURE_ARGS (the "configure
# arguments:" text of `nginx -V` on the machine that runs nginx), quoted as
# nginx -V prints them.
#
# The result is BUILD_DIR/custom-<version>/ngx_http_vantorell_module.so; its
# path is printed last.  With NGINX_BIN, the script then compares the two
# module signatures and has that binary load the module (nginx -t).
set -euo pipefail

src=${1:?nginx source tree}
build=${2:?build directory}
nginx_bin=${3:-}
top=$(cd "$(dirname "$0")/.." && pwd)

# the Debian packages of a compiler and of the libraries that nginx's build and
# the module link; nginx before 1.21.5 knows only the first-generation PCRE
BUILD_PACKAGES="build-essential libjson-c-dev libpcre2-dev libssl-dev zlib1g-dev"

say() { echo "build-for-nginx: $*"; }
die() { echo "build-for-nginx: $*" >&2; exit 1; }

[ -d "$src" ] || die "$src is not a folder"
src=$(cd "$src" && pwd)
[ -f "$src/src/core/nginx.h" ] || die "$src holds no nginx sources (no src/core/nginx.h)"
if [ -f "$src/configure" ]; then
  configure=./configure
elif [ -f "$src/auto/configure" ]; then
  configure=auto/configure
else
  die "$src has neither ./configure nor auto/configure"
fi
version=$(sed -n 's/^#define NGINX_VERSION *"\([0-9.]*\)".*/\1/p' "$src/src/core/nginx.h")
[ -n "$version" ] || die "cannot tell the release of $src/src/core/nginx.h"

if [ "$(printf '%s\n' "$version" 1.21.5 | sort -V | head -n 1)" != 1.21.5 ]; then
  BUILD_PACKAGES="$BUILD_PACKAGES libpcre3-dev"
fi

# What the build needs.  Nothing is installed here: this runs on operators'
# machines, where apt is theirs to drive.
if command -v dpkg-query > /dev/null; then
  missing=()
  for p in $BUILD_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] || die "missing packages; install them first: apt-get install ${missing[*]}"
fi

# configure arguments, one per NUL-terminated item, from `nginx -V`'s text,
# where configure quoted the values that hold spaces (--with-cc-opt='-g -O2')
# as xargs reads them
filter_args() {
  local arg
  while IFS= read -r -d '' arg; do
    case "$arg" in
      *=dynamic|--add-module=*|--add-dynamic-module=*|--builddir=*) ;;
      *) printf '%s\0' "$arg" ;;
    esac
  done < <(xargs -r printf '%s\0')
}

if [ -n "$nginx_bin" ] && [ -n "${NGINX_CONFIGURE_ARGS:-}" ]; then
  die "give NGINX_BIN or NGINX_CONFIGURE_ARGS, not both"
fi
if [ -n "$nginx_bin" ]; then
  [ -x "$nginx_bin" ] || die "$nginx_bin is not an executable"
  said=$("$nginx_bin" -V 2>&1) || die "$nginx_bin -V failed: $said"
  bin_version=$(sed -n 's#^nginx version: [^/]*/\([0-9.]*\).*#\1#p' <<< "$said")
  if [ "$bin_version" != "$version" ]; then
    die "$nginx_bin is nginx $bin_version and $src holds nginx $version: nginx loads only a module built from its own release's sources"
  fi
  mapfile -d '' args < <(sed -n 's/^configure arguments://p' <<< "$said" | filter_args)
  if ! printf '%s\n' "${args[@]}" | grep -qx -- '--with-compat'; then
    die "$nginx_bin was not configured --with-compat: a module built apart from it would not be binary compatible (see docs/building.md)"
  fi
  say "nginx $version, configured as $nginx_bin was (nginx -V)"
else
  mapfile -d '' args < <(printf '%s' "${NGINX_CONFIGURE_ARGS:-}" | filter_args)
  if ! printf '%s\n' "${args[@]}" | grep -qx -- '--with-compat'; then
    args=(--with-compat "${args[@]}")
  fi
  say "nginx $version, configured with: ${args[*]@Q}"
  say "no NGINX_BIN: compare the module's signature with your binary's before loading it (docs/building.md)"
fi

work="$build/custom-$version-src"
objs="$build/custom-$version-objs"
out="$build/custom-$version"
mkdir -p "$build"

# a fresh copy every time: the operator's tree may have changed
rm -rf "$work" "$objs"
mkdir -p "$work"
tar -C "$src" --exclude=./objs --exclude=./Makefile -cf - . | tar -C "$work" -xf -

log="$build/custom-$version.log"
(cd "$work" && "$configure" "${args[@]}" --builddir="$objs" --add-dynamic-module="$top/module") \
  > "$log" 2>&1 || { tail -n 30 "$log" >&2; die "configure failed (all of it in $log)"; }
make -C "$work" -f "$objs/Makefile" -j2 modules >> "$log" 2>&1 \
  || { grep -E 'error|warning' "$log" | head -n 30 >&2; die "the build failed (all of it in $log)"; }

mkdir -p "$out"
install -m 644 "$objs/ngx_http_vantorell_module.so" "$out/ngx_http_vantorell_module.so"
module="$out/ngx_http_vantorell_module.so"

signature() { strings "$1" | grep -E '^[0-9]+,[0-9]+,[0-9]+,[01]+$' | head -n 1; }
say "module signature: $(signature "$module")"

if [ -n "$nginx_bin" ]; then
  bin_sig=$(signature "$nginx_bin")
  say "nginx signature:  $bin_sig"
  [ "$(signature "$module")" = "$bin_sig" ] \
    || die "the signatures differ: $nginx_bin would refuse the module as not binary compatible"

  # the binary loads the module: nginx -t on a configuration of its own in a
  # temporary prefix (-e, from 1.19.5, keeps nginx's default error log shut;
  # before, logs/ takes one relative to the prefix)
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  mkdir "$tmp/logs"
  printf 'load_module %s;\nerror_log %s/error.log;\npid %s/nginx.pid;\nevents {}\nhttp { vantorell_module off; }\n' \
    "$module" "$tmp" "$tmp" > "$tmp/nginx.conf"
  elog=()
  if "$nginx_bin" -h 2>&1 | grep -q -- ' -e '; then elog=(-e "$tmp/error.log"); fi
  "$nginx_bin" -t -q -p "$tmp" "${elog[@]}" -c "$tmp/nginx.conf" \
    || die "$nginx_bin -t did not load the module"
  say "$nginx_bin loads the module (nginx -t)"
fi

say "built $module"
