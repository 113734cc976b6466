#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already present.
set -euo pipefail

need_apt=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v nm >/dev/null 2>&1 || need_apt+=(binutils)
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: apt-get install ${need_apt[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q --disable-pip-version-check -r "$(dirname "$0")/requirements-test.txt"
