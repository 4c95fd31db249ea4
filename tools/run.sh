#!/bin/bash
# Builds the Linux simulator and starts the wizard on the demo machine.
# Extra arguments go to qar-wizard (see qar-wizard --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQAR_BUILD_TESTS=OFF -DQAR_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target qar-wizard
exec build/app/fltk/qar-wizard "$@"
