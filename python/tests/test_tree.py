import os
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

import marlune
from conftest import BROKEN, FIXED, PER_CHUNK, normalised, write


def archive(root: Path) -> Dict[str, bytes]:
    """A small archive: nested folders, a finished .kv, a file that is no container, a cut
    file, and what a stopped conversion left."""
    files = {
        "b.snd": FIXED,
        "a.snd": PER_CHUNK,
        "m/2.snd": FIXED,
        "m/1.snd": FIXED,
        "m/deeper/x.snd": PER_CHUNK,
        "c.kv": normalised(FIXED),
        "notes.txt": b"not audio",
        "z/cut.snd": BROKEN["payload-cut"][0],
        "z/left.kv.0123456789abcdef.marlune-partial": b"half",
    }
    for name, data in files.items():
        write(root / name, data)
    return files


# The run's order: each folder's names sorted by their bytes, a folder walked where its name falls.
ORDER = ["a.snd", "b.snd", "c.kv", "m/1.snd", "m/2.snd", "m/deeper/x.snd", "notes.txt", "z/cut.snd",
         "z/left.kv.0123456789abcdef.marlune-partial"]
STATUSES = ["OK", "OK", "ALREADY_CONVERTED", "OK", "OK", "OK", "NOT_A_CONTAINER", "PAYLOAD_CUT",
            "RUN_PARTIAL_REMOVED"]


@pytest.mark.parametrize("workers,batch_files", [(1, None), (3, None), (2, 1)])
def test_convert_tree(tmp_path: Path, workers: int, batch_files: int) -> None:
    archive(tmp_path)
    run = marlune.convert_tree(tmp_path, workers=workers, batch_files=batch_files)
    assert run.summary is None
    reports = list(run)
    assert [os.path.relpath(r.source, tmp_path) for r in reports] == ORDER
    # The run's counts, as the command's summary: every file's bytes read, the failed one's too.
    summary = run.summary
    assert summary.counts == {"converted": 5, "already-kv": 1, "skipped": 1, "failed": 1, "partial-removed": 1}
    assert (summary.files, summary.not_started, summary.interrupted) == (9, 0, False)
    assert summary.bytes_read == sum(r.source_bytes for r in reports) and reports[7].source_bytes > 0
    assert summary.bytes_written == sum(r.bytes_written for r in reports)
    assert [r.status.name for r in reports] == STATUSES
    # The library's sentences and outcomes, as the command's.
    assert reports[6].reason == "not a container"
    assert [r.outcome for r in reports] == ["converted", "converted", "already-kv", "converted", "converted",
                                            "converted", "skipped", "failed", "partial-removed"]
    assert reports[7].reason.startswith("the source ends inside a chunk's payload (at offset 474")
    assert reports[8].ok and reports[8].destination is None
    assert reports[0].destination == str(tmp_path / "a.kv")
    assert (tmp_path / "m/1.kv").read_bytes() == normalised(FIXED)
    assert not (tmp_path / "m/1.snd").exists()
    assert (tmp_path / "z/cut.snd").exists() and (tmp_path / "notes.txt").exists()
    assert not (tmp_path / "z/left.kv.0123456789abcdef.marlune-partial").exists()
    # Run again: everything is a .kv now, or was kept.
    again = [r.status.name for r in marlune.convert_tree(tmp_path, workers=workers)]
    assert again.count("ALREADY_CONVERTED") == 6


@pytest.mark.skipif(os.name == "nt", reason="permission bits are POSIX's")
def test_convert_tree_keeps_each_sources_time_and_mode(tmp_path: Path) -> None:
    modes = {"ro": 0o444, "private": 0o600, "group": 0o640}
    for name, mode in modes.items():
        write(tmp_path / f"{name}.snd", FIXED)
        os.utime(tmp_path / f"{name}.snd", (978307200, 978307200))  # 2001-01-01
        os.chmod(tmp_path / f"{name}.snd", mode)
    assert [r.status for r in marlune.convert_tree(tmp_path)] == [marlune.Status.OK] * 3
    for name, mode in modes.items():
        kv = os.stat(tmp_path / f"{name}.kv")
        assert (name, kv.st_mtime, kv.st_mode & 0o7777) == (name, 978307200, mode)
    assert sorted(os.listdir(tmp_path)) == ["group.kv", "private.kv", "ro.kv"]


def test_a_run_closed_early_counts_what_it_did_and_what_it_never_started(tmp_path: Path) -> None:
    for i in range(40):
        write(tmp_path / f"{i:02}.snd", FIXED)
    run = marlune.convert_tree(tmp_path, workers=1, batch_files=1)
    next(run)
    run.close()
    summary = run.summary
    # The walk stops with the run: what it planned is done or not started, the rest never planned.
    assert summary.interrupted and 1 <= summary.files and summary.files + summary.not_started < 40
    names = os.listdir(tmp_path)
    assert sum(n.endswith(".kv") for n in names) == summary.counts.get("converted", 0)
    assert not [n for n in names if "partial" in n]


def test_paths_come_back_as_given(tmp_path: Path) -> None:
    write(tmp_path / "caf\u00e9.snd", FIXED)
    write(tmp_path / "x.snd", FIXED)
    [first, second] = marlune.examine_tree(os.fsencode(tmp_path))
    assert first.source == os.fsencode(tmp_path / "caf\u00e9.snd")
    [first, second] = marlune.examine_tree(tmp_path)
    assert first.source == str(tmp_path / "caf\u00e9.snd") and second.source == str(tmp_path / "x.snd")


def test_a_single_file_is_a_root(tmp_path: Path) -> None:
    one = write(tmp_path / "one.snd", FIXED)
    [report] = marlune.convert_tree(one)
    assert report.status is marlune.Status.OK and (tmp_path / "one.kv").exists()


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="root reads every folder")
def test_a_folder_that_cannot_be_read(tmp_path: Path) -> None:
    write(tmp_path / "a.snd", FIXED)
    locked = tmp_path / "locked"
    write(locked / "x.snd", FIXED)
    locked.chmod(0)
    try:
        reports = list(marlune.convert_tree(tmp_path))
    finally:
        locked.chmod(0o755)
    assert [r.status.name for r in reports] == ["OK", "RUN_FOLDER_UNREADABLE"]
    assert reports[1].source == str(locked) and reports[1].system_error != 0 and not reports[1].ok


def test_examine_tree_writes_nothing(tmp_path: Path) -> None:
    files = archive(tmp_path)
    reports = list(marlune.examine_tree(tmp_path, workers=2))
    assert [os.path.relpath(r.source, tmp_path) for r in reports] == ORDER
    assert [r.status.name for r in reports][:8] == ["OK"] * 6 + ["NOT_A_CONTAINER", "PAYLOAD_CUT"]
    assert all((tmp_path / name).read_bytes() == data for name, data in files.items())


def test_copy_tree(tmp_path: Path) -> None:
    files = archive(tmp_path / "in")
    reports = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", workers=2, durability="data-and-name"))
    assert [os.path.relpath(r.source, tmp_path / "in") for r in reports] == ORDER
    assert [r.status.name for r in reports] == ["OK"] * 6 + ["NOT_A_CONTAINER", "PAYLOAD_CUT", "RUN_PARTIAL_LEFT"]
    for name in ORDER[:6]:
        assert (tmp_path / "out" / name).read_bytes() == (normalised(files[name]) if files[name][8] == 0
                                                          else files[name])
    assert (tmp_path / "in/m/1.snd").exists()
    assert not (tmp_path / "out/notes.txt").exists() and not (tmp_path / "out/z/cut.snd").exists()


def test_copy_tree_into_itself_is_refused(tmp_path: Path) -> None:
    write(tmp_path / "a.snd", FIXED)
    with pytest.raises(marlune.DestinationError) as raised:
        list(marlune.copy_tree(tmp_path, tmp_path / "copy"))
    assert raised.value.status is marlune.Status.RUN_INSIDE_SOURCE
    assert not (tmp_path / "copy").exists()


def test_a_run_the_system_starts_no_thread_for_is_refused(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    write(tmp_path / "a.snd", FIXED)
    # What marlune_run_start answers at a limit on the user's processes; the run is not started.
    monkeypatch.setattr(marlune._library, "run_start", lambda handle: int(marlune.Status.RUN_NO_WORKERS))
    with pytest.raises(marlune.MarluneError) as raised:
        list(marlune.examine_tree(tmp_path, workers=4))
    assert raised.value.status is marlune.Status.RUN_NO_WORKERS


def test_salvage_tree(tmp_path: Path) -> None:
    write(tmp_path / "in/whole.snd", FIXED)
    write(tmp_path / "in/cut.snd", BROKEN["payload-cut"][0])
    reports = list(marlune.salvage_tree(tmp_path / "in", tmp_path / "out", kv_names=True))
    assert [(os.path.basename(r.source), r.status.name) for r in reports] == [("cut.snd", "SALVAGED"),
                                                                              ("whole.snd", "OK")]
    assert reports[0].destination == str(tmp_path / "out/cut.kv") and (tmp_path / "out/cut.kv").exists()
    assert (tmp_path / "out/whole.kv").read_bytes() == normalised(FIXED)


def test_progress_covers_the_run_and_can_cancel(tmp_path: Path) -> None:
    for i in range(6):
        write(tmp_path / f"d{i % 3}" / f"{i}.snd", FIXED)
    seen: List[Tuple[int, int]] = []
    reports = list(marlune.convert_tree(tmp_path, workers=2, batch_files=1,
                                        progress=lambda done, total: seen.append((done, total))))
    assert all(r.status is marlune.Status.OK for r in reports)
    assert seen[-1] == (6 * len(FIXED), 6 * len(FIXED)) and seen == sorted(seen)

    for i in range(6):
        write(tmp_path / "again" / f"{i}.snd", FIXED)
    reports = list(marlune.convert_tree(tmp_path / "again", workers=1, batch_files=1,
                                        progress=lambda done, total: done >= len(FIXED)))
    # What had started is told (done, or stopped with its source kept); the rest never starts.
    assert 1 <= len(reports) < 6 and reports[0].status is marlune.Status.OK
    assert {r.status for r in reports} <= {marlune.Status.OK, marlune.Status.CANCELLED}
    converted = sum(r.status is marlune.Status.OK for r in reports)
    assert sorted(os.listdir(tmp_path / "again")) == [f"{i}.kv" for i in range(converted)] + [
        f"{i}.snd" for i in range(converted, 6)]


def test_an_exception_of_progress_ends_the_iteration(tmp_path: Path) -> None:
    for i in range(4):
        write(tmp_path / f"{i}.snd", FIXED)

    def progress(done: int, total: int) -> None:
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        list(marlune.convert_tree(tmp_path, workers=2, batch_files=1, progress=progress))
    assert not list(tmp_path.glob("*.marlune-partial"))


def test_arguments_are_checked(tmp_path: Path) -> None:
    for wrong in ({"workers": 0}, {"batch_files": 0}, {"batch_bytes": -1}, {"workers": True}):
        with pytest.raises(ValueError):
            list(marlune.convert_tree(tmp_path, **wrong))
    with pytest.raises(ValueError):
        list(marlune.copy_tree(tmp_path, tmp_path / "out", durability="always"))


def test_a_tree_examined_says_of_each_file_what_examine_says(tmp_path: Path) -> None:
    archive(tmp_path)
    reports = list(marlune.examine_tree(tmp_path))
    assert len(reports) == 9
    for report in reports:
        assert report.reason == marlune.examine(report.source).reason, report.source
    cut = [r for r in reports if r.source.endswith("cut.snd")][0]
    assert cut.reason.startswith("incomplete: the payload of chunk ")
