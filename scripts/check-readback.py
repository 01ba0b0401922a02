#!/usr/bin/python3
"""Checks that the netCDF tools read bundle files exactly as the converters' sources hold them.

    /usr/bin/python3 scripts/check-readback.py BUILD_CONVERTERS_DIR WORK_DIR

Writes small inputs of its own into WORK_DIR (a LAS 1.2 cloud with per-axis offsets and GPS time,
a text cloud of decimals, a PLY scan of float32 vertices, a netCDF file of packed shorts with fill values and a float variable),
converts them at the default settings, and reads every grid back with xarray (h5netcdf engine,
no phony_dims) and netCDF4-python. Every field must equal the source's values bit for bit, as
the source's own packing rule makes them (integer * scale + offset in double, fill as NaN; doubles
that are all floats are stored as float32, which xarray reads as float32), and
`ncdump -h` must name every dimension. A structured grid's fields must come with the grid's
shape, its axes as their dimensions and the axes' coordinates as coordinate variables. Exits 1 on
the first difference.
"""
import os
import shutil
import struct
import subprocess
import sys

import netCDF4
import numpy
import xarray

CONVERTERS, WORK = sys.argv[1], sys.argv[2]
POINTS = 200


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def same(name, expected, actual, floats=False):
    """floats: doubles that are all floats, stored as float32, which xarray leaves float32."""
    expected = numpy.asarray(expected)
    actual = numpy.asarray(actual)
    if floats and actual.dtype == numpy.float32:
        actual = actual.astype(numpy.float64)
    if actual.dtype != expected.dtype:
        fail(f"{name}: read as {actual.dtype}, not {expected.dtype}")
    if expected.shape != actual.shape:
        fail(f"{name}: shape {actual.shape}, expected {expected.shape}")
    gaps = numpy.isnan(expected)
    if not numpy.array_equal(gaps, numpy.isnan(actual)):
        fail(f"{name}: NaN at other places")
    if expected[~gaps].tobytes() != actual[~gaps].tobytes():
        worst = numpy.max(numpy.abs(expected[~gaps] - actual[~gaps]))
        fail(f"{name}: values differ, by up to {worst!r}")


def write_las(path):
    rng = numpy.random.default_rng(7)
    scale, offset = (0.01, 0.01, 0.001), (637000.0, 849000.5, 100.0)
    xyz = rng.integers(-2**30, 2**30, size=(POINTS, 3), dtype=numpy.int32)
    gps = 4.0e5 + numpy.cumsum(rng.random(POINTS) * 1e-3)
    header = bytearray(227)
    header[0:4] = b"LASF"
    header[24:26] = bytes([1, 2])
    struct.pack_into("<HIIBHI", header, 94, 227, 227, 0, 1, 28, POINTS)
    struct.pack_into("<3d3d", header, 131, *scale, *offset)
    real = xyz * numpy.array(scale) + numpy.array(offset)
    struct.pack_into("<6d", header, 179, real[:, 0].max(), real[:, 0].min(), real[:, 1].max(),
                     real[:, 1].min(), real[:, 2].max(), real[:, 2].min())
    records = bytearray()
    for i in range(POINTS):
        records += struct.pack("<3iHBBbBHd", *xyz[i], 10, 0x11, 2, 0, 0, 1, gps[i])
    with open(path, "wb") as out:
        out.write(bytes(header) + bytes(records))
    return {"Positions": real, "GpsTime": gps}


def write_text(path):
    rng = numpy.random.default_rng(8)
    values = rng.integers(-10**6, 10**6, size=(POINTS, 4))
    lines = ["x,y,z,w"] + [",".join(f"{v / 100:.2f}" for v in row) for row in values]
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    parsed = numpy.array([[float(f"{v / 100:.2f}") for v in row] for row in values])
    return {"Positions": parsed[:, :3], "w": parsed[:, 3]}


def write_ply(path):
    rng = numpy.random.default_rng(10)
    xyz = (rng.random((POINTS, 3)) * 1000 - 500).astype("<f4")
    quality = rng.random(POINTS).astype("<f4")
    header = (f"ply\nformat binary_little_endian 1.0\nelement vertex {POINTS}\n"
              "property float x\nproperty float y\nproperty float z\n"
              "property float quality\nend_header\n")
    with open(path, "wb") as out:
        out.write(header.encode() + numpy.hstack([xyz, quality[:, None]]).astype("<f4").tobytes())
    return {"Positions": xyz.astype(numpy.float64), "quality": quality}


def write_netcdf(path):
    rng = numpy.random.default_rng(9)
    with netCDF4.Dataset(path, "w", format="NETCDF4") as nc:
        nc.createDimension("time", 3)
        nc.createDimension("lat", 4)
        nc.createDimension("lon", 5)
        time = nc.createVariable("time", "f8", ("time",))
        time.units = "days since 2000-01-01"
        time[:] = [0, 1, 2]
        nc.createVariable("lat", "f8", ("lat",))[:] = [50, 40, 30, 20]
        nc.createVariable("lon", "f8", ("lon",))[:] = [0, 1, 2, 3, 4]
        z = nc.createVariable("z", "i2", ("time", "lat", "lon"), fill_value=-32767)
        z.set_auto_maskandscale(False)
        z.scale_factor = 0.7330987
        z.add_offset = 51234.5
        z.units = "m**2 s**-2"
        z.long_name = "Geopotential"
        packed = rng.integers(-32000, 32000, size=(3, 4, 5)).astype(numpy.int16)
        packed[1, 2, 3] = -32767
        z[:] = packed
        t = nc.createVariable("t", "f4", ("time", "lat", "lon"))
        t[:] = rng.random((3, 4, 5)).astype(numpy.float32)
        nc.createDimension("x", 3)  # no coordinate variable: a uniform axis 0, 1, 2
        nc.createVariable("s", "f8", ("time", "x"))[:] = rng.random((3, 3))
    with netCDF4.Dataset(path) as nc:
        return {name: numpy.ma.filled(nc[name][:].astype(numpy.float64), numpy.nan)
                for name in ("z",)} | {"t": nc["t"][:].data, "s": nc["s"][:].data}


def convert(program, source):
    run = subprocess.run([os.path.join(CONVERTERS, program), source], capture_output=True,
                         text=True)
    if run.returncode != 0:
        fail(f"{program} {source}: exit {run.returncode}\n{run.stderr}")
    return os.path.splitext(source)[0] + ".qz"


def field(dataset, name):
    if name in dataset.variables:
        return dataset[name]
    parts, c = [], 0
    while f"{name}%#{c}" in dataset.variables:
        parts.append(numpy.asarray(dataset[f"{name}%#{c}"][:]))
        c += 1
    if not parts:
        fail(f"no field {name}")
    return numpy.stack(parts, axis=1)


def check_coordinates(name, variables, coordinates):
    """coordinates: the dimensions of every field, slowest first, with their values."""
    for dimension, values in coordinates.items():
        same(f"{name}/{dimension}", values, numpy.asarray(variables[dimension][:]))


def check(bundle, grid, step, expected, floats=(), coordinates=None):
    header = subprocess.run([shutil.which("ncdump") or "ncdump", "-h", bundle],
                            capture_output=True, text=True)
    if header.returncode != 0 or "phony_dim" in header.stdout:
        fail(f"ncdump -h {bundle}: exit {header.returncode}\n{header.stdout}{header.stderr}")
    group = f"{step:06d}/{grid}"
    with xarray.open_dataset(bundle, engine="h5netcdf", group=group) as dataset:
        for name, values in expected.items():
            same(f"xarray {bundle} {group}/{name}", values, numpy.asarray(field(dataset, name)),
                 name in floats)
            if coordinates and dataset[name].dims != tuple(coordinates):
                fail(f"xarray {bundle} {group}/{name}: dimensions {dataset[name].dims}")
        if coordinates:
            check_coordinates(f"xarray {bundle} {group}", dataset.coords, coordinates)
    with netCDF4.Dataset(bundle) as nc:
        variables = nc[f"{step:06d}"][grid]
        for name, values in expected.items():
            if name in variables.variables:
                read = variables[name][:]
                read = numpy.ma.filled(read, numpy.nan) if read.dtype.kind == "f" else read.data
            else:
                read = numpy.stack([variables[f"{name}%#{c}"][:] for c in range(3)], axis=1)
            same(f"netCDF4 {bundle} {group}/{name}", values, read, name in floats)
            if coordinates and variables[name].dimensions != tuple(coordinates):
                fail(f"netCDF4 {bundle} {group}/{name}: dimensions {variables[name].dimensions}")
        if coordinates:
            check_coordinates(f"netCDF4 {bundle} {group}", variables.variables, coordinates)


def main():
    os.makedirs(WORK, exist_ok=True)
    las = write_las(os.path.join(WORK, "cloud.las"))
    check(convert("qz-pointcloud", os.path.join(WORK, "cloud.las")), "cloud", 0, las)
    text = write_text(os.path.join(WORK, "decimals.csv"))
    check(convert("qz-pointcloud", os.path.join(WORK, "decimals.csv")), "decimals", 0, text)
    ply = write_ply(os.path.join(WORK, "scan.ply"))
    check(convert("qz-pointcloud", os.path.join(WORK, "scan.ply")), "scan", 0, ply, {"Positions"})
    grids = write_netcdf(os.path.join(WORK, "packed.nc"))
    bundle = convert("qz-netcdf", os.path.join(WORK, "packed.nc"))
    axes = {"lat": numpy.array([50.0, 40, 30, 20]), "lon": numpy.arange(5.0)}
    for step in range(3):
        check(bundle, "lat_lon", step, {"z": grids["z"][step], "t": grids["t"][step]},
              coordinates=axes)
        check(bundle, "x", step, {"s": grids["s"][step]}, coordinates={"x": numpy.arange(3.0)})
    print("every field read back exactly")


main()
