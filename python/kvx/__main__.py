"""python3 -m kvx convert SRC... -o DIR: converts many files with a pool of processes."""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed

from .convert import convert_file, target_for


def _convert(args: argparse.Namespace) -> int:
    sources = args.sources
    jobs = args.jobs or os.cpu_count() or 1
    failures = 0
    start = time.monotonic()
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        futures = {pool.submit(convert_file, s, args.output, args.to, args.unit, args.password): s
                   for s in sources}
        for done, future in enumerate(as_completed(futures), 1):
            source = futures[future]
            try:
                written = future.result()
                status = f"-> {written}"
            except Exception as e:  # reported per file; the others go on
                failures += 1
                status = f"FAILED: {type(e).__name__}: {e}"
            print(f"[{done}/{len(sources)}] {source} {status}", file=sys.stderr, flush=True)
    elapsed = time.monotonic() - start
    print(f"{len(sources) - failures} converted, {failures} failed, {elapsed:.1f} s, {jobs} processes",
          file=sys.stderr)
    return 1 if failures else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m kvx", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser("convert", help="convert mesh files to KVX files and back")
    convert.add_argument("sources", nargs="+", metavar="SRC",
                         help="mesh files (STL, PLY, OBJ, OFF, ...) or KVX files")
    convert.add_argument("-o", "--output", required=True, metavar="DIR", help="target folder")
    convert.add_argument("--to", help="target format for KVX sources (default stl); other "
                                      "sources become KVX files")
    convert.add_argument("-j", "--jobs", type=int, default=0,
                         help="worker processes (default: one per core)")
    convert.add_argument("--unit", type=float, default=0.001,
                         help="grid step in the mesh files' unit (default 0.001: 1 µm in mm)")
    convert.add_argument("--password", help="password of the KVX files read or written")
    args = parser.parse_args(argv)
    if args.jobs < 0:
        parser.error("--jobs must be positive")
    targets = [target_for(s, args.output, args.to) for s in args.sources]
    if len(set(targets)) != len(targets):
        parser.error("two sources would write the same target")
    return _convert(args)


if __name__ == "__main__":
    sys.exit(main())
