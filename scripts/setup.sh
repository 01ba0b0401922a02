#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing. Given package names,
# it installs those instead (scripts that need more than the build bring their own list).
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libhdf5-dev hdf5-tools libdeflate-dev libgtest-dev
          libgmock-dev libbenchmark-dev libcli11-dev libpng-dev nlohmann-json3-dev libxml2-utils
          python3 libnetcdf-dev netcdf-bin python3-xarray python3-h5netcdf python3-netcdf4
          clang-14 libclang-rt-14-dev)
[ $# -eq 0 ] || packages=("$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
