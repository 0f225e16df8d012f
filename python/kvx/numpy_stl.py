"""Conversion between kvx meshes and numpy-stl (``stl.mesh.Mesh``) meshes.

numpy-stl holds each triangle as three float corners; kvx meshes are indexed and on the integer
grid. ``from_numpy_stl`` puts the corners on the grid (``kvx.to_grid``) and welds corners that
land on the same grid point; ``to_numpy_stl`` gives float32 corners, each grid step times
``unit``.
"""

from __future__ import annotations

import numpy as np

import kvx


def from_numpy_stl(stl_mesh, name: str = "mesh", unit: float = 0.001) -> "kvx.Mesh":
    corners = np.asarray(stl_mesh.vectors, dtype=np.float64).reshape(-1, 3)
    grid = kvx.to_grid(corners, unit)
    points, inverse = np.unique(grid, axis=0, return_inverse=True)
    return kvx.mesh(name, points, inverse.reshape(-1, 3))


def to_numpy_stl(mesh: "kvx.Mesh", unit: float = 0.001):
    from stl import mesh as stl_mesh

    out = stl_mesh.Mesh(np.zeros(len(mesh.triangles), dtype=stl_mesh.Mesh.dtype))
    out.vectors[:] = kvx.from_grid(mesh.points, unit)[mesh.triangles]
    out.update_normals()
    return out
