#!/usr/bin/env bash
# Installs what the project needs, builds it and runs every test.
#   scripts/test.sh              build/ , the normal build
#   scripts/test.sh --sanitize   build-sanitize/ , AddressSanitizer + UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
# Warnings fail the build here, as in CI.
options=(-DZORVIK_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options+=(-DZORVIK_SANITIZE=ON -DZORVIK_BUILD_BENCH=OFF)
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
fi

bash scripts/install-deps.sh
# The sources follow .clang-format.
if [ -d .git ]; then
  git ls-files -z '*.cpp' '*.h' '*.h.in' | xargs -0 clang-format --dry-run --Werror
fi
cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
# Each program once more, its tests in a random order (the seed printed, to
# repeat a failure with --gtest_random_seed): no test may depend on what ran
# before it in the same process. A program that outlives ten minutes is ended
# and fails.
seed=$(( $(od -An -N2 -tu2 /dev/urandom) % 99999 + 1 ))
echo "Shuffled pass, seed $seed"
export seed
ls "$build"/bin/*_test | xargs -P "$(nproc)" -I{} bash -c \
  'out=$(timeout -k 10 600 "$1" --gtest_shuffle --gtest_random_seed="$seed" 2>&1) || { echo "$out"; echo "FAILED: $1 with seed $seed"; exit 1; }' _ {}
echo "Shuffled pass, seed $seed: every program passed"
