"""copy_tree(mirror=True), reruns, delete and manifest, and verify(), in the package and over Dask."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict

import pytest

import marlune
from conftest import BROKEN, FIXED, normalised, write


def hostile(root: Path) -> None:
    write(root / "a.snd", FIXED)
    write(root / "cut.snd", BROKEN["payload-cut"][0])
    write(root / "notes with spaces.txt", b"notes")
    write(root / "sub" / "empty", b"")
    write(root / "line\nbreak", b"n")
    write(root / os.fsdecode(b"bad\xff.snd"), FIXED)
    write(root / "sub" / "read-only", b"kept")
    os.chmod(root / "sub" / "read-only", 0o440)
    os.utime(root / "a.snd", (978307200, 978307200))
    os.symlink("a.snd", root / "link.snd")


def outcomes(reports) -> Dict[str, str]:
    return {os.path.basename(r.source): r.outcome for r in reports}


def test_a_mirror_arrives_whole_and_verifies(tmp_path: Path) -> None:
    hostile(tmp_path / "in")
    manifest = tmp_path / "manifest"
    reports = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, manifest=manifest))
    assert outcomes(reports) == {
        "a.snd": "copied", "bad\udcff.snd": "copied", "cut.snd": "damaged", "line\nbreak": "copied-as-is",
        "link.snd": "linked", "notes with spaces.txt": "copied-as-is", "empty": "copied-as-is",
        "read-only": "copied-as-is"}
    damaged = next(r for r in reports if r.outcome == "damaged")
    assert damaged.status is marlune.Status.PAYLOAD_CUT and damaged.cut_offset is not None
    assert (tmp_path / "out/cut.snd").read_bytes() == BROKEN["payload-cut"][0]
    assert (tmp_path / "out/a.snd").read_bytes() == normalised(FIXED)
    assert os.stat(tmp_path / "out/a.snd").st_mtime == 978307200
    assert os.stat(tmp_path / "out/sub/read-only").st_mode & 0o777 == 0o440
    assert os.readlink(tmp_path / "out/link.snd") == "a.snd"
    assert all(len(r.sha256) == 64 for r in reports if r.outcome != "linked")
    checked = subprocess.run(["sha256sum", "--strict", "-c", str(manifest)], cwd=tmp_path / "out",
                             capture_output=True, env={"LC_ALL": "C.UTF-8"})
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert {r.outcome for r in marlune.verify(tmp_path / "in", tmp_path / "out")} == {"matched"}
    assert {r.outcome for r in marlune.verify(None, tmp_path / "out", manifest=manifest)} == {"matched"}


def test_a_rerun_copies_only_what_changed_and_delete_stays_inside(tmp_path: Path) -> None:
    hostile(tmp_path / "in")
    list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True))
    assert set(outcomes(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True)).values()) == {"unchanged"}
    os.utime(tmp_path / "in/notes with spaces.txt", (1, 1))
    write(tmp_path / "outside/precious", b"p")
    os.symlink(tmp_path / "outside", tmp_path / "out/to-outside")
    write(tmp_path / "out/stale", b"s")
    dry = outcomes(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, delete=True, dry_run=True))
    assert dry["stale"] == "deleted" and (tmp_path / "out/stale").exists()
    after = outcomes(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, delete=True))
    assert [name for name, outcome in after.items() if outcome != "unchanged"] == [
        "notes with spaces.txt", "stale", "to-outside"]
    assert after["notes with spaces.txt"] == "copied-as-is"
    assert os.listdir(tmp_path / "outside") == ["precious"]
    assert not os.path.lexists(tmp_path / "out/to-outside")


def test_a_rerun_mends_what_a_stopped_run_and_others_left(tmp_path: Path) -> None:
    # A stopped run's partial file, a link put at a copy's name, a source's new mode.
    hostile(tmp_path / "in")
    out = tmp_path / "out"
    list(marlune.copy_tree(tmp_path / "in", out, mirror=True))
    stale = out / "sub" / "empty.00000000000000aa.marlune-partial"
    stale.write_bytes(b"half")
    write(tmp_path / "outside/precious", b"p")
    os.remove(out / "notes with spaces.txt")
    os.symlink(tmp_path / "outside/precious", out / "notes with spaces.txt")
    os.chmod(tmp_path / "in/a.snd", 0o600)
    done = outcomes(marlune.copy_tree(tmp_path / "in", out, mirror=True))
    assert (done[stale.name], done["notes with spaces.txt"], done["a.snd"]) == \
        ("partial-removed", "copied-as-is", "unchanged")
    assert not stale.exists() and not os.path.islink(out / "notes with spaces.txt")
    assert (tmp_path / "outside/precious").read_bytes() == b"p"
    assert os.stat(out / "a.snd").st_mode & 0o777 == 0o600
    assert {r.outcome for r in marlune.verify(tmp_path / "in", out)} == {"matched"}


def test_verify_tells_each_difference(tmp_path: Path) -> None:
    hostile(tmp_path / "in")
    list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True))
    data = bytearray((tmp_path / "out/a.snd").read_bytes())
    data[300] ^= 1
    (tmp_path / "out/a.snd").write_bytes(bytes(data))
    os.truncate(tmp_path / "out/cut.snd", 10)
    os.remove(tmp_path / "out/sub/empty")
    write(tmp_path / "out/extra", b"x")
    found = {os.path.basename(r.destination): r.status.name for r in marlune.verify(tmp_path / "in", tmp_path / "out")
             if r.outcome == "different"}
    assert found == {"a.snd": "VERIFY_DIFFERENT", "cut.snd": "VERIFY_DIFFERENT", "empty": "VERIFY_MISSING",
                     "extra": "VERIFY_EXTRA"}


class _NoWork:
    """A Dask client that fails any work it is given: a refusal comes before any."""

    def nthreads(self) -> Dict[str, int]:
        return {"worker": 1}

    def submit(self, *args: object, **kwargs: object) -> None:
        raise AssertionError("work was submitted")


@pytest.mark.parametrize("settings, words", [
    ({"delete": True}, "checksum and delete need a mirror"),
    ({"checksum": True}, "checksum and delete need a mirror"),
    ({"dry_run": True}, "a dry run is of convert and of a mirror"),
    ({"manifest": "m"}, "a manifest is written by a mirror"),
    ({"mirror": True, "kv_names": True}, "a mirror keeps its sources' names"),
    ({"mirror": True, "dry_run": True, "manifest": "m"}, "a dry run writes no manifest"),
])
def test_options_that_do_not_go_together_raise_the_librarys_refusal_before_any_work(
        tmp_path: Path, settings: Dict[str, object], words: str) -> None:
    import marlune.dask

    hostile(tmp_path / "in")
    if "manifest" in settings:
        settings = dict(settings, manifest=tmp_path / "m")
    runs = [marlune.copy_tree(tmp_path / "in", tmp_path / "out", **settings)]  # type: ignore[arg-type]
    if importlib.util.find_spec("distributed") is not None:
        runs.append(marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", _NoWork(), **settings))
    for refused in runs:
        with pytest.raises(marlune.JobRefused, match=words) as raised:
            next(refused)
        assert isinstance(raised.value, ValueError)
        assert raised.value.status is marlune.Status.RUN_JOB_REFUSED
    assert not (tmp_path / "out").exists() and not (tmp_path / "m").exists()
    with pytest.raises(ValueError):
        list(marlune.verify(tmp_path, tmp_path / "out", manifest=tmp_path / "m"))


def deletions_keep_what_they_must(tmp_path: Path, copy_tree) -> None:
    """A mirror's deletions through `copy_tree` (the package's or Dask's): nothing
    removed from a source named through a link, from an empty source, past
    max_delete, nor the sources themselves."""
    write(tmp_path / "disk/archive/a.txt", b"a")
    os.symlink(tmp_path / "disk/archive", tmp_path / "archive")
    list(copy_tree(tmp_path / "archive", tmp_path / "mirror", mirror=True))
    list(copy_tree(tmp_path / "archive", tmp_path / "mirror", mirror=True, delete=True))
    assert os.listdir(tmp_path / "mirror") == ["a.txt"]

    os.mkdir(tmp_path / "empty")
    held = list(copy_tree(tmp_path / "empty", tmp_path / "mirror", mirror=True, delete=True))
    assert [r.status for r in held] == [marlune.Status.RUN_SOURCE_EMPTY]
    assert os.listdir(tmp_path / "mirror") == ["a.txt"]

    write(tmp_path / "mirror/b.txt", b"b")
    write(tmp_path / "mirror/c.txt", b"c")
    limited = list(copy_tree(tmp_path / "archive", tmp_path / "mirror", mirror=True, delete=True, max_delete=1))
    assert [r.status for r in limited if r.outcome != "unchanged"] == [
        marlune.Status.OK, marlune.Status.RUN_DELETE_LIMIT]
    assert sorted(os.listdir(tmp_path / "mirror")) == ["a.txt", "c.txt"]

    with pytest.raises(marlune.DestinationError):
        list(copy_tree(tmp_path / "disk/archive", tmp_path / "disk", mirror=True, delete=True))
    assert (tmp_path / "disk/archive/a.txt").read_bytes() == b"a"


def test_deletions_keep_what_they_must(tmp_path: Path) -> None:
    deletions_keep_what_they_must(tmp_path, marlune.copy_tree)
    # The run's own records are never the mirror's to delete.
    log = tmp_path / "mirror/run.log"
    write(log, b"earlier runs\n")
    list(marlune.copy_tree(tmp_path / "archive", tmp_path / "mirror", mirror=True, delete=True,
                           records=marlune.RecordFiles(log=log)))
    assert log.read_bytes().startswith(b"earlier runs\n")


def test_a_dry_run_and_verify_count_no_byte_written(tmp_path: Path) -> None:
    hostile(tmp_path / "in")
    dry = marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, dry_run=True)
    assert {r.bytes_written for r in dry} == {0}
    assert dry.summary is not None and dry.summary.bytes_written == 0 and dry.summary.bytes_read > 0
    list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True))
    checked = marlune.verify(tmp_path / "in", tmp_path / "out")
    assert {r.bytes_written for r in checked} == {0}
    assert checked.summary is not None and checked.summary.bytes_written == 0


def test_over_dask(tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    import marlune.dask

    hostile(tmp_path / "in")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        reports = list(marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", client, mirror=True))
        local = list(marlune.copy_tree(tmp_path / "in", tmp_path / "local", mirror=True))
        assert [r.outcome for r in reports] == [r.outcome for r in local]
        checked = marlune.dask.verify(tmp_path / "in", tmp_path / "out", client)
        assert {r.outcome for r in checked} == {"matched"}
        assert checked.summary is not None and checked.summary.bytes_written == 0
        deletions_keep_what_they_must(tmp_path / "deletions",
                                      lambda *args, **kwargs: marlune.dask.copy_tree(*args, client, **kwargs))
    shutil.rmtree(tmp_path / "out")


def test_a_cancel_fails_no_file_and_a_mirror_tells_its_suspects(tmp_path: Path) -> None:
    for n in range(6):
        write(tmp_path / "big" / f"n{n}.txt", b"n" * (8 << 20))  # copied piece by piece: a cancel finds it under way
    cancelled = 0
    # A busy machine may finish every file before the cancel: then the run is tried again.
    for attempt in range(5):
        failed = tmp_path / f"failed{attempt}.lst"
        run = marlune.copy_tree(tmp_path / "big", tmp_path / f"out{attempt}", mirror=True, workers=2,
                                records=marlune.RecordFiles(failed_list=failed),
                                progress=lambda done, total: done > 0)
        assert "failed" not in outcomes(run).values()
        assert run.summary is not None and "failed" not in run.summary.counts
        assert failed.read_bytes() == b""
        cancelled = run.summary.counts.get("cancelled", 0)
        if cancelled:
            break
    assert cancelled > 0
    write(tmp_path / "in" / "empty.snd", b"")
    write(tmp_path / "in" / "wav.snd", b"RIFF\0\0\0\0")
    write(tmp_path / "in" / "notes.txt", b"notes")
    for run in ("first", "again"):
        suspects = tmp_path / "suspects.lst"
        reports = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True,
                                         records=marlune.RecordFiles(suspect_list=suspects)))
        assert outcomes(reports) == {"empty.snd": "suspect", "wav.snd": "suspect",
                                     "notes.txt": "copied-as-is" if run == "first" else "unchanged"}, run
        # By their places under the mirror: what --files-from takes back from the source folder.
        assert suspects.read_bytes() == b"empty.snd\0wav.snd\0", run
        assert (tmp_path / "out" / "wav.snd").read_bytes() == b"RIFF\0\0\0\0"


# Run in a user namespace of its own, over a small tmpfs mounted at the destination:
# the summary and what was raised, as JSON.
_FULL_RUN = r"""
import json, sys
import marlune
kind, source, destination, manifest = sys.argv[1:5]
if kind == "dask":
    import distributed
    import marlune.dask
    client = distributed.Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=None)
    run = marlune.dask.copy_tree(source, destination, client, mirror=True, batch_files=2)
else:
    run = marlune.copy_tree(source, destination, mirror=True, manifest=manifest, workers=1)
statuses, raised = [], None
try:
    for report in run:
        statuses.append(int(report.status))
except marlune.DiskFull as error:
    raised = str(error)
summary = run.summary
print(json.dumps({"raised": raised, "statuses": statuses, "notStarted": summary.not_started,
                  "full": summary.destination_full, "cancelled": summary.counts.get("cancelled", 0)}))
"""


@pytest.mark.parametrize("kind", ["local", "dask"])
def test_a_full_destination_stops_the_run_and_raises_disk_full_once_every_report_is_out(
        tmp_path: Path, kind: str) -> None:
    if shutil.which("unshare") is None:
        pytest.skip("no unshare to mount a small file system with")
    if kind == "dask" and importlib.util.find_spec("distributed") is None:
        pytest.skip("Debian's python3-distributed is not installed")
    recording = FIXED * 8
    for n in range(30):
        write(tmp_path / "in" / f"r{n:02}.snd", recording)
    (tmp_path / "out").mkdir()
    script = 'mount -t tmpfs -o size=256k marlune-test "$1" || exit 99; shift; exec "$@"'
    ran = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, "sh",
                          str(tmp_path / "out"), sys.executable, "-c", _FULL_RUN, kind, str(tmp_path / "in"),
                          str(tmp_path / "out"), str(tmp_path / "manifest")], capture_output=True, timeout=300)
    if ran.returncode == 99 or b"unshare:" in ran.stderr:
        pytest.skip("no user namespace here to mount a small file system in")
    assert ran.returncode == 0, ran.stderr
    told = json.loads(ran.stdout)
    assert told["raised"] is not None and told["raised"].startswith("the destination is full: the run stopped with ")
    assert told["full"] and told["cancelled"] == 0
    full = told["statuses"].count(int(marlune.Status.DISK_FULL))
    if kind == "local":
        # Stopped short: one file found the disk full, none after it began.
        assert full == 1 and told["notStarted"] > 0 and len(told["statuses"]) < 30, told
    else:
        # Steps handed to the workers run to their end: planning stops, and the run raises.
        assert full >= 1, told
    assert int(marlune.Status.WRITE_ERROR) not in told["statuses"]
    assert not (tmp_path / "manifest").exists()


@pytest.mark.parametrize("name, error", [
    ("in/a.snd", marlune.DestinationError),        # a recording of the source
    ("out/a.snd", marlune.DestinationError),       # a copy's place
    ("no/such/folder/m", FileNotFoundError),
    ("in/a.snd/m", NotADirectoryError),
])
def test_a_manifest_name_that_cannot_be_used_raises_before_any_work(tmp_path: Path, name: str, error: type) -> None:
    write(tmp_path / "in/a.snd", FIXED)
    write(tmp_path / "out/a.snd", b"old")
    with pytest.raises(error) as raised:
        next(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, manifest=tmp_path / name))
    assert raised.value.report.destination == os.fsdecode(tmp_path / name)
    assert (tmp_path / "in/a.snd").read_bytes() == FIXED
    assert (tmp_path / "out/a.snd").read_bytes() == b"old"


def test_a_rerun_keeps_a_rotted_copys_digest_and_checksum_restores_it(tmp_path: Path) -> None:
    write(tmp_path / "in/a.txt", b"123")
    manifest = tmp_path / "m.sha256"
    list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, manifest=manifest))
    written = manifest.read_bytes()
    copy = tmp_path / "out/a.txt"
    stat = copy.stat()
    copy.write_bytes(b"1x3")
    os.utime(copy, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    again = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, manifest=manifest))
    assert [r.outcome for r in again] == ["unchanged"] and manifest.read_bytes() == written
    assert [r.outcome for r in marlune.verify(None, tmp_path / "out", manifest=manifest)] == ["different"]
    restored = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, checksum=True,
                                      manifest=manifest))
    assert [(r.outcome, r.status) for r in restored] == [("restored", marlune.Status.RUN_COPY_ROTTED)]
    assert copy.read_bytes() == b"123" and manifest.read_bytes() == written
