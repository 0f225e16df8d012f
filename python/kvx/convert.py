"""File conversion, one file per call, for process pools and clusters.

``convert_file(source, folder)`` converts a mesh file (any format meshio reads: STL, PLY, OBJ,
OFF, ...) into a KVX file, or a KVX file into a mesh file (``to``, by default STL), named after the
source in ``folder``. It returns the path written and raises on failure, leaving no partial
target (KVX targets are replaced atomically by the library; other targets are written to a
temporary name first).
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import kvx


def target_for(source, folder, to: str | None = None) -> Path:
    source = Path(source)
    if to is None:
        to = "stl" if source.suffix.lower() == ".kvx" else "kvx"
    return Path(folder) / (source.stem + "." + to.lstrip("."))


def convert_file(source, folder, to: str | None = None, unit: float = 0.001,
                 password: str | None = None) -> str:
    import meshio

    from . import meshio_plugin

    source = Path(source)
    target = target_for(source, folder, to)
    Path(folder).mkdir(parents=True, exist_ok=True)
    if source.suffix.lower() == ".kvx":
        mesh = meshio_plugin.read(source, unit=unit, password=password)
    else:
        mesh = meshio.read(source)
    if target.suffix.lower() == ".kvx":
        meshio_plugin.write(target, mesh, unit=unit, password=password)
    else:
        fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=".kvx-", suffix=target.suffix)
        os.close(fd)
        try:
            meshio.write(temporary, mesh)
            os.replace(temporary, target)
        finally:
            if os.path.exists(temporary):
                os.remove(temporary)
    return str(target)
