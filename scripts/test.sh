#!/usr/bin/env bash
# Installs what is missing, builds navmon and passes every test:
#   1. release build: unit tests and process tests (real mosquitto, real gpsd, navmon processes)
#   2. debug build under AddressSanitizer + UndefinedBehaviorSanitizer: unit tests
#   3. ThreadSanitizer build: every test again, navmon processes included
#   4. armhf cross build: unit and process tests under qemu-arm (servers stay native)
#   5. Debian packages for amd64 and armhf, checked (contents, Depends, unit, programs)
#   6. libFuzzer targets (clang), each for a short bounded run
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-15}

bash scripts/deps.sh test cross package

summary=()
passed=0
failed=0
run_ctest() {  # name, build dir, extra ctest args...
    local name=$1 dir=$2
    shift 2
    local log="$dir/ctest.log" rc=0
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 "$@" 2>&1 | tee "$log" || rc=1
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    local total=${line##* out of }
    local nfail
    nfail=$(echo "$line" | sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/')
    if [ -z "$line" ]; then rc=1; total=0; nfail=1; fi
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
    summary+=("$name: $line")
    return $rc
}

status=0

stage_start=$SECONDS
stage_done() {  # name: adds the seconds since the stage began to the summary
    summary+=("$1 stage: $((SECONDS - stage_start)) s")
    stage_start=$SECONDS
}

echo "== release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
run_ctest release build/release || status=1
stage_done release

echo "== ASan+UBSan build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DNAVMON_SANITIZE=ON -DNAVMON_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest asan build/asan -L unit || status=1
stage_done asan

echo "== ThreadSanitizer build"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVMON_TSAN=ON -DNAVMON_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$jobs"
# A report ends the process that made it, so a race in a navmon child fails its test too.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan build/tsan || status=1
stage_done tsan

echo "== armhf cross build under qemu-arm"
# The programs and the unit tests only: the benchmarks and fuzz targets are not built here.
cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVMON_BENCH=OFF >/dev/null
cmake --build build/armhf -j"$jobs" --target navmon sysdb nmea_replay \
    $(for f in tests/unit/*.cpp; do basename "$f" .cpp; done)
run_ctest armhf build/armhf -L 'unit|process' || status=1
stage_done armhf

echo "== Debian packages"
# nocheck: the stages above already ran the unit tests of both architectures from this source.
if DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh &&
    bash scripts/check_packages.sh | tee build/deb/check.log; then
    passed=$((passed + 1))
    summary+=("packages: ok, unit $(grep -o 'exposure [0-9.]*' build/deb/check.log)")
else
    failed=$((failed + 1))
    status=1
    summary+=("packages: FAILED")
fi
stage_done packages

if command -v clang++ >/dev/null 2>&1 && ls fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    echo "== fuzz targets (${fuzz_seconds}s each)"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVMON_FUZZ=ON \
        -DNAVMON_TESTS=OFF -DNAVMON_BENCH=OFF >/dev/null
    cmake --build build/fuzz -j"$jobs"
    for f in fuzz/fuzz_*.cpp; do
        name=$(basename "$f" .cpp)
        corpus="build/fuzz/corpus-$name"
        mkdir -p "$corpus"
        [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
        if "build/fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 \
            -print_final_stats=0 "$corpus" >"build/fuzz/$name.log" 2>&1; then
            passed=$((passed + 1))
            summary+=("fuzz $name: ok")
        else
            failed=$((failed + 1))
            status=1
            summary+=("fuzz $name: FAILED (see build/fuzz/$name.log)")
            tail -n 40 "build/fuzz/$name.log"
        fi
    done
    stage_done fuzz
fi

echo
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
exit $status
