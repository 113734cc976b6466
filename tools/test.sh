#!/usr/bin/env bash
# Runs the tests.
#
#   tools/test.sh           everything, as CI does: the C++ suite through
#                           CTest, the wheel's ABI check, the type stubs, the
#                           Python suite against the installed wheel, then the
#                           reliability checks (both suites under the
#                           sanitizers, a bounded fuzz run of the engine, a soak
#                           of every path, also under valgrind)
#   tools/test.sh --quick   the everyday loop: an incremental build of the
#                           working tree (build/quick), then the C++ and Python
#                           suites against that build, nothing installed
#
# Extra arguments after --quick go to pytest (e.g. `--quick -k streaming`).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}
export PIP_ROOT_USER_ACTION=ignore

if [ "${1:-}" = "--quick" ]; then
  shift
  [ "${SKIP_SETUP:-0}" = 1 ] || bash tools/setup.sh
  echo "== build (build/quick)"
  cmake -S . -B build/quick -DTENVIRA_BUILD_MODULE=ON -DTENVIRA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
  cmake --build build/quick -j "$JOBS"
  cmake --install build/quick --prefix "$PWD/build/quick/site" >/dev/null
  echo "== C++ tests"
  ctest --test-dir build/quick --output-on-failure -j "$JOBS" | tail -n 3
  echo "== Python tests"
  # The module of this build and the tool from the working tree come first
  # on the path; tests that need the installed distribution skip.
  TENVIRA_QUICK=1 PYTHONPATH="$PWD/build/quick/site:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"
  exit 0
fi

bash tools/setup.sh

echo "== C++ tests"
cmake -S . -B build/cpp -DTENVIRA_BUILD_MODULE=OFF -DTENVIRA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$JOBS"
ctest --test-dir build/cpp --output-on-failure -j "$JOBS"

echo "== wheel"
rm -rf build/wheel
"$PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps . -w build/wheel
wheel=$(ls build/wheel/tenvira-*.whl)
case "$wheel" in
  *-cp311-abi3-*.whl) ;;
  *) echo "wheel is not tagged cp311-abi3: $wheel"; exit 1 ;;
esac
"$PYTHON" -m abi3audit --strict --report "$wheel"
"$PYTHON" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

echo "== type stubs"
# The usage file alone, so that mypy resolves the installed stub; then the
# command-line package; then stub against runtime, from a folder that holds
# no module of ours.
"$PYTHON" -m mypy --strict --cache-dir build/mypy-cache tests/typing/usage.py
"$PYTHON" -m mypy --strict --cache-dir build/mypy-cache python/tenvira_cli
(cd build && "$PYTHON" -m mypy.stubtest tenvira)

echo "== Python tests"
# Run from the tests folder so that the installed module is what gets imported.
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python

echo "== sanitizers (C++ and Python suites under ASan and UBSan)"
SKIP_SETUP=1 bash tools/sanitize.sh

echo "== fuzz (60 s on the engine)"
bash tools/fuzz.sh 60

echo "== soak (10^7 frames per stream; a short run under valgrind)"
"$PYTHON" tools/soak.py --frames 10000000
"$PYTHON" tools/soak.py --valgrind
