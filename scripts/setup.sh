#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when missing.
set -euo pipefail

packages=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libxerces-c-dev libgtest-dev libgmock-dev libbenchmark-dev
  tzdata libcli11-dev nlohmann-json3-dev
  python3 python3-dev python3-numpy python3-pytest pybind11-dev
  libhdf5-dev python3-h5py python3-pandas python3-xarray python3-matplotlib
  python3-dask python3-distributed python3-pil libpng-dev libtiff-dev ccache
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
