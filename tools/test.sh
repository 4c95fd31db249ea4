#!/bin/bash
# Builds everything and runs every test: the Linux suites, the GUI smoke
# test under Xvfb, and the Windows program's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j2
