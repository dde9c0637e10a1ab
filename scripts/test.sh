#!/usr/bin/env bash
# Builds everything and runs every test: host, sanitizers, the PowerPC target
# under qemu, the system tests in the sandbox, the switch's build after a real kernel
# (the e500 target), and a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

echo "== format"
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
clang-format --dry-run -Werror $files

echo "== host build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== AddressSanitizer + UBSan build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBOOTMGR_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$JOBS" --target crypto_tests oracle_tests unit_tests strict_unit_tests
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j"$JOBS"

echo "== PowerPC target build, toolkit and unit tests (default and strict) under qemu, a signed boot"
cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-ppc -j"$JOBS" --target crypto_tests unit_tests strict_unit_tests bootmgr \
      bootmgr-sim bootmgr-confirm
ctest --test-dir build-ppc --output-on-failure -j"$JOBS"
# switch-sim boot --target ppc runs build-ppc/bootmgr-sim (the host build's default path).
SWITCH_SIM="$PWD/build/switch-sim" BOOTMGR_BUILD_DIR="$PWD/build" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system/test_ppc_target.py

echo "== e500 target: the switch's build after a real Linux kernel under qemu-system-ppc"
bash scripts/target-e500.sh
SWITCH_SIM="$PWD/build/switch-sim" BOOTMGR_BUILD_DIR="$PWD/build" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system/test_e500_target.py

if [ "$FUZZ_SECONDS" -gt 0 ]; then
  echo "== fuzzing, $FUZZ_SECONDS s per target"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBOOTMGR_FUZZ=ON >/dev/null
  targets=$(cd fuzz && ls *.cpp 2>/dev/null | sed 's/\.cpp$//')
  for t in $targets; do cmake --build build-fuzz -j"$JOBS" --target "$t"; done
  for t in $targets; do
    echo "-- $t"
    mkdir -p "build-fuzz/corpus-$t"
    seeds=()
    [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
    "build-fuzz/$t" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 \
        "build-fuzz/corpus-$t" "${seeds[@]}" 2>&1 | tail -n 3
  done
fi
echo "== all tests passed"
