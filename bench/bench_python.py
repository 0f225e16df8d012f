#!/usr/bin/env python3
"""The Python module against the C++ operators, in one run, on one file of about a million
triangles (a bumpy torus on the grid, with triangle colours):

  - read:  kvx.read(path) (every mesh, its colours) against the C++ import (Operate and every
           mesh taken, bench/bench_operators.cpp);
  - write: kvx.write(path, meshes) of the meshes read (no copy: kvx.Mesh objects) and of the
           same meshes as numpy arrays (copied into the library), against the C++ export.

Medians of REPS runs. Run from a Release build:

  PYTHONPATH=build/release/python python3 bench/bench_python.py build/release/bench/kvx_bench_operators
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import kvx


def torus(nu=1000, nv=500):
    u = 2 * np.pi * np.arange(nu)[:, None] / nu
    v = 2 * np.pi * np.arange(nv)[None, :] / nv
    r = 14000 * (1 + 0.06 * np.sin(9 * u) * np.cos(5 * v) + 0.03 * np.sin(23 * u + 3 * v))
    ring = 35000 + r * np.cos(v)
    points = np.stack([ring * np.cos(u), ring * np.sin(u), r * np.sin(v) + 0 * u], axis=-1)
    points = np.rint(points).reshape(-1, 3).astype(np.int32)
    i, j = np.meshgrid(np.arange(nu), np.arange(nv), indexing="ij")
    at = lambda a, b: (a % nu) * nv + (b % nv)
    quads = np.stack([at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)], axis=-1).reshape(-1, 4)
    triangles = np.concatenate([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]])
    colors = (0x8000 | (np.arange(len(triangles)) // 5000 % 0x7FFF)).astype(np.uint16)
    return points, triangles, colors


def median_ms(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times)


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/kvx_bench_operators"
    reps = int(os.environ.get("REPS", "5"))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "torus.kvx")
        points, triangles, colors = torus()
        kvx.write(path, [("torus", points, triangles, colors)])
        cpp = json.loads(subprocess.run([tool, path, os.path.join(folder, "cpp.kvx"), str(reps)],
                                        check=True, capture_output=True, text=True).stdout)
        read_ms = median_ms(lambda: kvx.read(path), reps)
        meshes = kvx.read(path).meshes
        write_ms = median_ms(lambda: kvx.write(os.path.join(folder, "py.kvx"), meshes), reps)
        arrays = [("torus", points, triangles, colors)]
        write_arrays_ms = median_ms(lambda: kvx.write(os.path.join(folder, "py2.kvx"), arrays), reps)
    print(f"triangles            {cpp['triangles']}")
    print(f"C++ import           {cpp['import_ms']:8.1f} ms")
    print(f"kvx.read             {read_ms:8.1f} ms   {read_ms / cpp['import_ms']:.2f}x")
    print(f"C++ export           {cpp['export_ms']:8.1f} ms")
    print(f"kvx.write (Mesh)     {write_ms:8.1f} ms   {write_ms / cpp['export_ms']:.2f}x")
    print(f"kvx.write (arrays)   {write_arrays_ms:8.1f} ms   {write_arrays_ms / cpp['export_ms']:.2f}x")


if __name__ == "__main__":
    main()
