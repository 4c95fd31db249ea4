#!/bin/bash
# Builds everything and runs every test: the Linux suites, the GUI smoke
# test under Xvfb, and the Windows program's checks and tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
tools/build-windows.sh --arch both --with-tests --build-dir "$PWD/build-test-windows"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DQAR_WINDOWS_BUILD_DIR="$PWD/build-test-windows" >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j2
