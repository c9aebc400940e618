"""Figures for the Python package (not a test): prints rates, checks nothing.

  1. marlune.examine over many small files against `marlune info -r -j 1` on the same files.
  2. marlune.dask.convert_tree on a LocalCluster of 2 worker processes against 1, on
     200 files of 4 MiB.

Each conversion puts its files on stable storage (one syncfs per batch), so on one
disk shared by both workers the disk's flushes bound the second figure; with DATA
on a tmpfs (/dev/shm) it shows the package and Dask without the disk.

Run by bench/python.sh, which builds the library and sets MARLUNE_LIBRARY and
MARLUNE_COMMAND. Settings (environment): SMALL_FILES (10000), BIG_FILES (200),
BIG_MIB (4), BATCH_FILES (256: a batch per folder), ROUNDS (5; the best round counts, and the
Dask figures show the median and every round too: on a shared machine they differ), DATA (the
folder for the files).
"""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import marlune


def container(payload_bytes: int) -> bytes:
    header = bytearray(82)
    header[0:4] = b"KVRB"
    struct.pack_into("<h", header, 8, 0)
    struct.pack_into("<I", header, 20, 128)
    body = bytearray(header) + bytes(46)
    chunk = bytearray(8 + 330)
    struct.pack_into("<H", chunk, 2, 17)  # a length a copy sets to 330
    body += chunk * max(1, (payload_bytes - len(body)) // len(chunk))
    return bytes(body)


def best(rounds: int, run) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def examine_figures(data: str, files: int, rounds: int, command: str) -> None:
    folder = os.path.join(data, "small")
    shutil.rmtree(folder, ignore_errors=True)
    one = container(3960)
    for i in range(files):
        sub = os.path.join(folder, f"{i // 1000:02d}")
        if i % 1000 == 0:
            os.makedirs(sub)
        with open(os.path.join(sub, f"{i:05d}.snd"), "wb") as out:
            out.write(one)

    def python_walk() -> None:
        # The same walk as the command's: names in order, every file examined.
        for sub in sorted(os.listdir(folder)):
            path = os.path.join(folder, sub)
            for name in sorted(os.listdir(path)):
                report = marlune.examine(os.path.join(path, name))
                assert report.complete

    def command_walk() -> None:
        subprocess.run([command, "info", "-r", "-j", "1", folder], stdout=subprocess.DEVNULL, check=True)

    python_walk()
    command_walk()  # both with a warm cache
    python_seconds = best(rounds, python_walk)
    command_seconds = best(rounds, command_walk)
    print(f"examine, {files} files of {len(one)} bytes (best of {rounds}):")
    print(f"  marlune.examine        {files / python_seconds:9.0f} files/s ({python_seconds:.3f} s)")
    print(f"  marlune info -r -j 1   {files / command_seconds:9.0f} files/s ({command_seconds:.3f} s)")
    print(f"  ratio                  {command_seconds / python_seconds:9.2f} (target: at least 0.8)")
    shutil.rmtree(folder)


def dask_figures(data: str, files: int, mib: int, rounds: int, batch_files: int) -> None:
    import distributed
    import marlune.dask

    templates = os.path.join(data, "templates")
    work = os.path.join(data, "tree")
    shutil.rmtree(templates, ignore_errors=True)
    os.makedirs(templates)
    big = container(mib * 1024 * 1024)  # just under MIB MiB: whole chunks
    folders = 10
    for i in range(files):
        with open(os.path.join(templates, f"{i:04d}.snd"), "wb") as out:
            out.write(big)

    def lay_out() -> None:
        # Hard links: a conversion removes its source's name, the template stays.
        shutil.rmtree(work, ignore_errors=True)
        for i in range(files):
            sub = os.path.join(work, f"d{i % folders}")
            os.makedirs(sub, exist_ok=True)
            os.link(os.path.join(templates, f"{i:04d}.snd"), os.path.join(sub, f"{i:04d}.snd"))

    results = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            client.wait_for_workers(workers)
            times = []
            for _ in range(rounds):
                lay_out()
                subprocess.run(["sync"], check=True)
                start = time.perf_counter()
                reports = list(marlune.dask.convert_tree(work, client, batch_files=batch_files))
                times.append(time.perf_counter() - start)
                assert len(reports) == files and all(r.status is marlune.Status.OK for r in reports)
            results[workers] = sorted(times)
    total = files * len(big) / (1024 * 1024)
    print(f"marlune.dask.convert_tree, {files} files of {len(big) / 1048576:.1f} MiB in {folders} folders, "
          f"batches of at most {batch_files} (best of {rounds}; then the median and every round, sorted):")
    for workers, times in results.items():
        print(f"  {workers} worker{'s' if workers > 1 else ' '}   {total / times[0]:8.1f} MiB/s ({times[0]:.2f} s; "
              f"median {statistics.median(times):.2f} s; {' '.join(f'{t:.2f}' for t in times)})")
    print(f"  speed-up    {results[1][0] / results[2][0]:8.2f} (target: at least 1.5; medians "
          f"{statistics.median(results[1]) / statistics.median(results[2]):.2f})")
    shutil.rmtree(work)
    shutil.rmtree(templates)


def main() -> None:
    command = os.environ["MARLUNE_COMMAND"]
    rounds = int(os.environ.get("ROUNDS", "5"))
    data = os.environ.get("DATA") or tempfile.mkdtemp(prefix="marlune-bench-")
    os.makedirs(data, exist_ok=True)
    print(f"library {marlune.library_path}; Python {sys.version.split()[0]}; {os.cpu_count()} processors")
    examine_figures(data, int(os.environ.get("SMALL_FILES", "10000")), rounds, command)
    dask_figures(data, int(os.environ.get("BIG_FILES", "200")), int(os.environ.get("BIG_MIB", "4")), rounds,
                 int(os.environ.get("BATCH_FILES", "256")))


if __name__ == "__main__":
    main()
