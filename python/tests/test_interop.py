import os
import runpy
import sys

import numpy as np
import pytest

import kvx
from conftest import canonical, grid_mesh

meshio = pytest.importorskip("meshio")
import kvx.meshio_plugin  # noqa: E402  registers the format


def test_meshio_round_trip(tmp_path):
    a_points, a_tris, a_colors = grid_mesh(4, colored=True)
    b_points, b_tris, _ = grid_mesh(2, offset=5000)
    kvx.write(tmp_path / "in.kvx", [("alpha", a_points, a_tris, a_colors), ("beta", b_points, b_tris)])
    m = meshio.read(tmp_path / "in.kvx")
    assert [block.type for block in m.cells] == ["triangle", "triangle"]
    assert [block.tags for block in m.cells] == [["alpha"], ["beta"]]
    assert m.points.dtype == np.float64
    codes = m.cell_data["kvx:color"]
    assert not codes[1].any()
    first = canonical(np.rint(m.points * 1000).astype(np.int64), m.cells[0].data, codes[0])
    assert first == canonical(a_points, a_tris, a_colors)
    # Written back through meshio: the same meshes, names and colours.
    meshio.write(tmp_path / "out.kvx", m)
    f = kvx.read(tmp_path / "out.kvx")
    assert [x.name for x in f.meshes] == ["alpha", "beta"]
    assert canonical(f.meshes[0].points, f.meshes[0].triangles, f.meshes[0].colors) == first
    assert canonical(f.meshes[1].points, f.meshes[1].triangles) == canonical(b_points, b_tris)


def test_meshio_refuses_other_cells_and_takes_a_unit(tmp_path):
    quad = meshio.Mesh([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], [("quad", [[0, 1, 2, 3]])])
    with pytest.raises(ValueError, match="quad"):
        meshio.write(tmp_path / "q.kvx", quad)
    tri = meshio.Mesh([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]], [("triangle", [[0, 1, 2]])])
    meshio.write(tmp_path / "t.kvx", tri, unit=0.5)
    assert sorted(kvx.read(tmp_path / "t.kvx").meshes[0].points.max(axis=0)) == [0, 2, 2]


def test_numpy_stl_round_trip():
    pytest.importorskip("stl")
    from kvx.numpy_stl import from_numpy_stl, to_numpy_stl

    points, tris, _ = grid_mesh(3)
    m = kvx.mesh("g", points, tris)
    stl_mesh = to_numpy_stl(m)
    assert stl_mesh.vectors.shape == (len(tris), 3, 3)
    back = from_numpy_stl(stl_mesh, "g")
    assert canonical(back.points, back.triangles) == canonical(points, tris)


def test_dask_example_on_a_local_cluster(tmp_path, monkeypatch):
    pytest.importorskip("distributed")
    source = tmp_path / "src"
    source.mkdir()
    for i in range(3):
        points, tris, _ = grid_mesh(2 + i)
        meshio.write(source / f"m{i}.stl", meshio.Mesh(points * 0.001, [("triangle", tris)]),
                     binary=True)
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "dask_convert.py")
    monkeypatch.setattr(sys, "argv", ["dask_convert.py", str(source), str(tmp_path / "dst")])
    with pytest.raises(SystemExit) as done:
        runpy.run_path(example, run_name="__main__")
    assert done.value.code == 0
    for i in range(3):
        points, tris, _ = grid_mesh(2 + i)
        m = kvx.read(tmp_path / "dst" / f"m{i}.kvx").meshes[0]
        assert canonical(m.points, m.triangles) == canonical(points, tris)
