import numpy as np
import pytest


def grid_mesh(n=6, colored=False, offset=0):
    """A bumpy n x n grid: (points N x 3 int, triangles M x 3, colour codes or None)."""
    ys, xs = np.mgrid[0:n + 1, 0:n + 1]
    z = (xs * 7 + ys * 3) % 5
    points = np.column_stack([xs.ravel() * 100 + offset, ys.ravel() * 100, z.ravel()])
    at = lambda x, y: y * (n + 1) + x
    tris = []
    for y in range(n):
        for x in range(n):
            tris.append([at(x, y), at(x + 1, y), at(x + 1, y + 1)])
            tris.append([at(x, y), at(x + 1, y + 1), at(x, y + 1)])
    tris = np.array(tris)
    colors = None
    if colored:
        colors = (0x8000 | (np.arange(len(tris)) * 37 % 0x7FFF)).astype(np.uint16)
    return points, tris, colors


def canonical(points, triangles, colors=None):
    """The triangles as a sorted list of coordinate triples (rotated to start at the smallest
    point, so orientation counts), each with its colour code."""
    points = np.asarray(points)
    out = []
    for i, t in enumerate(np.asarray(triangles)):
        corners = [tuple(int(v) for v in points[k]) for k in t]
        first = corners.index(min(corners))
        corners = corners[first:] + corners[:first]
        out.append((tuple(corners), 0 if colors is None else int(colors[i])))
    return sorted(out)


@pytest.fixture
def grid():
    return grid_mesh
