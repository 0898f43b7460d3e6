#!/usr/bin/env bash
# Draws the README's pictures into docs/img/ from the embedded DAQ data server's
# data: a spectrum waterfall and a camera image. The range is fixed, so a rerun
# draws the same pictures. Builds the Python package first when needed, in the
# Release build that scripts/test.sh uses (DAQ_PICTURES_BUILD names another).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${DAQ_PICTURES_BUILD:-build/release-pkg}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDAQ_SANITIZE=none -DDAQ_BUILD_TESTS=OFF \
    -DDAQ_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake --build "$build" -j"$(nproc)" --target daqclient_ext >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

out=docs/img
mkdir -p "$out"
start=2025-03-01T09:00:00Z
stop=2025-03-01T09:00:30Z

plot() {
  PYTHONPATH="$build/python" /usr/bin/python3 -m daqclient.plot --local \
    --start "$start" --stop "$stop" --size 900x500 "$@"
}

# Event 51300150 is the pulse of 09:00:15, halfway through the range.
plot DIAG/TOROID/T1.SPECT -o "$out/spectrum-waterfall.png"
plot CAMERA/SCREEN/IMAGE --event 51300150 -o "$out/camera-image.png"

for f in "$out"/spectrum-waterfall.png "$out"/camera-image.png; do
  echo "$f: $(stat -c %s "$f") bytes"
done
