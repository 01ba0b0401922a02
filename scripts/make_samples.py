#!/usr/bin/env python3
"""Writes the small sample point clouds into samples/ (deterministic: same bytes every run), and
climate.cdl, the text from which ncgen makes a small netCDF file (ncgen -o climate.nc climate.cdl).

Given a build folder, it also makes the sample bundle files with the converter programs:
scripts/make_samples.py build
"""
import math
import pathlib
import struct
import subprocess
import sys

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"


def cloud(header, columns, rows, point):
    """One line per grid position (i, j), in row order, after the header line."""
    lines = [header] + [point(i, j) for i in range(columns) for j in range(rows)]
    return "\n".join(lines) + "\n"


def hill_point(i, j):
    x, y = 500000.0 + 2.0 * i, 5400000.0 + 2.0 * j
    z = 300.0 + 12.0 * math.exp(-((i - 5.5) ** 2 + (j - 5.5) ** 2) / 12.0)
    return f"{x:.2f},{y:.2f},{z:.3f},{(i * 7 + j * 13) % 100}"


def plane_point(i, j):
    x, y = 1.5 * i, 1.5 * j
    z = 290.0 + 0.2 * x + 0.1 * y
    return f"{499980.0 + x:.2f} {5400000.0 + y:.2f} {z:.3f} {(i + j) / 20:.2f}"


def ridge_point(i, j):
    x, y = 500028.0 + 2.0 * i, 5400004.0 + 2.0 * j
    z = 296.0 + 4.0 - abs(i - 3.5)
    return f"{x:.1f},{y:.1f},{z:.2f},{2 if i in (3, 4) else 1}"


def las_file(points, scale=0.01, offset=(500000.0, 5000000.0, 0.0), records=()):
    """LAS 1.2, point format 3: points are (x, y, z, intensity, class, gps time, (r, g, b))."""
    header_size, record_length = 227, 34
    vlrs = b"".join(struct.pack("<H16sHH32s", 0, user, rid, len(data), b"") + data
                    for user, rid, data in records)
    ints = [[round((p[a] - offset[a]) / scale) for a in range(3)] for p in points]
    body = b"".join(
        struct.pack("<3iHBBbBHd3H", *xyz, intensity, 1 | 1 << 3, klass, 0, 0, 1, gps, *rgb)
        for xyz, (_, _, _, intensity, klass, gps, rgb) in zip(ints, points))
    bounds = []
    for a in range(3):
        values = [xyz[a] * scale + offset[a] for xyz in ints]
        bounds += [max(values), min(values)]
    header = struct.pack(
        "<4sHHIHH8sBB32s32sHHHIIBHI5I3d3d6d", b"LASF", 0, 0, 0, 0, 0, b"", 1, 2,
        b"ConvLib samples", b"make_samples.py", 100, 2024, header_size,
        header_size + len(vlrs), len(records), 3, record_length, len(points),
        len(points), 0, 0, 0, 0, scale, scale, scale, *offset, *bounds)
    return header + vlrs + body


def geo_keys(*keys):
    """A GeoTIFF key directory VLR of (id, value) keys stored in place."""
    data = struct.pack("<4H", 1, 1, 0, len(keys))
    data += b"".join(struct.pack("<4H", key, 0, 1, value) for key, value in keys)
    return (b"LASF_Projection", 34735, data)


def hill_las():
    """A small hill of ground points with a few trees, in UTM zone 33N (EPSG 32633)."""
    points = []
    for i in range(20):
        for j in range(20):
            x, y = 500000.0 + 1.5 * i, 5000000.0 + 1.5 * j
            z = 250.0 + 8.0 * math.exp(-((i - 9.5) ** 2 + (j - 9.5) ** 2) / 40.0)
            tree = (i * 7 + j * 3) % 17 == 0
            klass, z = (5, z + 4.0 + (i % 3)) if tree else (2, z)
            rgb = (60 * 256, 140 * 256, 50 * 256) if tree else (150 * 256, 120 * 256, 80 * 256)
            points.append((x, y, z, 200 + (i * 13 + j * 29) % 300, klass, 1000.0 + 0.01 * len(points),
                           rgb))
    return las_file(points, records=[geo_keys((1024, 1), (1025, 1), (3072, 32633), (3076, 9001))])


def climate_cdl():
    """Temperature (packed short, with gaps) and wind over 3 days x 2 levels x 5 x 8 degrees, and
    a static orography: CF conventions as climate tools write them."""
    days, levels, lats, lons = 3, 2, 5, 8
    temperature, wind = [], []
    for day in range(days):
        for level in range(levels):
            for i in range(lats):
                for j in range(lons):
                    kelvin = 288.0 - 30.0 * level - 0.5 * abs(-40 + 20 * i) + 2.0 * math.sin(j + day)
                    temperature.append("-32767" if (day, i, j) == (1, 2, 3) else
                                       str(round((kelvin - 250.0) / 0.01)))
                    wind.append(f"{5.0 + 3.0 * level + math.cos(i + j - day):.3f}")
    orography = [f"{max(0.0, 800.0 * math.sin(i * j / 6.0)):.1f}" for i in range(lats) for j in range(lons)]
    rows = lambda values, width: ",\n    ".join(", ".join(values[k:k + width])
                                               for k in range(0, len(values), width))
    return f"""netcdf climate {{
dimensions:
\ttime = UNLIMITED ;
\tlevel = {levels} ;
\tlatitude = {lats} ;
\tlongitude = {lons} ;
variables:
\tdouble time(time) ;
\t\ttime:units = "days since 2000-01-01 00:00" ;
\t\ttime:standard_name = "time" ;
\tfloat level(level) ;
\t\tlevel:units = "hPa" ;
\tfloat latitude(latitude) ;
\t\tlatitude:units = "degrees_north" ;
\tfloat longitude(longitude) ;
\t\tlongitude:units = "degrees_east" ;
\tshort t(time, level, latitude, longitude) ;
\t\tt:units = "K" ;
\t\tt:long_name = "air temperature" ;
\t\tt:standard_name = "air_temperature" ;
\t\tt:scale_factor = 0.01 ;
\t\tt:add_offset = 250. ;
\t\tt:_FillValue = -32767s ;
\tfloat wind(time, level, latitude, longitude) ;
\t\twind:units = "m s-1" ;
\t\twind:long_name = "wind speed" ;
\tfloat orography(latitude, longitude) ;
\t\torography:units = "m" ;

// global attributes:
\t\t:Conventions = "CF-1.8" ;
\t\t:title = "ConvLib sample: a small made-up climate" ;
data:

 time = 0, 1, 2 ;

 level = 850, 500 ;

 latitude = -40, -20, 0, 20, 40 ;

 longitude = 0, 45, 90, 135, 180, 225, 270, 315 ;

 t =
    {rows(temperature, lons)} ;

 wind =
    {rows(wind, lons)} ;

 orography =
    {rows(orography, lons)} ;
}}
"""


def bundles(build):
    programs = pathlib.Path(build).resolve() / "converters"
    run = lambda *args: subprocess.run(args, cwd=SAMPLES, check=True, stdout=subprocess.DEVNULL)
    run(programs / "qz-pointcloud", "hill.csv", "plane.xyz", "ridge.csv", "--ignore-success")
    run(programs / "qz-merge", "hill.qz", "ridge.qz", "-o", "hills.qz", "--fields", "Positions,Height")


if __name__ == "__main__":
    SAMPLES.mkdir(exist_ok=True)
    for name, text in (
        ("hill.csv", cloud("x,y,z,intensity", 12, 12, hill_point)),
        ("plane.xyz", cloud("# tilted plane: x y z reflectance", 10, 10, plane_point)),
        ("ridge.csv", cloud("X,Y,Z,class", 8, 8, ridge_point)),
    ):
        (SAMPLES / name).write_text(text)
    (SAMPLES / "survey.las").write_bytes(hill_las())
    (SAMPLES / "climate.cdl").write_text(climate_cdl())
    if len(sys.argv) > 1:
        bundles(sys.argv[1])
