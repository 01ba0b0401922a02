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
# header line and row format of each text format
FORMATS = {
    "csv": ("x,y,z,intensity", "{x:.2f},{y:.2f},{z:.3f},{intensity}"),
    "xyz": ("# survey tile: x y z reflectance", "{x:.2f} {y:.2f} {z:.3f} {reflectance:.2f}"),
}


def cloud(suffix, origin, side, relief):
    header, row = FORMATS[suffix]
    lines = [header]
    for i in range(side):
        for j in range(side):
            lines.append(row.format(x=origin[0] + 2.0 * i, y=origin[1] + 2.0 * j, z=relief(i, j),
                                    intensity=(i * 7 + j * 13) % 100,
                                    reflectance=(i + j) % 20 / 20))
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
        suffix = "csv" if tile % 3 else "xyz"
        text = cloud(suffix, origin, side, tile_relief(tile))
        (folder / f"tile{tile:04d}.{suffix}").write_text(text)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip())
    write_survey(pathlib.Path(sys.argv[1]),
                 int(sys.argv[2]) if len(sys.argv) > 2 else 400,
                 int(sys.argv[3]) if len(sys.argv) > 3 else 300)
