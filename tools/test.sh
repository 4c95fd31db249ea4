#!/bin/bash
# Builds everything and runs every test: the Linux suites, the GUI smoke
# test under Xvfb, and the Windows program's checks and tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
tools/build-windows.sh --arch both --with-tests --build-dir "$PWD/build-test-windows"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DQAR_WINDOWS_BUILD_DIR="$PWD/build-test-windows" >/dev/null
cmake --build build-test -j"$(nproc)"
# The Wine template first, so the output says which program the Wine tests
# run (CTest shows nothing of a test that passes).
ctest --test-dir build-test -R '^wine_template$' --output-on-failure
(. build-test/tests/windows/wine-template/loader && echo "wine: $QAR_WINE_NOTE")
ctest --test-dir build-test --output-on-failure -j2
