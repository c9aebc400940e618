"""Peak memory of the Python package and of the marlune.dask client over runs of many
small files (not a test): prints figures, checks nothing.

For each count of files (FILES, default "50000 1000000"), a tree of folders of
PER_FOLDER (1,000) names is laid out under DATA (default a folder in /dev/shm) as
hard links to one small container, and each run goes in a fresh process, whose
peak resident memory (ru_maxrss, the interpreter and the library included) is
printed beside that of a process that only imports the package:

  examine_tree               marlune.examine_tree(tree), every report taken
  convert_tree dry run       marlune.convert_tree(tree, dry_run=True)
  copy_tree                  marlune.copy_tree(tree, DATA/tree-copy): every file written
  dask client, dry run       marlune.dask.convert_tree(tree, client, dry_run=True,
                             batch_files=1000) against a `dask scheduler` and two
                             `dask worker` processes started here; the client's
                             process alone is measured

Settings (environment): MARLUNE_LIBRARY (required), FILES, PER_FOLDER, DATA, DASK
("0" leaves the Dask figure out). The tree is removed at the end.
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")

RUNS = {
    "import only": "pass",
    "examine_tree": "n = sum(1 for r in marlune.examine_tree(tree, workers=2))",
    "convert_tree dry run": "n = sum(1 for r in marlune.convert_tree(tree, dry_run=True, workers=2))",
    "copy_tree": "n = sum(1 for r in marlune.copy_tree(tree, tree + '-copy', workers=2))",
    "dask client, dry run": (
        "import distributed, marlune.dask\n"
        "with distributed.Client(scheduler_file=sys.argv[2]) as client:\n"
        "    n = sum(1 for r in marlune.dask.convert_tree(tree, client, dry_run=True, batch_files=1000))"),
}

CHILD = """
import resource, sys, time
import marlune
tree = sys.argv[1]
n = 0
start = time.perf_counter()
{run}
seconds = time.perf_counter() - start
print(n, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, f"{{seconds:.1f}}")
"""


def container() -> bytes:
    header = bytearray(82)
    header[0:4] = b"KVRB"
    struct.pack_into("<I", header, 20, 82)
    chunk = bytearray(8 + 330)
    struct.pack_into("<H", chunk, 2, 330)
    return bytes(header + chunk)


def lay_out(tree: str, files: int, per_folder: int) -> None:
    template = os.path.join(os.path.dirname(tree), "template.snd")
    with open(template, "wb") as out:
        out.write(container())
    for i in range(files):
        if i % per_folder == 0:
            folder = os.path.join(tree, f"{i // per_folder:05d}")
            os.makedirs(folder)
        os.link(template, os.path.join(folder, f"{i % per_folder:04d}.snd"))


def measure(name: str, tree: str, env: dict, scheduler_file: str) -> str:
    done = subprocess.run([sys.executable, "-c", CHILD.format(run=RUNS[name]), tree, scheduler_file], env=env,
                          capture_output=True, text=True, check=True)
    count, kib, seconds = done.stdout.split()
    return f"{int(kib) / 1024:7.1f} MiB  ({count} reports, {seconds} s)"


class Cluster:
    """A scheduler and two workers, as a deployment starts them."""

    def __init__(self, folder: str, env: dict) -> None:
        self.file = os.path.join(folder, "scheduler.json")
        self.processes = []
        dask = shutil.which("dask", path="/usr/bin:/bin")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
        self.processes.append(subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0",
                                                "--no-dashboard", "--scheduler-file", self.file], **quiet))
        while not os.path.exists(self.file):
            time.sleep(0.1)
        for i in range(2):
            self.processes.append(subprocess.Popen(
                [dask, "worker", "--scheduler-file", self.file, "--host", "127.0.0.1", "--nthreads", "1",
                 "--no-dashboard", "--local-directory", os.path.join(folder, f"worker{i}")], **quiet))
        time.sleep(5)

    def stop(self) -> None:
        for process in reversed(self.processes):
            process.send_signal(signal.SIGTERM)
            process.wait(60)


def main() -> None:
    counts = [int(n) for n in os.environ.get("FILES", "50000 1000000").split()]
    per_folder = int(os.environ.get("PER_FOLDER", "1000"))
    data = os.environ.get("DATA") or tempfile.mkdtemp(prefix="marlune-memory-", dir="/dev/shm")
    env = {**os.environ, "PYTHONPATH": os.path.abspath(PACKAGE), "LC_ALL": "C.UTF-8"}
    names = [n for n in RUNS if os.environ.get("DASK", "1") != "0" or not n.startswith("dask")]
    cluster = Cluster(data, env) if any(n.startswith("dask") for n in names) else None
    print(f"Python {sys.version.split()[0]}; {os.cpu_count()} processors; data in {data}; "
          f"peak resident memory of each process")
    try:
        for files in counts:
            tree = os.path.join(data, "tree")
            lay_out(tree, files, per_folder)
            print(f"{files} files in folders of {per_folder}:")
            for name in names:
                print(f"  {name:22} {measure(name, tree, env, cluster.file if cluster else '')}", flush=True)
            shutil.rmtree(tree)
            shutil.rmtree(tree + "-copy", ignore_errors=True)
    finally:
        if cluster:
            cluster.stop()
        shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    main()
