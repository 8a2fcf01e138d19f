#!/usr/bin/env bash
# Runs the fuzz targets one after the other, one process each: first every
# input under tests/fuzz/regressions/<target>/ once (past findings, which must
# stay fixed; a target without such a folder goes
# straight on), then the target for SECONDS from its seed corpus.
#
#   run.sh OUT_DIR SECONDS TARGET...
#
# OUT_DIR holds the binaries (fuzz_<target>), and receives what a run finds:
# new inputs in corpus/<target>/ (the seeds in the repository are only read),
# crashing inputs in artifacts/<target>/, the full output in <target>.log.
# Fails when any target fails; the others still run.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=$1
seconds=$2
shift 2

# the data_file target's private data files
export TMPDIR=$out/tmp
mkdir -p "$TMPDIR"

status=0
for target in "$@"; do
    bin=$out/fuzz_$target
    corpus=$out/corpus/$target
    artifacts=$out/artifacts/$target/
    log=$out/$target.log
    mkdir -p "$corpus" "$artifacts"

    # a pathological regular expression costs milliseconds under the step
    # bounds; seconds on one input is a finding
    options=(-artifact_prefix="$artifacts" -timeout=10)
    # data files long enough for URLs past the memo's longest; some sixty id
    # pairs say all the outcome texts can
    case $target in
        data_file) options+=(-max_len=8192 -dict="$here/data_file.dict") ;;
        outcome_text) options+=(-max_len=1024) ;;
        *) options+=(-max_len=4096) ;;
    esac

    regressions=()
    if [ -d "$here/regressions/$target" ]; then
        mapfile -t regressions < <(find "$here/regressions/$target" -type f | sort)
    fi
    if [ ${#regressions[@]} -gt 0 ]; then
        echo "== $target: ${#regressions[@]} past findings"
        if ! "$bin" "${options[@]}" "${regressions[@]}" > "$log" 2>&1; then
            tail -n 60 "$log"
            echo "== $target: a past finding fails again (log: $log)"
            status=1
            continue
        fi
    fi

    echo "== $target: fuzzing for ${seconds}s"
    if "$bin" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
            "$corpus" "$here/corpus/$target" > "$log" 2>&1; then
        # the last progress line (executions, coverage, speed) and the totals
        grep -E '^#[0-9]+' "$log" | tail -n 1
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb|new_units_added)' "$log"
    else
        tail -n 60 "$log"
        echo "== $target: FAILED; the input is in $artifacts (log: $log)"
        status=1
    fi
done
exit $status
