#!/usr/bin/env bash
# The packages of `make deb` on this machine's own nginx: installs them with
# apt, checks that the module is enabled and that `nginx -t` passes, takes a
# visitor through the installed nginx and module (the journey of
# scripts/debian-nginx-check.sh), removes the module's package (nginx's
# configuration must still test good), purges it (nothing of it left) and
# leaves the machine's nginx configuration as it found it.  Root only; starts
# no service (policy-rc.d says "not now" to the package's reload trigger).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deb="$top/build/deb"
pkgs=(libnginx-mod-http-vantorell vantorell-check)
so=/usr/lib/nginx/modules/ngx_http_vantorell_module.so
enabled=/etc/nginx/modules-enabled/50-mod-http-vantorell.conf
available=/usr/share/nginx/modules-available/mod-http-vantorell.conf
say() { echo "deb-check: $*"; }
fail() { say "FAIL: $*" >&2; exit 1; }
# installed, or removed with its configuration left
present() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qv '^not-installed$'; }

[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and removes packages"
for p in "${pkgs[@]}"; do
  if present "$p"; then
    fail "$p is already installed here; this check would change what the operator has"
  fi
done
module_deb=$(ls "$deb"/libnginx-mod-http-vantorell_*.deb 2>/dev/null | head -n 1)
tool_deb=$(ls "$deb"/vantorell-check_*.deb 2>/dev/null | head -n 1)
[ -n "$module_deb" ] && [ -n "$tool_deb" ] || fail "no packages in $deb: run make deb first"

# what nginx's configuration looks like now, to compare at the end
snapshot() { find /etc/nginx -printf '%p %y %m %l\n' | sort; }
before=$(snapshot)

policy=
cleanup() {
  # a failed step must not leave the packages behind
  for p in "${pkgs[@]}"; do
    if present "$p"; then
      dpkg --purge "$p" > /dev/null 2>&1 || true
    fi
  done
  [ -z "$policy" ] || rm -f "$policy"
}
trap cleanup EXIT
if [ ! -e /usr/sbin/policy-rc.d ]; then
  policy=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\n# deb-check: no service starts or reloads while packages change\nexit 101\n' > "$policy"
  chmod 755 "$policy"
fi
export DEBIAN_FRONTEND=noninteractive

say "installing $(basename "$module_deb") and $(basename "$tool_deb")"
apt-get install -y -qq --no-install-recommends "$module_deb" "$tool_deb" > "$deb/check-install.log" 2>&1 \
  || { tail -n 30 "$deb/check-install.log"; fail "apt-get install"; }

[ -f "$so" ] || fail "$so is missing"
[ "$(readlink "$enabled")" = "$available" ] || fail "$enabled does not link to $available"
nginx -t -q || fail "nginx -t with the module enabled"
nginx -T 2>/dev/null | grep -q '^load_module modules/ngx_http_vantorell_module.so;' \
  || fail "nginx -T does not show the module's load_module"
vantorell-check --help > /dev/null 2>&1 || vantorell-check 2>&1 | grep -q 'vantorell-check' \
  || fail "vantorell-check does not run"
man -w vantorell-check > /dev/null || fail "no manual page for vantorell-check"

say "a visitor through /usr/sbin/nginx and the installed module"
(cd "$top" && VANTORELL_NGINX=/usr/sbin/nginx VANTORELL_MODULE="$so" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration/test_outcome.py::test_a_visitors_journey) \
  || fail "the visitor's journey"

say "removing the module's package"
apt-get remove -y -qq "${pkgs[@]}" > "$deb/check-remove.log" 2>&1 \
  || { tail -n 30 "$deb/check-remove.log"; fail "apt-get remove"; }
[ ! -e "$so" ] || fail "$so is still there after remove"
nginx -t -q || fail "nginx -t after the module's package was removed"

say "purging"
# apt knows a package of a local file only while it is installed: dpkg purges
dpkg --purge "${pkgs[@]}" > "$deb/check-purge.log" 2>&1 \
  || { tail -n 30 "$deb/check-purge.log"; fail "dpkg --purge"; }
for p in "${pkgs[@]}"; do ! present "$p" || fail "$p is still known to dpkg after purge"; done
left=$(find /etc/nginx /usr/lib/nginx /usr/share/nginx /usr/bin /usr/share/man/man1 \
         /usr/share/doc \( -name '*vantorell*' \) -print 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
[ "$(snapshot)" = "$before" ] || { diff <(echo "$before") <(snapshot) >&2 || true; fail "/etc/nginx differs from before"; }
say "ok"
