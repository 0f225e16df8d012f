"""Converts every mesh file of a folder into KVX files on a Dask cluster.

    python3 dask_convert.py SRC_DIR DST_DIR [SCHEDULER_ADDRESS]

Without a scheduler address it starts a LocalCluster of 2 worker processes. The library runs one
operator at a time per process, so workers must be processes (one thread each), not threads.
"""

from __future__ import annotations

import sys
from pathlib import Path

from dask.distributed import Client, LocalCluster

from kvx.convert import convert_file

MESH_SUFFIXES = {".stl", ".ply", ".obj", ".off", ".kvx"}


def convert_folder(source: str, target: str, client: Client) -> list[str]:
    files = sorted(str(p) for p in Path(source).iterdir() if p.suffix.lower() in MESH_SUFFIXES)
    futures = client.map(convert_file, files, folder=target, pure=False)
    return client.gather(futures)


def main(argv: list[str]) -> int:
    source, target = argv[1], argv[2]
    if len(argv) > 3:
        client = Client(argv[3])
        cluster = None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        for written in convert_folder(source, target, client):
            print(written)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
