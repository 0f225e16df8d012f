"""KVX files in meshio: importing this module registers the "kvx" format (extension .kvx) with
meshio's own registration call, so that ``meshio.read("part.kvx")`` and
``meshio.write("part.kvx", mesh)`` work.

Reading gives one "triangle" cell block per KVX mesh, tagged with the mesh's name, over one
point array: float64 coordinates, each grid step times ``UNIT`` (0.001: a 1 µm grid read as
millimetres). Triangle colour codes, when a mesh has them, are in cell_data["kvx:color"] (uint16,
one array per block; 0 for a mesh without colours). Writing takes every "triangle" block as a
mesh (named by its first tag, else "mesh<i>") with the points it uses, puts float points on the
grid with ``kvx.to_grid(points, unit)`` and refuses cell blocks of any other type. Writer keyword
arguments: ``unit``, ``password``, ``colors``.
"""

from __future__ import annotations

import numpy as np

import kvx

UNIT = 0.001
COLOR_KEY = "kvx:color"


def read(path, unit: float | None = None, password: str | None = None):
    import meshio

    unit = UNIT if unit is None else unit
    f = kvx.read(path, password=password)
    offsets, points = [], []
    total = 0
    for m in f.meshes:
        offsets.append(total)
        points.append(m.points)
        total += len(m.points)
    all_points = kvx.from_grid(np.concatenate(points) if points else np.zeros((0, 3)), unit)
    cells = [meshio.CellBlock("triangle", m.triangles.astype(np.int64) + offset, tags=[m.name])
             for m, offset in zip(f.meshes, offsets)]
    cell_data = {}
    if any(m.colors is not None for m in f.meshes):
        cell_data[COLOR_KEY] = [np.array(m.colors) if m.colors is not None
                                else np.zeros(len(m.triangles), dtype=np.uint16)
                                for m in f.meshes]
    return meshio.Mesh(all_points, cells, cell_data=cell_data)


def write(path, mesh, unit: float | None = None, password: str | None = None,
          colors: bool = True):
    unit = UNIT if unit is None else unit
    points = np.asarray(mesh.points)
    if points.ndim != 2 or points.shape[1] not in (2, 3):
        raise ValueError("points must be an N x 3 array")
    if points.shape[1] == 2:
        points = np.column_stack([points, np.zeros(len(points))])
    codes = mesh.cell_data.get(COLOR_KEY)
    meshes = []
    for i, block in enumerate(mesh.cells):
        if block.type != "triangle":
            raise ValueError(f"KVX files hold triangles only: cell block {i} is '{block.type}'")
        used, local = np.unique(np.asarray(block.data), return_inverse=True)
        name = block.tags[0] if getattr(block, "tags", None) else f"mesh{i}"
        block_colors = None if codes is None else np.asarray(codes[i])
        meshes.append(kvx.mesh(name, points[used].astype(np.float64) if points.dtype.kind == "f"
                               else points[used], local.reshape(-1, 3), block_colors, unit=unit))
    kvx.write(path, meshes, password=password, colors=colors, unit=unit)


def register() -> None:
    import meshio

    meshio.register_format("kvx", [".kvx"], read, {"kvx": write})


register()
