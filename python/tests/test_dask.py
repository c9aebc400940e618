"""marlune.dask on two clusters of two worker processes on this machine: a LocalCluster,
and one started as a deployment is (`dask scheduler`, two `dask worker`)."""
import functools
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path
from typing import Iterator, List

import pytest

distributed = pytest.importorskip("distributed", reason="Debian's python3-distributed is not installed")
import marlune  # noqa: E402
import marlune._library  # noqa: E402
import marlune.dask  # noqa: E402
from marlune._tree import run_options  # noqa: E402
from conftest import BROKEN, FIXED, PER_CHUNK, normalised, write  # noqa: E402

TESTS = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def local() -> Iterator["distributed.Client"]:
    # Processes, as on a real cluster: each worker loads the package and the library itself
    # (MARLUNE_LIBRARY and the path to the package come from this process's environment).
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=40)
    with cluster, distributed.Client(cluster) as connected:
        connected.wait_for_workers(2, timeout=60)
        yield connected


def _stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def deployed(tmp_path_factory: pytest.TempPathFactory) -> Iterator["distributed.Client"]:
    """A scheduler and two workers started by their commands, on 127.0.0.1 with free ports,
    the package and the library reached through the environment, as on a cluster's machines."""
    dask = shutil.which("dask", path="/usr/bin:/bin:" + os.environ.get("PATH", ""))
    if dask is None:
        pytest.skip("no dask command (Debian's python3-distributed provides it)")
    folder = tmp_path_factory.mktemp("cluster")
    address_file = folder / "scheduler.json"
    package = Path(marlune.__file__).resolve().parents[1]
    env = {**os.environ, "MARLUNE_LIBRARY": marlune.library_path,
           "PYTHONPATH": os.pathsep.join([str(package), str(TESTS)])}
    log = open(folder / "cluster.log", "wb")
    started: List[subprocess.Popen] = []
    try:
        started.append(subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                         "--scheduler-file", str(address_file)], env=env, stdout=log, stderr=log))
        deadline = time.monotonic() + 60
        while not address_file.exists() and started[0].poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        assert address_file.exists(), (folder / "cluster.log").read_text()
        for i in range(2):
            started.append(subprocess.Popen(
                [dask, "worker", "--scheduler-file", str(address_file), "--host", "127.0.0.1", "--nthreads", "1",
                 "--no-dashboard", "--local-directory", str(folder / f"worker{i}")], env=env, stdout=log,
                stderr=log))
        with distributed.Client(scheduler_file=str(address_file)) as connected:
            connected.wait_for_workers(2, timeout=60)
            yield connected
    finally:
        for process in reversed(started):
            _stop(process)
        log.close()


@pytest.fixture(params=["local", "deployed"])
def client(request: pytest.FixtureRequest) -> "distributed.Client":
    return request.getfixturevalue(request.param)


def tree(root: Path) -> None:
    for folder in range(4):
        for i in range(3):
            write(root / f"f{folder}" / f"{i}.snd", FIXED if i != 1 else PER_CHUNK)
    write(root / "f2" / "cut.snd", BROKEN["payload-cut"][0])
    write(root / "f3" / "readme.txt", b"no audio")
    write(root / "f3" / "0.wav", FIXED)  # its .kv name is 0.snd's


def test_convert_tree_as_the_package_does(tmp_path: Path, client: "distributed.Client") -> None:
    tree(tmp_path / "dask")
    tree(tmp_path / "local")
    with distributed.get_task_stream(client) as stream:
        run = marlune.dask.convert_tree(tmp_path / "dask", client, batch_files=2)
        reports = list(run)
    local = marlune.convert_tree(tmp_path / "local", workers=1, batch_files=2)
    expected = list(local)
    relative = [os.path.relpath(r.source, tmp_path / "dask") for r in reports]
    assert relative == [os.path.relpath(r.source, tmp_path / "local") for r in expected]
    assert [r.status for r in reports] == [r.status for r in expected]
    assert [(r.outcome, r.reason.replace(str(tmp_path / "dask"), "")) for r in reports] == \
        [(r.outcome, r.reason.replace(str(tmp_path / "local"), "")) for r in expected]
    # Counted where the steps come back, as the library counts the local run.
    assert run.summary == local.summary
    assert run.summary.counts["collision"] == 1 and run.summary.files == len(reports)
    assert [r.status.name for r in reports].count("OK") == 12
    assert reports[relative.index("f3/0.wav")].status is marlune.Status.RUN_COLLISION
    assert (tmp_path / "dask/f0/0.kv").read_bytes() == normalised(FIXED)
    assert not (tmp_path / "dask/f0/0.snd").exists() and (tmp_path / "dask/f2/cut.snd").exists()
    # Every step ran on a worker process, and both workers had some.
    assert len({task["worker"] for task in stream.data}) == 2


def test_copy_tree(tmp_path: Path, client: "distributed.Client") -> None:
    tree(tmp_path / "in")
    reports = list(marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", client, durability="data"))
    assert [r.status.name for r in reports].count("OK") == 13
    assert (tmp_path / "out/f1/1.snd").read_bytes() == PER_CHUNK
    assert (tmp_path / "in/f1/1.snd").exists()
    shutil.rmtree(tmp_path / "out")


def test_the_local_keywords_work_over_the_cluster(tmp_path: Path, local: "distributed.Client") -> None:
    """workers, progress and records, as a local copy_tree takes them; progress's true answer closes."""
    tree(tmp_path / "in")
    told: List[tuple] = []
    files = marlune.RecordFiles(csv=tmp_path / "run.csv", failed_list=tmp_path / "failed")
    run = marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", local, workers=1, batch_files=2,
                                 progress=lambda done, total: told.append((done, total)), records=files)
    reports = list(run)
    assert told and told[-1][0] == told[-1][1] == sum(r.source_bytes for r in reports)
    rows = (tmp_path / "run.csv").read_text().splitlines()
    assert len(rows) == 1 + len(reports) and (tmp_path / "failed").read_bytes().count(b"\0") == 1
    stopped = marlune.dask.convert_tree(tmp_path / "in", local, workers=1, batch_files=2,
                                        progress=lambda done, total: True)
    assert len(list(stopped)) == 2 and stopped.summary.interrupted and stopped.summary.not_started > 0


@pytest.mark.skipif(os.name != "posix", reason="folder modes are POSIX's")
def test_a_mirror_makes_its_folders_as_a_local_run_does(tmp_path: Path, client: "distributed.Client") -> None:
    # Empty folders too, each with its source's time and mode, set once its files are in place.
    for root in ("in", "local"):
        write(tmp_path / root / "private" / "a.snd", FIXED)
        (tmp_path / root / "empty" / "deeper").mkdir(parents=True)
        for folder, mode in (("private", 0o700), ("empty", 0o755), ("empty/deeper", 0o755)):
            os.chmod(tmp_path / root / folder, mode)
            os.utime(tmp_path / root / folder, (978307200, 978307200))
    reports = list(marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", client, mirror=True))
    assert [r.outcome for r in reports] == ["copied"]
    list(marlune.copy_tree(tmp_path / "local", tmp_path / "local-out", mirror=True))

    def folders(root: Path) -> list:
        return sorted((str(p.relative_to(root)), p.stat().st_mode & 0o7777, p.stat().st_mtime)
                      for p in root.rglob("*") if p.is_dir())

    assert folders(tmp_path / "out") == folders(tmp_path / "local-out") == [
        ("empty", 0o755, 978307200), ("empty/deeper", 0o755, 978307200), ("private", 0o700, 978307200)]


def test_the_steps_in_flight_are_bounded(tmp_path: Path, local: "distributed.Client") -> None:
    for i in range(40):
        write(tmp_path / f"{i:02}.snd", FIXED)
    reports = marlune.dask.convert_tree(tmp_path, local, batch_files=1)
    first = next(reports)
    # Two worker threads: four steps each at most, the one just delivered aside.
    assert len(local.futures) <= 9
    rest = list(reports)
    assert [first.status.name] + [r.status.name for r in rest] == ["OK"] * 40


def dies_once(step: bytes, marker: str) -> list:
    """Runs the step, then, the first time, kills the worker before it answers."""
    rows = marlune.dask.run_step(step)
    if not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(1)
    return rows


@pytest.mark.parametrize("job", ["copy", "convert"])
def test_a_step_retried_after_its_worker_died(tmp_path: Path, local: "distributed.Client", job: str) -> None:
    source = tmp_path / "in"
    for i in range(6):
        write(source / f"{i}.snd", FIXED)
    task = functools.partial(dies_once, marker=str(tmp_path / "died"))
    if job == "copy":
        options = run_options(marlune._library.JOB_COPY, destination=str(tmp_path / "out"), batch_files=2)
        paths = [(str(source), "")]
    else:
        options = run_options(marlune._library.JOB_CONVERT, batch_files=2)
        paths = [(str(source), None)]
    reports = list(marlune.dask.run(local, options, paths, str(source), task=task))
    local.wait_for_workers(2, timeout=60)
    assert (tmp_path / "died").exists()
    assert [os.path.basename(r.source) for r in reports] == [f"{i}.snd" for i in range(6)]
    made = tmp_path / "out" if job == "copy" else source
    # Nothing lost, nothing half done.
    assert sorted(p.name for p in made.iterdir()) == [f"{i}.kv" if job == "convert" else f"{i}.snd"
                                                      for i in range(6)]
    assert all((made / name).read_bytes() == normalised(FIXED) for name in os.listdir(made))
    statuses = [r.status.name for r in reports]
    # A step run again finds the conversions of the worker that died finished.
    assert all(s == "OK" or (job == "convert" and s == "FINISHED") for s in statuses), statuses


@pytest.mark.parametrize("where", ["source", "copy"])
def test_a_record_named_as_a_file_of_the_trees_is_refused_before_any_work(tmp_path: Path,
                                                                          client: "distributed.Client",
                                                                          where: str) -> None:
    tree(tmp_path / "src")
    write(tmp_path / "dst" / "f3" / "readme.txt", b"an old copy")
    name = tmp_path / ("src" if where == "source" else "dst") / "f3" / "readme.txt"
    for copy_tree in (marlune.copy_tree, lambda *a, **k: marlune.dask.copy_tree(*a, client, **k)):
        with pytest.raises(marlune.MarluneError, match="records"):
            list(copy_tree(tmp_path / "src", tmp_path / "dst", mirror=True,
                           records=marlune.RecordFiles(csv=name)))
        assert (tmp_path / "src" / "f3" / "readme.txt").read_bytes() == b"no audio"
        assert sorted(p.name for p in (tmp_path / "dst").rglob("*")) == ["f3", "readme.txt"]
        assert (tmp_path / "dst" / "f3" / "readme.txt").read_bytes() == b"an old copy"


def test_a_dask_mirror_writes_the_local_manifest_and_a_rerun_keeps_finding_rot(tmp_path: Path,
                                                                              client: "distributed.Client") -> None:
    tree(tmp_path / "src")
    local, spread = tmp_path / "local.sha256", tmp_path / "dask.sha256"
    list(marlune.copy_tree(tmp_path / "src", tmp_path / "local", mirror=True, manifest=local))
    list(marlune.dask.copy_tree(tmp_path / "src", tmp_path / "dask", client, mirror=True, manifest=spread,
                                batch_files=2))
    assert spread.read_bytes() == local.read_bytes() and local.read_bytes().count(b"\n") == 15
    copy = tmp_path / "dask" / "f0" / "0.snd"
    seen = copy.stat()
    rotted = bytearray(copy.read_bytes())
    rotted[-1] ^= 1
    copy.write_bytes(rotted)
    os.utime(copy, ns=(seen.st_atime_ns, seen.st_mtime_ns))
    again = list(marlune.dask.copy_tree(tmp_path / "src", tmp_path / "dask", client, mirror=True, manifest=spread))
    assert {r.outcome for r in again} == {"unchanged"} and spread.read_bytes() == local.read_bytes()
    found = [r for r in marlune.verify(None, tmp_path / "dask", manifest=spread) if r.outcome != "matched"]
    assert [(r.outcome, os.path.relpath(r.source, tmp_path / "dask")) for r in found] == [("different", "f0/0.snd")]
