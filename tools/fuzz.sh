#!/usr/bin/env bash
# Builds the engine fuzz target (tests/fuzz/fuzz_engine.cpp) with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, linking the
# engine sources directly, and runs it for a bounded time on the committed
# seed corpus.
#
#   tools/fuzz.sh [seconds]        default 60
#   COVERAGE=1 tools/fuzz.sh 0     no fuzzing; line coverage of src/ by the
#                                  corpus gathered so far (llvm-cov)
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

# The engine's own float flags, as in CMakeLists.txt.
base=(-std=c++20 -g -fno-omit-frame-pointer -Isrc -isystem third_party -ffp-contract=off -fno-fast-math -fno-strict-aliasing)

# build DIR BINARY COMPILE-FLAGS... -- LINK-FLAGS...: every engine source (no
# Python), each ISA file with its own flags, and the target, then the link.
build() {
  local dir=$1 binary=$2
  shift 2
  local cflags=() lflags=() objects=() pids=()
  while [ "$1" != -- ]; do cflags+=("$1"); shift; done
  shift
  lflags=("$@")
  mkdir -p "$dir"
  compile() {
    local src=$1; shift
    local obj="$dir/$(echo "$src" | tr / _).o"
    objects+=("$obj")
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find src -name '*.hpp' -newer "$obj" | head -1)" ]; then
      echo "clang++ $src"
      clang++ "${base[@]}" "${cflags[@]}" "$@" -c "$src" -o "$obj.tmp" && mv "$obj.tmp" "$obj" &
      pids+=($!)
      while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 0.2; done
    fi
  }
  for src in src/base/*.cpp src/aligned/*.cpp src/ring/*.cpp src/resampler/*.cpp src/filter/*.cpp src/iir/*.cpp src/backend/*.cpp; do
    [ -f "$src" ] && compile "$src"
  done
  # Each ISA unit with its own flags, as in CMakeLists.txt.
  for src in src/backend/x86/*.cpp; do
    case "$src" in
      *avx512*) compile "$src" -mavx512f -mfma ;;
      *avx2*) compile "$src" -mavx2 -mfma ;;
      *) echo "fuzz: no ISA flags known for $src" >&2; exit 1 ;;
    esac
  done
  compile tests/fuzz/fuzz_engine.cpp
  for pid in "${pids[@]}"; do wait "$pid"; done
  clang++ "${lflags[@]}" "${objects[@]}" -o "$binary"
}

mkdir -p "$OUT/corpus"
if [ "${COVERAGE:-0}" = 1 ]; then
  build "$OUT/cov-obj" "$OUT/fuzz_engine_cov" -O1 -fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping \
    -- -fsanitize=fuzzer -fprofile-instr-generate
  rm -f "$OUT"/cov-*.profraw
  LLVM_PROFILE_FILE="$OUT/cov-%p.profraw" "$OUT/fuzz_engine_cov" -runs=0 -max_len=4096 "$OUT/corpus" tests/fuzz/corpus \
    2>&1 | grep -E "INITED|DONE" || true
  llvm-profdata merge -sparse "$OUT"/cov-*.profraw -o "$OUT/fuzz.profdata"
  mapfile -t sources < <(find src -path src/python -prune -o \( -name '*.cpp' -o -name '*.hpp' \) -print | sort)
  llvm-cov report "$OUT/fuzz_engine_cov" -instr-profile="$OUT/fuzz.profdata" "${sources[@]}"
  [ "$SECONDS_TO_RUN" = 0 ] && exit 0
fi

build "$OUT/obj" "$OUT/fuzz_engine" -O2 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
  -- -fsanitize=fuzzer,address,undefined

# A smaller quarantine keeps the fuzzer's resident size well under its limit
# on long runs; use-after-free within the last 64 MB freed is still caught.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== fuzz_engine for ${SECONDS_TO_RUN}s"
# One process at a time (the machine is shared); inputs above 4 KiB are not
# needed to reach every path.
nice -n 10 "$OUT/fuzz_engine" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=30 -rss_limit_mb=3072 \
  -print_final_stats=1 -artifact_prefix="$OUT/" "$OUT/corpus" tests/fuzz/corpus
