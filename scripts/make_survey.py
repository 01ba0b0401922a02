#!/usr/bin/env python3
"""Writes a survey of small point clouds for the batch runs (deterministic: same bytes every run).

scripts/make_survey.py FOLDER [CLOUDS] [POINTS]   (defaults: 400 clouds of 300 points)

The clouds are spread over a few area folders of unequal size, .csv and .xyz mixed, so that the
shards of a batch cut across folders and formats.
"""
import math
import pathlib
import sys

AREAS = ("north", "east", "south", "west", "summit")


def csv_cloud(origin, side, relief):
    lines = ["x,y,z,intensity"]
    for i in range(side):
        for j in range(side):
            lines.append(f"{origin[0] + 2.0 * i:.2f},{origin[1] + 2.0 * j:.2f},"
                         f"{relief(i, j):.3f},{(i * 7 + j * 13) % 100}")
    return "\n".join(lines) + "\n"


def xyz_cloud(origin, side, relief):
    lines = ["# survey tile: x y z reflectance"]
    for i in range(side):
        for j in range(side):
            lines.append(f"{origin[0] + 2.0 * i:.2f} {origin[1] + 2.0 * j:.2f} "
                         f"{relief(i, j):.3f} {(i + j) % 20 / 20:.2f}")
    return "\n".join(lines) + "\n"


def tile_relief(tile):
    """Rolling ground whose phase and base height change from tile to tile."""
    base, phase = 250.0 + tile % 37, tile * 0.7
    return lambda i, j: base + 8.0 * math.sin(0.3 * i + phase) * math.cos(0.2 * j - phase)


def area_of(tile):
    """Unequal areas: the first gets the most tiles, the last the fewest."""
    weights = range(len(AREAS) + 1, 1, -1)
    slot = tile % sum(weights)
    for area, weight in zip(AREAS, weights):
        if slot < weight:
            return area
        slot -= weight
    return AREAS[-1]


def write_survey(root, clouds, points):
    side = max(2, round(math.sqrt(points)))
    for tile in range(clouds):
        folder = root / area_of(tile)
        folder.mkdir(parents=True, exist_ok=True)
        origin = (500000.0 + 100.0 * (tile % 20), 5400000.0 + 100.0 * (tile // 20))
        make, suffix = (csv_cloud, "csv") if tile % 3 else (xyz_cloud, "xyz")
        (folder / f"tile{tile:04d}.{suffix}").write_text(make(origin, side, tile_relief(tile)))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip())
    write_survey(pathlib.Path(sys.argv[1]),
                 int(sys.argv[2]) if len(sys.argv) > 2 else 400,
                 int(sys.argv[3]) if len(sys.argv) > 3 else 300)
