#!/usr/bin/env bash
# The Debian packages for another Debian release than this machine's, built
# and tried inside roots of that release:
#
#   deb-root.sh build RELEASE   scripts/deb-build.sh in RELEASE's build root:
#                               the packages, lintian-clean, in build/deb/RELEASE/
#   deb-root.sh check RELEASE   scripts/deb-check.sh in RELEASE's check root,
#                               on the packages in build/deb/RELEASE/
#
# mmdebstrap makes the roots from Debian's archive, through the mirror this
# machine's apt sources name, under build/roots/; a root is made once and
# reused until its recipe (the mmdebstrap arguments, and with them the
# Build-Depends of debian/control) changes.  There are two per release, since
# nginx-dev depends on nginx itself: a build root always holds an nginx, and
# the check needs a machine that has none yet, as an operator's may, so that
# apt pulls in the release's nginx for the module and the purge is seen to
# leave that machine as it was.
#   RELEASE-build  the buildd variant, lintian and the Build-Depends
#   RELEASE-check  a minbase Debian with what deb-check.sh runs (python3 and
#                  pytest for the integration harness, curl, procps, man-db)
#                  and the release's nginx in apt's cache, downloaded with its
#                  package lists when the root was made, so that the check
#                  needs no network and installs what the root was made with
#
# Each run copies the tree (less build/ and .git) into the root's /vantorell,
# runs there the same script that `make deb` or `make deb-check` runs on this
# machine, copies the results to build/deb/RELEASE/ and removes the copy.
# Nothing of this machine is mounted into a root: only a /proc of its own,
# unmounted on the way out whatever happens.  Root only (mmdebstrap in root
# mode, mount, chroot).
set -euo pipefail

action=${1:-}
release=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)
roots="$top/build/roots"
out="$top/build/deb/$release"
say() { echo "deb-root: $*"; }
fail() { say "$*" >&2; exit 1; }

case "$action" in build|check) ;; *) fail "usage: $0 build|check RELEASE" ;; esac
case "$release" in ''|*[!a-z]*) fail "not a Debian release's name: \"$release\"" ;; esac
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes and enters roots with mmdebstrap, mount and chroot"

mkdir -p "$roots"
# one run at a time per release: a check installs into the root it uses
exec 9> "$roots/$release.lock"
flock 9

# everything mounted at or below a folder, deepest first
unmount_below() {
  local m
  awk -v d="$1" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r m; do umount "$m" 2> /dev/null || umount -l "$m"; done
}

# a root or what is left of one, never through something mounted in it
remove_root() {
  [ -e "$1" ] || return 0
  unmount_below "$1"
  rm -rf --one-file-system "$1"
}

# ---- the roots ---------------------------------------------------------------

mirror=$(bash "$top/scripts/debian-mirror.sh")
security=$(bash "$top/scripts/debian-mirror.sh" security 2> /dev/null || true)
sources=("deb $mirror $release main" "deb $mirror $release-updates main")
[ -z "$security" ] || sources+=("deb $security $release-security main")

# mmdebstrap's arguments for a root of the kind given, less its target, in
# the array args
recipe() {
  # apt without recommends, also for what deb-check.sh installs later
  args=(--mode=root --aptopt='APT::Install-Recommends "false"')
  case "$1" in
    build)
      local depends
      depends=$(awk '/^Build-Depends:/ { f = 1; sub(/^Build-Depends:/, ""); print; next }
                     f && /^[ \t]/ { print; next } { f = 0 }' "$top/debian/control" |
                 tr -s ' \t\n' ' ' | sed 's/^ //; s/ $//')
      [ -n "$depends" ] || fail "no Build-Depends in debian/control"
      # documentation of the tools is never read in this root
      args+=(--variant=buildd --include=lintian
             --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*'
             --dpkgopt='path-exclude=/usr/share/locale/*'
             "--customize-hook=chroot \"\$1\" apt-get satisfy -y -q '$depends'") ;;
    check)
      args+=(--variant=minbase --include=python3,python3-pytest,curl,procps,man-db
             --customize-hook='chroot "$1" apt-get clean'
             --customize-hook='chroot "$1" apt-get install -y -q --download-only nginx'
             --skip=cleanup/apt) ;;
  esac
  # dpkg without fsync while the root is made, the hooks above included: the
  # hooks of this folder come after them and take it away at the end
  args+=(--hook-dir=/usr/share/mmdebstrap/hooks/eatmydata)
}

# A check root is made again when a check stopped before it could purge
# (killed): an nginx already there would not be pulled in, and the packages
# themselves make deb-check.sh refuse to run.
untouched() {
  local p
  [ "$1" = check ] || return 0
  for p in nginx libnginx-mod-http-vantorell vantorell-check; do
    if chroot "$root" dpkg-query -W -f='${db:Status-Status}' "$p" 2> /dev/null | grep -qv '^not-installed$'; then
      say "build/roots/$release-check holds $p from a check that did not finish"
      return 1
    fi
  done
}

# makes the root of the kind given unless it is there with the same recipe;
# sets root
root=
ensure_root() {
  local kind=$1 want start
  root="$roots/$release-$kind"
  recipe "$kind"
  want=$(printf '%s\n' "${args[@]}" "$release" "${sources[@]}")
  if [ -d "$root" ] && [ "$(cat "$root.recipe" 2> /dev/null)" = "$want" ] && untouched "$kind"; then
    say "reusing build/roots/$release-$kind"
    return 0
  fi
  rm -f "$root.recipe"
  remove_root "$root"
  remove_root "$root.new"
  say "making build/roots/$release-$kind with mmdebstrap (log: build/roots/$release-$kind.log)"
  start=$SECONDS
  mmdebstrap "${args[@]}" "$release" "$root.new" "${sources[@]}" > "$root.log" 2>&1 \
    || { tail -n 30 "$root.log"; remove_root "$root.new"; fail "mmdebstrap failed; the whole log is $root.log"; }
  mv "$root.new" "$root"
  printf '%s\n' "$want" > "$root.recipe"
  say "made build/roots/$release-$kind in $((SECONDS - start)) s"
}

# ---- a run inside a root -----------------------------------------------------

inside=
cleanup() {
  [ -n "$root" ] || return 0
  unmount_below "$root"
  [ -z "$inside" ] || rm -rf --one-file-system "$inside"
}
trap cleanup EXIT

# the tree as it is now (uncommitted changes included) into the root
copy_tree_in() {
  inside="$root/vantorell"
  rm -rf --one-file-system "$inside"
  mkdir -p "$inside/build/deb"
  tar -C "$top" --exclude=./build --exclude=./.git --exclude=__pycache__ \
      --exclude=.pytest_cache -cf - . | tar -C "$inside" -xf -
}

# runs a command in the root, with a clean environment, from /vantorell
run_inside() {
  mount -t proc proc "$root/proc"
  local status=0
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    sh -c 'cd /vantorell && exec "$@"' sh "$@" || status=$?
  umount "$root/proc"
  return $status
}

# the files a script left in the copy's build/deb/, to build/deb/RELEASE/
collect() {
  mkdir -p "$out"
  find "$inside/build/deb" -maxdepth 1 -type f -exec cp -t "$out" {} +
}

case "$action" in
  build)
    ensure_root build
    copy_tree_in
    # deb-build.sh takes nginx's release tarball from build/, as fetched and
    # checksum-checked here, so the root needs no network for it
    nginx_version=$(chroot "$root" dpkg-query -W -f='${Version}' nginx-dev | sed 's/-[^-]*$//; s/^[0-9]*://')
    bash "$top/scripts/fetch-nginx.sh" "$nginx_version" "$top/build"
    cp "$top/build/nginx_$nginx_version.orig.tar.gz" "$inside/build/"
    rm -rf "$out"
    start=$SECONDS
    status=0
    run_inside bash scripts/deb-build.sh || status=$?
    collect
    [ "$status" -eq 0 ] || fail "the build in build/roots/$release-build failed; its log is build/deb/$release/build.log"
    say "built in build/roots/$release-build in $((SECONDS - start)) s:"
    ls -1 "$out"/*.deb
    ;;
  check)
    ls "$out"/libnginx-mod-http-vantorell_*.deb "$out"/vantorell-check_*.deb > /dev/null 2>&1 \
      || fail "no packages in build/deb/$release: run make deb DEBIAN_RELEASE=$release first"
    ensure_root check
    copy_tree_in
    cp "$out"/*.deb "$inside/build/deb/"
    start=$SECONDS
    status=0
    run_inside bash scripts/deb-check.sh || status=$?
    find "$inside/build/deb" -maxdepth 1 -type f -name 'check-*.log' -exec cp -t "$out" {} +
    [ "$status" -eq 0 ] || fail "the check in build/roots/$release-check failed (logs: build/deb/$release/check-*.log)"
    say "checked in build/roots/$release-check in $((SECONDS - start)) s"
    ;;
esac
