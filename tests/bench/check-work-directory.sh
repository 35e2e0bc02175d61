#!/usr/bin/env bash
# A benchmark whose work directory cannot be made stops with an error and leaves the directory it
# was started in alone: without a work directory its paths are empty, and an empty path is the
# working directory, which a benchmark's clean-up would remove whole.
# usage: check-work-directory.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check-work-directory.sh BUILD_DIR}
benches=(bench_signatures bench_scan bench_jobs bench_isolate bench_engines)
cmake --build "$build" --target "${benches[@]}" >/dev/null

here=$(mktemp -d)
trap 'rm -rf "$here"' EXIT
touch "$here/keep" "$here/not-a-directory"
cd "$here"
failed=0
for bench in "${benches[@]}"; do
    status=0
    timeout 60 "$build/bin/$bench" "$here/not-a-directory/work" >"$here/$bench.log" 2>&1 ||
        status=$?
    if [ ! -e "$here/keep" ]; then
        echo "FAIL: $bench removed the directory it was started in"
        exit 1
    fi
    if [ "$status" -ne 1 ] || ! grep -q "cannot make a work directory" "$here/$bench.log"; then
        echo "FAIL: $bench went on without a work directory (status $status)"
        failed=1
    fi
done
exit "$failed"
