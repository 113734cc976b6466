#!/usr/bin/env bash
# Builds the engine fuzz target (tests/fuzz/fuzz_engine.cpp) with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, linking the
# engine sources directly, and runs it for a bounded time on the committed
# seed corpus.
#
#   tools/fuzz.sh [seconds]     default 60
#
# New inputs go to build/fuzz/corpus (the committed corpus is only read); a
# failing input is saved as build/fuzz/crash-* and the script exits non-zero.
# Replay one with: build/fuzz/fuzz_engine build/fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
OUT=${OUT:-build/fuzz}
JOBS=${JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null 2>&1 || ! clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /; then
  echo "fuzz: apt-get install clang"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang >/dev/null
fi

mkdir -p "$OUT/obj" "$OUT/corpus"
# The engine's own float flags, plus the sanitizers; UB is fatal.
common=(-std=c++20 -O2 -g -fno-omit-frame-pointer -Isrc
  -ffp-contract=off -fno-fast-math -fno-strict-aliasing
  -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)

# Every engine source (no Python), each ISA file with its own flags, as in
# CMakeLists.txt.
objects=()
pids=()
compile() {
  local src=$1; shift
  local obj="$OUT/obj/$(echo "$src" | tr / _).o"
  objects+=("$obj")
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find src -name '*.hpp' -o -name '*.inc' -newer "$obj" | head -1)" ]; then
    echo "clang++ $src"
    clang++ "${common[@]}" "$@" -c "$src" -o "$obj.tmp" && mv "$obj.tmp" "$obj" &
    pids+=($!)
    # At most $JOBS compilers at once.
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 0.2; done
  fi
}
for src in src/aligned/*.cpp src/ring/*.cpp src/resampler/*.cpp src/filter/*.cpp src/iir/*.cpp src/backend/*.cpp; do
  [ -f "$src" ] && compile "$src"
done
compile src/backend/x86/avx2.cpp -mavx2 -mfma
compile src/backend/x86/avx512.cpp -mavx512f -mfma
compile tests/fuzz/fuzz_engine.cpp
for pid in "${pids[@]}"; do wait "$pid"; done
clang++ -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$OUT/fuzz_engine"

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== fuzz_engine for ${SECONDS_TO_RUN}s"
# One process at a time (the machine is shared); inputs above 4 KiB are not
# needed to reach every path.
nice -n 10 "$OUT/fuzz_engine" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$OUT/" "$OUT/corpus" tests/fuzz/corpus
