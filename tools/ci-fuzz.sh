#!/usr/bin/env bash
# The bounded fuzz run of CI: builds the libFuzzer targets with clang
# (AddressSanitizer and UndefinedBehaviorSanitizer, core built with the
# coverage hooks) and runs each for a fixed time on its seeds and saved
# crash inputs, with its dictionary. Any crash, sanitizer report, leak,
# broken check, slow input or runaway memory fails the run; the input that
# did it is kept in the run directory, ready to be named after its defect
# and added to fuzz/regressions/<target>/. New inputs the fuzzer finds go to
# the run directory too, never into the committed seeds.
#
#   tools/ci-fuzz.sh                          (45 s per target, two at a time)
#   OSTREL_FUZZ_SECONDS=1800 OSTREL_FUZZ_JOBS=3 tools/ci-fuzz.sh
#
# Needs clang++ with libFuzzer (Debian: clang, libclang-rt-14-dev) and cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${OSTREL_FUZZ_SECONDS:-45}
jobs=${OSTREL_FUZZ_JOBS:-2}
build=${OSTREL_FUZZ_BUILD_DIR:-build-fuzz}
run_dir=${OSTREL_FUZZ_RUN_DIR:-$build/fuzz-run}
# The targets, as fuzz/CMakeLists.txt lists them.
read -r -a targets < <(sed -n 's/^set(OSTREL_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
if ((${#targets[@]} == 0)); then
    echo "ERROR: no OSTREL_FUZZ_TARGETS in fuzz/CMakeLists.txt" >&2
    exit 1
fi

if ! command -v clang++ >/dev/null 2>&1; then
    echo "ERROR: clang++ not found; the fuzz targets need clang with libFuzzer" \
         "(Debian: clang, libclang-rt-14-dev)" >&2
    exit 1
fi

echo "== Build the fuzz targets ($build, clang++)"
# Static linking and the sanitizers' run-time do not go together.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOSTREL_FUZZ=ON -DOSTREL_TESTS=OFF -DOSTREL_STATIC=OFF -DOSTREL_WERROR=ON \
      -DOSTREL_REQUIRE_PNG=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

# The export reads texture files like the texture target does; the codec
# target starts from the PCX seeds (its settings bytes are then a header's).
seeds_of() {
    case "$1" in
        export) echo texture ;;
        codec) echo pcx ;;
        *) echo "$1" ;;
    esac
}

run_target() {
    local target=$1 seeds
    seeds=$(seeds_of "$target")
    local dir=$run_dir/$target
    rm -rf "$dir"
    mkdir -p "$dir/corpus"
    local inputs=("$dir/corpus" "fuzz/corpus/$seeds")
    if [ -d "fuzz/regressions/$target" ]; then inputs+=("fuzz/regressions/$target"); fi
    # The first directory receives what the fuzzer finds.
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -dict="fuzz/dict/$seeds.dict" -artifact_prefix="$dir/" -print_final_stats=1 \
        "${inputs[@]}" >"$dir/log" 2>&1
}

echo "== Fuzz each target for $seconds s ($jobs at a time); logs in $run_dir/<target>/log"
mkdir -p "$run_dir"
declare -A pid_of
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    run_target "$target" &
    pid_of[$target]=$!
done

failed=0
printf '%-10s %14s %8s %8s  %s\n' target executions cov ft result
for target in "${targets[@]}"; do
    result=ok
    wait "${pid_of[$target]}" || result=FAILED
    log=$run_dir/$target/log
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    status_line=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status_line")
    printf '%-10s %14s %8s %8s  %s\n' "$target" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$result"
    if [ "$result" != ok ]; then
        failed=1
        echo "---- $target: the end of its log ($log)" >&2
        tail -40 "$log" >&2
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "Fuzzing found a fault: see the logs and the crash-*/leak-*/timeout-*/oom-* files" \
         "in $run_dir" >&2
    exit 1
fi
echo "Fuzzing found nothing."
