#!/usr/bin/env bash
# Builds the C++ tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan) and runs the whole C++ suite and the
# whole Python suite under them. Any report fails the run: ASan stops at its
# first error, UBSan is built fatal (-fno-sanitize-recover=all).
#
#   tools/sanitize.sh           both suites
#   tools/sanitize.sh cpp       the C++ suite only
#   tools/sanitize.sh python    the Python suite only
#
# Extra arguments after the part go to pytest (e.g. `python -k extremes`).
set -euo pipefail
cd "$(dirname "$0")/.."
PART=${1:-all}
shift || true
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}
BUILD=${BUILD:-build/asan}
CXX=${CXX:-g++}
export CXX
export PIP_ROOT_USER_ACTION=ignore

case "$PART" in
  all|cpp|python) ;;
  *) echo "usage: $0 [all|cpp|python] [pytest arguments...]" >&2; exit 2 ;;
esac

[ "${SKIP_SETUP:-0}" = 1 ] || bash tools/setup.sh

# RelWithDebInfo: optimised like the release build, with line numbers in the
# reports.
cmake -S . -B "$BUILD" -DTENVIRA_SANITIZE=ON -DTENVIRA_BUILD_TESTS=ON -DTENVIRA_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

# Options shared by both runs:
# - detect_stack_use_after_return: also catch pointers into dead frames;
# - check_initialization_order / strict_init_order: static initialisers that
#   read another file's globals;
# - allocator_may_return_null: an allocation the sanitizer allocator cannot
#   satisfy comes back as null, so operator new throws std::bad_alloc and the
#   module raises MemoryError as it does without the sanitizer (the tests
#   check exactly that), instead of the run stopping inside the allocator.
common="detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:report_error_type=1"

if [ "$PART" != python ]; then
  echo "== C++ tests under ASan+UBSan (LeakSanitizer on)"
  ASAN_OPTIONS="$common:detect_leaks=1" ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
fi

if [ "$PART" != cpp ]; then
  echo "== Python tests under ASan+UBSan"
  # The interpreter is not built with ASan, so the runtime has to be loaded
  # before anything else. PYTHONMALLOC=malloc sends every Python object
  # through the sanitizer's allocator, so that the module touching a freed or
  # overrun object is caught too. LeakSanitizer is off for the interpreter:
  # CPython keeps interned strings, type caches and module state alive until
  # exit on purpose, and its reports would bury anything of ours; leaks of the
  # engine are covered by the C++ run above and by tools/soak.py --valgrind.
  # Two checks of the release build do not apply here: which libraries the
  # module links (the sanitizer runtimes bring their own), and flat memory
  # over many calls (ASan holds freed blocks in a quarantine of up to 256 MB
  # on purpose; tools/soak.py measures memory on the release build).
  # Installed layout (module, stub, marker), as the suite expects.
  cmake --install "$BUILD" --prefix "$PWD/$BUILD/site" >/dev/null
  asan_rt=$("$CXX" -print-file-name=libasan.so)
  [ -f "$asan_rt" ] || { echo "sanitize: no libasan.so for $CXX" >&2; exit 1; }
  LD_PRELOAD="$asan_rt" \
  ASAN_OPTIONS="$common:detect_leaks=0" \
  PYTHONMALLOC=malloc \
  TENVIRA_SANITIZED=1 \
  PYTHONPATH="$PWD/$BUILD/site:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@" \
      --deselect tests/python/test_module.py::test_extension_exports_only_its_init_function
fi
echo "sanitize: no reports"
