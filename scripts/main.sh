#!/usr/bin/env bash
# The main job: sets up a fresh machine, builds the toolkit and shows the whole
# road working. daqget starts the embedded DAQ data server on loopback, asks it
# for ten seconds of a few channels of every kind, receives the stream and
# prints every record. Extra arguments go to daqget (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDAQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target daqget >/dev/null
exec build/release/tools/daqget/daqget --local --show-reply \
  --start 2025-01-01T00:00:00Z --stop 2025-01-01T00:00:10Z \
  -c DIAG/TOROID/T1.SPECT -c DIAG/ADC/INPUTS -c DIAG/BPM/BPM1 -c DIAG/GSPECT/G1 \
  -c CAMERA/SCREEN/IMAGE -c RF/STATUS/NAMES -c VACUUM/UPDATE/PUMPS \
  -c MAGNET/QUAD/Q1.CURRENT -c TIMING/TRIGGER/STAMP -c SLOW/TEMP/T1 "$@"
