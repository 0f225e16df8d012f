import gc
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import kvx
from conftest import canonical, grid_mesh


def content(mesh):
    return canonical(mesh.points, mesh.triangles, mesh.colors)


@pytest.mark.parametrize("colors", [True, False])
@pytest.mark.parametrize("password", [None, "s3cret"])
def test_round_trip(tmp_path, colors, password):
    a = grid_mesh(5, colored=True)
    b = grid_mesh(3, colored=False, offset=10_000)
    path = tmp_path / "two.kvx"
    blocks = [np.array([1, 2, 65535], dtype=np.uint16), [7]]
    kvx.write(path, [("first", *a), ("second", *b)], password=password, colors=colors,
              data_blocks=blocks)
    f = kvx.read(path, password=password, colors=colors)
    assert [m.name for m in f.meshes] == ["first", "second"]
    assert content(f.meshes[0]) == canonical(a[0], a[1], a[2] if colors else None)
    assert content(f.meshes[1]) == canonical(b[0], b[1])
    assert f.meshes[1].colors is None
    for m in f.meshes:
        assert m.points.dtype == np.int32 and m.points.shape[1] == 3
        assert m.triangles.dtype == np.uint32 and m.triangles.shape[1] == 3
        assert m.color is None if not colors else isinstance(m.color, kvx.Color)
    assert [list(b) for b in f.data_blocks] == [[1, 2, 65535], [7]]
    assert all(b.dtype == np.uint16 for b in f.data_blocks)


def test_meshes_read_back_are_written_as_they_are(tmp_path):
    points, tris, colors = grid_mesh(4, colored=True)
    kvx.write(tmp_path / "a.kvx", [kvx.mesh("m", points, tris, colors)])
    first = kvx.read(tmp_path / "a.kvx").meshes[0]
    kvx.write(tmp_path / "b.kvx", [first])
    again = kvx.read(tmp_path / "b.kvx").meshes[0]
    assert again.name == "m" and content(again) == content(first)


def test_objects_with_attributes_and_float_points(tmp_path):
    class Part:
        name = "part"
        points = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0015, 2.5]])
        triangles = np.array([[0, 1, 2]])

    kvx.write(tmp_path / "p.kvx", [Part()])
    m = kvx.read(tmp_path / "p.kvx").meshes[0]
    assert content(m) == canonical([[0, 0, 0], [1000, 0, 0], [0, 2, 2500]], [[0, 1, 2]])
    np.testing.assert_allclose(kvx.from_grid(np.sort(m.points, axis=0)),
                               [[0, 0, 0], [0, 0, 0], [1, 0.002, 2.5]])


def test_arrays_are_views_of_the_library_buffers(tmp_path):
    points, tris, colors = grid_mesh(4, colored=True)
    kvx.write(tmp_path / "a.kvx", [("m", points, tris, colors)])
    m = kvx.read(tmp_path / "a.kvx").meshes[0]
    p, t, c = m.points, m.triangles, m.colors
    # Every view of a mesh's points is the same memory; triangles and colours are strided
    # over the same triangle records.
    assert np.shares_memory(p, m.points)
    record = kvx._kvx.triangle_record_bytes
    assert t.strides == (record, 4) and c.strides == (record,)
    start = lambda a: a.__array_interface__["data"][0]
    assert 0 < start(c) - start(t) < record
    assert p.base is m and t.base is m
    assert not p.flags.writeable and not t.flags.writeable
    with pytest.raises(ValueError):
        p[0, 0] = 5
    # The arrays keep the mesh alive.
    expected = content(m)
    del m
    gc.collect()
    assert canonical(p, t, c) == expected


def test_to_grid():
    np.testing.assert_array_equal(kvx.to_grid([[0.0014, -0.0016, 2.0]]), [[1, -2, 2000]])
    np.testing.assert_array_equal(kvx.to_grid([[1.5, 2, 3]], unit=0.5), [[3, 4, 6]])
    for bad in ([[np.nan, 0, 0]], [[np.inf, 0, 0]], [[3e6, 0, 0]], [[-2.2e6, 0, 0]]):
        with pytest.raises(ValueError):
            kvx.to_grid(bad)
    with pytest.raises(ValueError):
        kvx.to_grid([[1, 2, 3]], unit=0)


@pytest.mark.parametrize("mesh", [
    ("bad index", [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 3]]),
    ("negative index", [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, -1]]),
    ("points not N x 3", [[0, 0], [1, 0], [0, 1]], [[0, 1, 2]]),
    ("point beyond int32", [[0, 0, 2**31], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]),
    ("colours of the wrong count", [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], [1, 2]),
    ("colour beyond 16 bits", [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], [70000]),
])
def test_invalid_meshes_are_refused_before_writing(tmp_path, mesh):
    target = tmp_path / "x.kvx"
    target.write_bytes(b"old")
    with pytest.raises(ValueError):
        kvx.write(target, [mesh])
    assert target.read_bytes() == b"old"


def protected(tmp_path):
    path = tmp_path / "protected.kvx"
    kvx.write(path, [("m", *grid_mesh(2)[:2])], password="right")
    return path


def truncated(tmp_path):
    path = tmp_path / "cut.kvx"
    kvx.write(path, [("m", *grid_mesh(8)[:2])])
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


@pytest.mark.parametrize("make, password, error, code", [
    (lambda d: d / "missing.kvx", None, kvx.CannotOpen, 5),
    (lambda d: (d / "text.kvx").write_text("solid x\nendsolid x\n") and d / "text.kvx", None,
     kvx.NotKvx, 3),
    (protected, None, kvx.WrongPassword, 4),
    (protected, "wrong", kvx.WrongPassword, 4),
    (truncated, None, kvx.CorruptFile, None),
])
def test_read_errors(tmp_path, make, password, error, code):
    path = make(tmp_path)
    with pytest.raises(error) as caught:
        kvx.read(path, password=password)
    assert isinstance(caught.value, kvx.KvxError)
    assert caught.value.operation == "import" and caught.value.path == str(path)
    if code is not None:
        assert caught.value.code == code


def test_write_errors(tmp_path):
    mesh = ("m", *grid_mesh(2)[:2])
    with pytest.raises(kvx.NoMeshes) as caught:
        kvx.write(tmp_path / "none.kvx", [])
    assert caught.value.code == 4
    with pytest.raises(kvx.CannotWrite) as caught:
        kvx.write(tmp_path / "no" / "such" / "folder.kvx", [mesh])
    assert caught.value.code == 6 and caught.value.operation == "export"
    with pytest.raises(kvx.SelfExtractingFailed) as caught:
        kvx.write(tmp_path / "p.kvx", [mesh], sfx=tmp_path / "no-stub")
    assert isinstance(caught.value, kvx.CannotWrite) and caught.value.code == 5
    assert not (tmp_path / "p.exe").exists()


@pytest.mark.skipif("KVX_SFX_STUB" not in os.environ, reason="the stub is built by CMake")
def test_self_extracting_package(tmp_path):
    kvx.write(tmp_path / "p.kvx", [("m", *grid_mesh(2)[:2])], sfx=os.environ["KVX_SFX_STUB"])
    package = tmp_path / "p.exe"
    assert package.exists() and package.stat().st_size > 0


def test_hostile_files_raise(tmp_path):
    good = tmp_path / "good.kvx"
    kvx.write(good, [("m", *grid_mesh(6, colored=True))])
    data = good.read_bytes()
    rng = np.random.default_rng(5)
    cases = [data[:8] + bytes(rng.integers(0, 256, 300, dtype=np.uint8)), data[:8]]
    for i in range(8, len(data), max(1, len(data) // 40)):
        flipped = bytearray(data)
        flipped[i] ^= 0x10
        cases.append(bytes(flipped))
    corpus = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "corpus", "fuzz_envelope")
    if os.path.isdir(corpus):
        cases += [open(os.path.join(corpus, f), "rb").read() for f in sorted(os.listdir(corpus))]
    for k, case in enumerate(cases):
        path = tmp_path / f"bad{k}.kvx"
        path.write_bytes(case)
        try:
            f = kvx.read(path)
        except kvx.KvxError:
            continue
        # A read that succeeds gives sound meshes.
        for m in f.meshes:
            assert m.triangles.size == 0 or m.triangles.max() < len(m.points)


def test_threads_are_serialised(tmp_path):
    meshes = []
    for i in range(4):
        path = tmp_path / f"m{i}.kvx"
        points, tris, colors = grid_mesh(10 + i, colored=True)
        kvx.write(path, [(f"m{i}", points, tris, colors)])
        meshes.append((path, canonical(points, tris, colors)))
    failures = []

    def work(path, expected):
        for _ in range(5):
            m = kvx.read(path).meshes[0]
            if content(m) != expected:
                failures.append(path)

    threads = [threading.Thread(target=work, args=item) for item in meshes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def test_convert_command(tmp_path):
    meshio = pytest.importorskip("meshio")
    sources = []
    for i in range(3):
        points, tris, _ = grid_mesh(3 + i)
        path = tmp_path / f"part{i}.stl"
        meshio.write(path, meshio.Mesh(points * 0.001, [("triangle", tris)]), binary=True)
        sources.append(str(path))
    (tmp_path / "broken.stl").write_bytes(b"\0" * 10)
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "kvx", "convert", *sources,
                          str(tmp_path / "broken.stl"), "-o", str(out), "-j", "2"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 1, run.stderr
    assert "3 converted, 1 failed" in run.stderr
    for i in range(3):
        m = kvx.read(out / f"part{i}.kvx").meshes[0]
        points, tris, _ = grid_mesh(3 + i)
        assert content(m) == canonical(points, tris)
    # And back to STL.
    back = subprocess.run([sys.executable, "-m", "kvx", "convert", str(out / "part0.kvx"), "-o",
                           str(tmp_path / "back")], capture_output=True, text=True, timeout=300)
    assert back.returncode == 0, back.stderr
    stl = meshio.read(tmp_path / "back" / "part0.stl")
    assert len(stl.cells_dict["triangle"]) == len(grid_mesh(3)[1])
