#!/usr/bin/env pvpython
"""Checks that ParaView shows an XDMF file of qz-inspect as the bundle holds it.

    pvpython scripts/check-xdmf.py view.xmf reference.json [--input cloud.csv] [--tolerance 1e-4]

reference.json is `qz-inspect bundle.qz --json`: point counts and each field's range per
component, computed by qz-inspect from the loaded bundle in double precision (not from the
sidecar that ParaView reads), and the axes of structured grids. The file is opened with
ParaView's default reader for its extension and with each XDMF reader by name; for every reader,
time step and grid the point count, the bounds and every field's range must match within the
tolerance. A structured grid must also come as a mesh of its extents (x the last axis, y the one
before, z the first of three; missing axes of one node at 0), whose bounds are its axes' ends. --input names the
text cloud the bundle was converted from (x,y,z in its first three columns, one header line):
then every point's coordinates are compared with it as well. Prints the largest differences;
exits 1 when a check fails.
"""
import argparse
import json
import os
import re
import sys

from paraview import servermanager, simple
from paraview.vtk.util.numpy_support import vtk_to_numpy
from vtkmodules.vtkCommonDataModel import vtkCompositeDataSet
import numpy

READERS = {  # reader by name: the property that takes the file
    "XDMFReader": "FileNames",
    "Xdmf3ReaderS": "FileName",
    "Xdmf3ReaderT": "FileName",
}


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("xmf")
    parser.add_argument("reference")
    parser.add_argument("--input", help="the text cloud the bundle was made from")
    parser.add_argument("--tolerance", type=float, default=1e-4)
    return parser.parse_args()


def expected_grids(reference):
    """{time: {grid: {field: (size, [[low, high], ...])}, "axes": [...] of structured grids}}
    from qz-inspect's JSON."""
    grids = {}
    for step in reference["timeSteps"]:
        grids[step["time"]] = {}
        for grid in step["grids"]:
            fields = {f["name"]: (f["size"], f["range"]) for f in grid["fields"]}
            if "axes" in grid:
                fields[AXES] = grid["axes"]
            elif not any(f["name"] == "Positions" and f["components"] == 3 for f in grid["fields"]):
                continue
            grids[step["time"]][grid["name"]] = fields
    return grids


AXES = None  # the key of a structured grid's axes among its fields: no field name can be None


def axis_ends(axis):
    """The least and greatest coordinate of an axis from qz-inspect's JSON."""
    if axis["uniform"]:
        ends = (axis["origin"], axis["origin"] + (axis["extent"] - 1) * axis["spacing"])
    else:
        ends = (axis["first"], axis["last"])
    return min(ends), max(ends)


def check_structured(check, where, grid, axes):
    """Dimensions and bounds of the mesh: x is the last axis, axes missing in front are one node at 0."""
    padded = [{"extent": 1, "uniform": True, "origin": 0.0, "spacing": 1.0}] * (3 - len(axes)) + axes
    expected = [axis["extent"] for axis in reversed(padded)]
    if not hasattr(grid, "GetDimensions"):
        check.fail("%s: a %s, not a structured mesh" % (where, grid.GetClassName()))
        return
    if list(grid.GetDimensions()) != expected:
        check.fail("%s: dimensions %s, the bundle holds %s" % (where, list(grid.GetDimensions()), expected))
        return
    bounds = grid.GetBounds()
    for index, axis in enumerate(reversed(padded)):
        low, high = axis_ends(axis)
        check.compare("coordinate", "%s: lowest %s" % (where, "xyz"[index]), bounds[2 * index], low)
        check.compare("coordinate", "%s: highest %s" % (where, "xyz"[index]), bounds[2 * index + 1], high)


def leaves(data):
    """(block name, data set) of every leaf of a composite data set."""
    if not data.IsA("vtkCompositeDataSet"):
        yield "", data
        return
    iterator = data.NewIterator()
    iterator.InitTraversal()
    while not iterator.IsDoneWithTraversal():
        meta = iterator.GetCurrentMetaData()
        name = meta.Get(vtkCompositeDataSet.NAME()) if meta.Has(vtkCompositeDataSet.NAME()) else ""
        yield name, iterator.GetCurrentDataObject()
        iterator.GoToNextItem()


class Check:
    def __init__(self, tolerance):
        self.tolerance = tolerance
        self.failures = []
        self.largest = {"coordinate": 0.0, "field": 0.0, "input": 0.0}

    def fail(self, text):
        self.failures.append(text)

    def compare(self, kind, where, shown, expected):
        if expected is None:  # a component of NaN only
            return
        difference = abs(float(shown) - float(expected))
        self.largest[kind] = max(self.largest[kind], difference)
        if not difference <= self.tolerance:
            self.fail("%s: shows %r, the bundle holds %r" % (where, shown, expected))


def check_points(check, where, grid, fields, inputs):
    size, position_ranges = fields["Positions"]
    if grid.GetNumberOfPoints() != size:
        check.fail("%s: %d points, the bundle holds %d" % (where, grid.GetNumberOfPoints(), size))
        return False
    points = vtk_to_numpy(grid.GetPoints().GetData())
    if points.dtype != numpy.float64:
        check.fail("%s: coordinates in %s, not double precision" % (where, points.dtype))
    for axis, (low, high) in enumerate(position_ranges):
        check.compare("coordinate", "%s: lowest %s" % (where, "xyz"[axis]), points[:, axis].min(), low)
        check.compare("coordinate", "%s: highest %s" % (where, "xyz"[axis]), points[:, axis].max(), high)
    if inputs is not None:
        if inputs.shape != points.shape:
            check.fail("%s: %d points, the input holds %d" % (where, len(points), len(inputs)))
        else:
            check.compare("input", "%s: largest difference to the input" % where,
                          numpy.abs(points - inputs).max(), 0.0)
    return True


def check_grid(check, where, grid, fields, inputs):
    if AXES in fields:
        check_structured(check, where, grid, fields[AXES])
    elif not check_points(check, where, grid, fields, inputs):
        return
    point_data = grid.GetPointData()
    for name, value in fields.items():
        if name in ("Positions", AXES):
            continue
        _, ranges = value
        array = point_data.GetArray(name)
        if array is None:
            check.fail("%s: no field %s" % (where, name))
            continue
        for component, (low, high) in enumerate(ranges):
            shown = array.GetRange(component)
            check.compare("field", "%s: %s[%d] lowest" % (where, name, component), shown[0], low)
            check.compare("field", "%s: %s[%d] highest" % (where, name, component), shown[1], high)


def mesh_shape(fields):
    """The point count and, for a structured grid, the dimensions ParaView should show."""
    if AXES in fields:
        axes = fields[AXES]
        dims = [axis["extent"] for axis in reversed(axes)] + [1] * (3 - len(axes))
        return numpy.prod(dims), dims
    return fields["Positions"][0], None


def match_pieces(grids, pieces):
    """Xdmf3ReaderS gives the grids of a time step as unnamed pieces, grouped by kind of mesh:
    each grid takes the first piece left of its point count and dimensions (a lone grid any)."""
    if len(grids) == 1 and len(pieces) == 1:
        return {next(iter(grids)): pieces[0]}
    shown, left = {}, list(pieces)
    for name, fields in grids.items():
        points, dims = mesh_shape(fields)
        for piece in left:
            shape = list(piece.GetDimensions()) if hasattr(piece, "GetDimensions") else None
            if piece.GetNumberOfPoints() == points and shape == dims:
                shown[name] = piece
                left.remove(piece)
                break
    return shown


def base_name(name):
    """The grid's own name: a reader numbers a name that comes again in a later time step
    ("grid[1]")."""
    return re.sub(r"\[\d+\]$", "", name)


def check_reader(check, label, reader, expected, inputs):
    times = list(reader.TimestepValues) if hasattr(reader.TimestepValues, "__len__") else [reader.TimestepValues]
    if len(times) != len(expected) and not (len(times) == 0 and len(expected) == 1):
        check.fail("%s: %d time steps, the bundle holds %d" % (label, len(times), len(expected)))
        return
    for time, grids in sorted(expected.items()):
        reader.UpdatePipeline(time)
        pieces = list(leaves(servermanager.Fetch(reader)))
        if pieces and not any(name for name, _ in pieces):
            shown = match_pieces(grids, [data for _, data in pieces])
        else:
            shown = {base_name(name): data for name, data in pieces}
        for name, fields in grids.items():
            where = "%s, time %r, grid %s" % (label, time, name)
            if name not in shown:
                check.fail("%s: missing (shown: %s)" % (where, ", ".join(shown) or "nothing"))
            else:
                check_grid(check, where, shown[name], fields, inputs)


def main():
    options = arguments()
    with open(options.reference) as file:
        expected = expected_grids(json.load(file))
    inputs = None
    if options.input:
        inputs = numpy.loadtxt(options.input, delimiter=",", skiprows=1, usecols=(0, 1, 2), ndmin=2)
    check = Check(options.tolerance)
    xmf = os.path.abspath(options.xmf)  # the Xdmf3 readers misplace data files of a bare file name
    default = simple.OpenDataFile(xmf)
    readers = [("default reader " + default.GetXMLName(), default)]
    readers += [(name, getattr(simple, name)(**{prop: [xmf]})) for name, prop in READERS.items()]
    for label, reader in readers:
        check_reader(check, label, reader, expected, inputs)
    print("readers: %s" % ", ".join(label for label, _ in readers))
    print("largest differences: coordinates %.3g, fields %.3g%s" % (
        check.largest["coordinate"], check.largest["field"],
        ", to the input %.3g" % check.largest["input"] if inputs is not None else ""))
    for failure in check.failures:
        print("FAILED " + failure)
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
