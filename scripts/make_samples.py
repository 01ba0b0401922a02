#!/usr/bin/env python3
"""Writes the small sample point clouds into samples/ (deterministic: same bytes every run).

Given a build folder, it also makes the sample bundle files with the converter programs:
scripts/make_samples.py build
"""
import math
import pathlib
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
    if len(sys.argv) > 1:
        bundles(sys.argv[1])
