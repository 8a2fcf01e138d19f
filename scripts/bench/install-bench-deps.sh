#!/usr/bin/env bash
# The Debian packages the benchmark and the soak need besides the build's:
# wrk (the load generator), gnuplot-nox (the chart) and util-linux (taskset).
# Kept out of the build's own list because building and testing never need them.
set -euo pipefail
exec bash "$(dirname "$0")/../install-deps.sh" wrk gnuplot-nox util-linux
