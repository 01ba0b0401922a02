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


def hill():
    rows = ["x,y,z,intensity"]
    for i in range(12):
        for j in range(12):
            x, y = 500000.0 + 2.0 * i, 5400000.0 + 2.0 * j
            r2 = (i - 5.5) ** 2 + (j - 5.5) ** 2
            z = 300.0 + 12.0 * math.exp(-r2 / 12.0)
            rows.append(f"{x:.2f},{y:.2f},{z:.3f},{(i * 7 + j * 13) % 100}")
    return "\n".join(rows) + "\n"


def plane():
    rows = ["# tilted plane: x y z reflectance"]
    for i in range(10):
        for j in range(10):
            x, y = 1.5 * i, 1.5 * j
            z = 290.0 + 0.2 * x + 0.1 * y
            rows.append(f"{499980.0 + x:.2f} {5400000.0 + y:.2f} {z:.3f} {(i + j) / 20:.2f}")
    return "\n".join(rows) + "\n"


def ridge():
    rows = ["X,Y,Z,class"]
    for i in range(8):
        for j in range(8):
            x, y = 500028.0 + 2.0 * i, 5400004.0 + 2.0 * j
            z = 296.0 + 4.0 - abs(i - 3.5)
            rows.append(f"{x:.1f},{y:.1f},{z:.2f},{2 if i in (3, 4) else 1}")
    return "\n".join(rows) + "\n"


def bundles(build):
    programs = pathlib.Path(build).resolve() / "converters"
    run = lambda *args: subprocess.run(args, cwd=SAMPLES, check=True, stdout=subprocess.DEVNULL)
    run(programs / "qz-pointcloud", "hill.csv", "plane.xyz", "ridge.csv", "--ignore-success")
    run(programs / "qz-merge", "hill.qz", "ridge.qz", "-o", "hills.qz", "--fields", "Positions,Height")


if __name__ == "__main__":
    SAMPLES.mkdir(exist_ok=True)
    for name, text in (("hill.csv", hill()), ("plane.xyz", plane()), ("ridge.csv", ridge())):
        (SAMPLES / name).write_text(text)
    if len(sys.argv) > 1:
        bundles(sys.argv[1])
