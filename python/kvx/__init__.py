"""KVX project files from Python: meshes as numpy arrays.

    >>> import kvx
    >>> f = kvx.read("part.kvx")
    >>> mesh = f.meshes[0]
    >>> mesh.name, mesh.points.shape, mesh.triangles.shape
    ('part', (1234, 3), (2464, 3))
    >>> kvx.write("copy.kvx", f.meshes)

Points are int32 triples on the file's integer grid; triangles are uint32 point indices; colour
codes are the 16-bit binary-STL facet codes (bit 15 set when a colour is valid, then 5 bits each
of red, green and blue). Arrays read from a file are read-only views of the library's buffers.

One operator runs at a time in a process: calls from several threads are serialised by a lock.
Do parallel work with processes (``python3 -m kvx convert``, or see docs/python.md).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Iterable, NamedTuple, Optional, Sequence

import numpy as np

from . import _kvx

__all__ = [
    "read", "write", "mesh", "to_grid", "from_grid", "KvxFile", "Mesh", "Color",
    "KvxError", "NotKvx", "WrongPassword", "CannotOpen", "CorruptFile",
    "MemoryBudgetExceeded", "TempFileFailed", "CannotWrite", "SelfExtractingFailed",
    "NoMeshes",
]

Mesh = _kvx.Mesh


class Color(NamedTuple):
    """A mesh colour: 8-bit red, green and blue, and the file's colour kind (0 to 3)."""
    rgb: tuple
    kind: int


# ---- errors -------------------------------------------------------------------------------------

class KvxError(Exception):
    """A failed read or write. ``code`` is the operator's result code, ``operation`` is
    "import" or "export", ``path`` the file."""

    def __init__(self, message: str, code: int, operation: str, path: str):
        super().__init__(message)
        self.code = code
        self.operation = operation
        self.path = path


class NotKvx(KvxError):
    """The file is not a KVX file (no KVX magic word)."""


class WrongPassword(KvxError):
    """The file is password protected and the password is missing or wrong."""


class CannotOpen(KvxError):
    """The file cannot be opened."""


class CorruptFile(KvxError):
    """The file is damaged or not what a KVX writer produces."""


class MemoryBudgetExceeded(CorruptFile):
    """Reading the file would take more memory than its size allows (it claims far more than it
    holds); on writing, the file would be one that readers refuse for that reason."""


class TempFileFailed(KvxError):
    """The temporary file of a read could not be made."""


class CannotWrite(KvxError):
    """The target file could not be written; what was there before is unchanged."""


class SelfExtractingFailed(CannotWrite):
    """The self-extracting package could not be built (the stub is missing or unreadable)."""


class NoMeshes(KvxError):
    """A write without any mesh: a KVX file holds at least one."""


_IMPORT_ERRORS = {
    0: (CorruptFile, "the file is damaged"),
    3: (NotKvx, "not a KVX file"),
    4: (WrongPassword, "wrong or missing password"),
    5: (CannotOpen, "cannot open the file"),
    6: (CannotOpen, "no file name"),
    10: (CorruptFile, "the file's compressed content is damaged"),
    11: (TempFileFailed, "cannot create the temporary file"),
    12: (MemoryBudgetExceeded, "the file claims more content than its size allows"),
}

_EXPORT_ERRORS = {
    3: (CannotWrite, "no file name"),
    4: (NoMeshes, "no meshes to write"),
    5: (SelfExtractingFailed, "cannot build the self-extracting package"),
    6: (CannotWrite, "cannot write the file"),
    7: (CannotWrite, "cannot write the file's content"),
    8: (MemoryBudgetExceeded, "the meshes would make a file that readers refuse (too dense)"),
}


def _raise(table: dict, code: int, operation: str, path: str) -> None:
    cls, text = table.get(code, (KvxError, "failed"))
    raise cls(f"{path}: {text} ({operation} result {code})", code, operation, path)


# ---- grid ---------------------------------------------------------------------------------------

_INT32 = np.iinfo(np.int32)


def to_grid(points, unit: float = 0.001) -> np.ndarray:
    """Float coordinates onto the integer grid: each divided by ``unit`` (the grid step, in the
    coordinates' own unit: 0.001 puts millimetres on a 1 µm grid) and rounded to the nearest
    step. Raises ValueError when a coordinate is not finite or its step does not fit an int32."""
    if not unit > 0 or not np.isfinite(unit):
        raise ValueError("unit must be a positive length")
    p = np.asarray(points, dtype=np.float64)
    if p.ndim != 2 or p.shape[1] != 3:
        raise ValueError("points must be an N x 3 array")
    steps = np.rint(p / unit)
    if not np.all(np.isfinite(steps)):
        raise ValueError("a coordinate is not a finite number")
    if steps.size and (steps.min() < _INT32.min or steps.max() > _INT32.max):
        worst = float(np.abs(p).max())
        raise ValueError(f"a coordinate ({worst:g}) does not fit the grid of step {unit:g}: "
                         "use a larger unit")
    return steps.astype(np.int32)


def from_grid(points, unit: float = 0.001) -> np.ndarray:
    """Grid points back to float coordinates (float64): each step times ``unit``."""
    return np.asarray(points, dtype=np.float64) * unit


def _grid_points(points, unit: float) -> np.ndarray:
    p = np.asarray(points)
    if p.ndim != 2 or p.shape[1] != 3:
        raise ValueError("points must be an N x 3 array")
    if p.dtype.kind == "f":
        return to_grid(p, unit)
    if p.dtype.kind not in "iu":
        raise ValueError(f"points must be integers or floats, not {p.dtype}")
    if p.size and (p.min() < _INT32.min or p.max() > _INT32.max):
        raise ValueError("a point does not fit an int32")
    return np.ascontiguousarray(p, dtype=np.int32)


def _indices(triangles, points: int) -> np.ndarray:
    t = np.asarray(triangles)
    if t.ndim != 2 or t.shape[1] != 3:
        raise ValueError("triangles must be an M x 3 array")
    if t.dtype.kind not in "iu":
        raise ValueError(f"triangles must be integer indices, not {t.dtype}")
    if t.size and (t.min() < 0 or t.max() >= points):
        raise ValueError("a triangle names a point the mesh does not have")
    return np.ascontiguousarray(t, dtype=np.uint32)


def _codes(colors, triangles: int) -> Optional[np.ndarray]:
    if colors is None:
        return None
    c = np.asarray(colors)
    if c.ndim != 1 or c.shape[0] != triangles:
        raise ValueError("colors must hold one code per triangle")
    if c.dtype.kind not in "iu" or (c.size and (c.min() < 0 or c.max() > 0xFFFF)):
        raise ValueError("colour codes must be integers from 0 to 65535")
    return np.ascontiguousarray(c, dtype=np.uint16)


def mesh(name: str, points, triangles, colors=None, unit: float = 0.001) -> Mesh:
    """A Mesh from arrays (copied): integer points as they are, float points through
    ``to_grid(points, unit)``."""
    p = _grid_points(points, unit)
    t = _indices(triangles, len(p))
    return Mesh.from_arrays(str(name), p, t, _codes(colors, len(t)))


def _as_mesh(item, unit: float) -> Mesh:
    if isinstance(item, Mesh):
        return item
    if isinstance(item, (tuple, list)):
        if len(item) not in (3, 4):
            raise ValueError("a mesh is (name, points, triangles[, colors])")
        return mesh(*item, unit=unit)
    try:
        name, points, triangles = item.name, item.points, item.triangles
    except AttributeError:
        raise TypeError("a mesh is a kvx.Mesh, a (name, points, triangles[, colors]) tuple or "
                        "an object with name, points and triangles") from None
    return mesh(name, points, triangles, getattr(item, "colors", None), unit=unit)


# ---- files --------------------------------------------------------------------------------------

@dataclass
class KvxFile:
    """What a KVX file holds: its meshes (each with its colour when the file's scene gives one),
    the data blocks (uint16 arrays) and all mesh colours in the file's order."""
    meshes: list
    data_blocks: list = field(default_factory=list)
    colors: list = field(default_factory=list)

    def __iter__(self):
        return iter(self.meshes)

    def __len__(self):
        return len(self.meshes)


def read(path, password: Optional[str] = None, colors: bool = True) -> KvxFile:
    """Reads a KVX file. With ``colors``, triangle colours and mesh colours are read too;
    without, every mesh's ``colors`` and ``color`` are None.
    Raises a KvxError subclass on failure, never returns part of a file."""
    path = os.fspath(path)
    code, meshes, mesh_colors, blocks = _kvx.read(path, password, colors)
    if code != 1:
        _raise(_IMPORT_ERRORS, code, "import", path)
    palette = [Color((r, g, b), kind) for r, g, b, kind in mesh_colors]
    # The importer lists one colour per mesh for each scene that lists it; with one scene (what
    # writers produce) that is one per mesh, in order.
    for i, m in enumerate(meshes):
        m.color = palette[i] if len(palette) == len(meshes) else None
    return KvxFile(meshes=meshes, data_blocks=blocks, colors=palette)


def write(path, meshes: Iterable, password: Optional[str] = None, colors: bool = True,
          data_blocks: Sequence = (), sfx=None, unit: float = 0.001) -> None:
    """Writes a KVX file (or, with ``sfx`` naming the stub, a self-extracting package).

    ``meshes``: kvx.Mesh objects (written without a copy), (name, points, triangles[, colors])
    tuples, or objects with those attributes. Points may be integers (taken as grid steps) or
    floats (put on the grid with ``to_grid(points, unit)``). With ``colors`` the triangle colour
    codes are written; without, none are (meshes that have them are copied without them). ``data_blocks``: sequences of uint16 values. The target is replaced only
    when the whole file could be written. Raises a KvxError subclass on failure."""
    path = os.fspath(path)
    items = [_as_mesh(m, unit) for m in meshes]
    if not colors:
        # Mesh payloads carry triangle colours of their own: leave them out.
        items = [m if m.colors is None else mesh(m.name, m.points, m.triangles) for m in items]
    blocks = []
    for b in data_blocks:
        a = np.asarray(b)
        if a.ndim != 1 or (a.size and (a.dtype.kind not in "iu" or a.min() < 0 or a.max() > 0xFFFF)):
            raise ValueError("a data block is a sequence of integers from 0 to 65535")
        blocks.append(np.ascontiguousarray(a, dtype=np.uint16))
    code = _kvx.write(path, items, password, colors, blocks,
                      None if sfx is None else os.fspath(sfx))
    if code != 1:
        _raise(_EXPORT_ERRORS, code, "export", path)
