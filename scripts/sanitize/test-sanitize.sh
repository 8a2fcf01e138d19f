#!/usr/bin/env bash
# Builds nginx 1.18.0 and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/sanitize-1.18.0/, proves that the
# module is instrumented and that this nginx loads it, then runs the whole
# integration suite against it with every sanitizer stopping at its first
# report.  Usage: test-sanitize.sh [pytest arguments]
#
# nginx sends its workers' stderr, and so every sanitizer report, to the error
# log; the suite's health check fails on a report there (tests/integration).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
version=1.18.0
build="$top/build"
dir="$build/sanitize-$version"
src="$dir/src"
objs="$dir/objs"
prefix="$dir/nginx"
nginx="$prefix/sbin/nginx"
module="$prefix/modules/ngx_http_vantorell_module.so"

# -DNGX_DEBUG_PALLOC=1: every pool allocation becomes a heap block of its own,
#   so the sanitizer sees an overrun of a request-pool text, not just of the
#   pool's 4 KiB block; ngx_pfree then really frees, and a later use is caught.
# -DNGX_HAVE_NONALIGNED=0: nginx's request parser compares methods through
#   unaligned 32-bit loads on x86, a deliberate choice that the alignment check
#   would stop at; nginx has a portable path for the same comparisons, and this
#   keeps the alignment check on for the module.
# -D_GLIBCXX_ASSERTIONS: bounds checks in the standard containers the module's
#   cache uses.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fsanitize-recover=nonnull-attribute -fno-omit-frame-pointer"
args_file="$top/scripts/nginx-configure-args"
args=$(grep -v -e '^#' -e '^--with-cc-opt=' "$args_file")
cc_opt="$(sed -n 's/^--with-cc-opt=//p' "$args_file") -g -O1 $sanitize -DNGX_DEBUG_PALLOC=1 -DNGX_HAVE_NONALIGNED=0 -D_GLIBCXX_ASSERTIONS"
ld_opt="$sanitize"

# ---- sources: a copy of their own, so that configuring here never touches the
# tree the ordinary build configures
bash "$top/scripts/fetch-nginx.sh" "$version" "$build"
if [ ! -f "$src/configure" ]; then
  rm -rf "$src.tmp" && mkdir -p "$src.tmp"
  tar -xzf "$build/nginx_$version.orig.tar.gz" -C "$src.tmp" --strip-components=1
  mv "$src.tmp" "$src"
fi

# ---- configure when the flags, the module's build script or its files changed
stamp="$objs/.configured-with"
files=$(cd "$top/module" && ls */*.cpp */*.h | sha256sum | awk '{print $1}')
want="$cc_opt | $ld_opt | $args | $(sha256sum "$top/module/config" | awk '{print $1}') | $files"
if [ ! -f "$objs/Makefile" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "test-sanitize: configuring nginx $version with the sanitizers"
  rm -rf "$objs"
  (cd "$src" && ./configure --prefix="$prefix" --builddir="$objs" $args \
      --add-dynamic-module="$top/module" --with-cc-opt="$cc_opt" --with-ld-opt="$ld_opt" \
      > "$dir/configure.log" 2>&1) || { tail -n 30 "$dir/configure.log"; exit 1; }
  printf '%s' "$want" > "$stamp"
fi

# ---- build (incremental: nginx's makefile knows the module's sources)
echo "test-sanitize: building"
make -C "$src" -f "$objs/Makefile" -j2 binary modules > "$dir/make.log" 2>&1 \
  || { tail -n 40 "$dir/make.log"; exit 1; }
make -C "$src" -f "$objs/Makefile" install > /dev/null

# Stop at the first report of any sanitizer, and abort so that a worker's
# death also shows as "exited on signal" in the error log.  Leaks: see
# lsan.supp for why the few allocations it names are nginx's, not the module's.
export ASAN_OPTIONS="suppressions=$top/scripts/sanitize/asan.supp:halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$top/scripts/sanitize/ubsan.supp"
export LSAN_OPTIONS="suppressions=$top/scripts/sanitize/lsan.supp:print_suppressions=0"

# ---- the build is what it claims to be
for f in "$nginx" "$module"; do
  imports=$(nm -D --undefined-only "$f")
  for sym in __asan_report_load __ubsan_handle_; do
    grep -q "$sym" <<< "$imports" \
      || { echo "test-sanitize: $f is not instrumented ($sym... missing)" >&2; exit 1; }
  done
done
check="$dir/load-check"
rm -rf "$check" && mkdir -p "$check/logs"
cat > "$check/nginx.conf" <<CONF
load_module $module;
error_log $check/error.log;
pid $check/nginx.pid;
events {}
http { server { listen 127.0.0.1:1; vantorell_module on; } }
CONF
"$nginx" -t -p "$check" -c "$check/nginx.conf" 2> "$check/t.log" \
  || { cat "$check/t.log"; echo "test-sanitize: nginx does not load the module" >&2; exit 1; }
echo "test-sanitize: $(basename "$module") instrumented and loaded by $("$nginx" -v 2>&1)"

# ---- the suite
export VANTORELL_NGINX="$nginx" VANTORELL_MODULE="$module"
cd "$top"
echo "test-sanitize: integration tests against the sanitized build"
/usr/bin/python3 -m pytest -q -n auto tests/integration "$@"
