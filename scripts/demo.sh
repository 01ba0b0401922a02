#!/usr/bin/env bash
# A short tour of the converter programs: build, convert the sample point clouds, merge a
# selection, inspect the result, write XDMF and a preview, rerun to show the skip, and convert a
# small netCDF file.
# Usage: scripts/demo.sh [work folder]   (default: a new folder under /tmp, kept for a look)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

echo "== setup: installing missing packages"
scripts/setup.sh

echo "== build (out of source, in build/; a first build takes a few minutes)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -- -j2
bin=$root/build/converters

work=${1:-$(mktemp -d /tmp/qz-demo.XXXXXX)}
mkdir -p "$work/clouds"
cp -p samples/*.csv samples/*.xyz samples/*.las "$work/clouds/"
cd "$work"
echo "== working in $work (samples copied to clouds/)"

echo "== convert every point cloud in clouds/: each gets the field Height and a bundle file"
"$bin/qz-pointcloud" clouds/

echo "== merge the grids hill and ridge, fields Positions and Height, into merged.qz"
"$bin/qz-merge" 'clouds/*.qz' --output merged.qz --grids hill,ridge --fields Positions,Height

echo "== inspect merged.qz"
"$bin/qz-inspect" merged.qz 2>/dev/null

echo "== inspect merged.qz as JSON"
"$bin/qz-inspect" merged.qz --json 2>/dev/null

echo "== write merged.xmf (open it with ParaView's XDMF Reader) and a top view merged.png"
"$bin/qz-inspect" merged.qz --xdmf merged.xmf --preview merged.png --field Height --size 640x480 \
  >/dev/null 2>&1
ls -l merged.xmf merged.png

echo "== convert the bundle files again: grids with the success mark are skipped"
"$bin/qz-pointcloud" 'clouds/*.qz'

echo "== make climate.nc from samples/climate.cdl (ncgen) and convert it: 3 time steps, 2 grids"
ncgen -o climate.nc "$root/samples/climate.cdl"
"$bin/qz-netcdf" climate.nc

echo "== done; results are in $work"
