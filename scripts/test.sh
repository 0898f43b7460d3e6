#!/usr/bin/env bash
# Builds and runs the whole test suite: every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests again under ThreadSanitizer, the
# Python package's tests, the install-and-consume check, and a short smoke run of
# every libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
fail=0

echo "== build: address+undefined"
cmake -S . -B build/asan -DDAQ_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_WERROR=ON >/dev/null
cmake --build build/asan -j"$jobs"
echo "== tests: address+undefined"
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs") || fail=1

echo "== build: thread"
cmake -S . -B build/tsan -DDAQ_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_WERROR=ON >/dev/null
cmake --build build/tsan -j"$jobs"
echo "== tests: thread (label threaded)"
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L threaded -j"$jobs") || fail=1

# One plain Release build serves the Python package's tests and the packaging
# check (install into a temporary prefix, build the examples against it).
echo "== build: release (Python package, install)"
cmake -S . -B build/release-pkg -DCMAKE_BUILD_TYPE=Release -DDAQ_SANITIZE=none -DDAQ_BUILD_TESTS=OFF \
  -DDAQ_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/release-pkg -j"$jobs" >/dev/null

echo "== python package"
PYTHONPATH=build/release-pkg/python /usr/bin/python3 -m pytest -q python/tests || fail=1

echo "== packaging: install and build the examples against the package"
pkg_prefix=$(mktemp -d)
if cmake --install build/release-pkg --prefix "$pkg_prefix" >/dev/null &&
   cmake -S examples/consumer -B build/consumer -DCMAKE_PREFIX_PATH="$pkg_prefix" \
     -DCMAKE_BUILD_TYPE=Release >/dev/null &&
   cmake --build build/consumer -j"$jobs" >/dev/null; then
  echo "packaging: ok"
else
  echo "packaging: FAILED"; fail=1
fi
rm -rf "$pkg_prefix" build/consumer

# The clang build compiles every library too, with warnings as errors: that is
# where the lock annotations are checked (-Wthread-safety).
echo "== fuzz smoke (clang, lock annotations checked)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DDAQ_BUILD_FUZZ=ON -DDAQ_BUILD_TESTS=OFF \
  -DDAQ_BUILD_TOOLS=OFF -DDAQ_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j"$jobs"
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  seeds="fuzz/corpus/${name#fuzz_}"
  # New inputs go to a scratch corpus in the build tree; the seeds stay untouched.
  scratch="build/fuzz/corpus/$name"
  mkdir -p "$scratch"
  args=(-runs=20000 -max_len=65536)
  [ -d "$seeds" ] || seeds=""
  if "$f" "${args[@]}" "$scratch" $seeds >"build/fuzz/$name.log" 2>&1; then
    echo "$name: ok"
  else
    echo "$name: FAILED"; tail -n 30 "build/fuzz/$name.log"; fail=1
  fi
done

exit $fail
