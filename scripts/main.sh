#!/usr/bin/env bash
# The main job on the embedded default: builds the toolkit and shows the road working.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDAQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
exec build/release/tools/protocol-demo/protocol-demo "$@"
