import os
import sys
import threading
import time
from pathlib import Path
from typing import Dict, List

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


# The walk's order: each folder's names sorted, a folder walked where its name falls.
ORDER = ["a.snd", "b.snd", "c.kv", "m/1.snd", "m/2.snd", "m/deeper/x.snd", "notes.txt", "z/cut.snd"]
STATUSES = ["OK", "OK", "ALREADY_CONVERTED", "OK", "OK", "OK", "NOT_A_CONTAINER", "PAYLOAD_CUT"]


@pytest.mark.parametrize("workers,batch_files", [(1, 256), (3, 256), (2, 1)])
def test_convert_tree(tmp_path: Path, workers: int, batch_files: int) -> None:
    archive(tmp_path)
    reports = list(marlune.convert_tree(tmp_path, workers=workers, batch_files=batch_files))
    assert [os.path.relpath(r.source, tmp_path) for r in reports] == ORDER
    assert [r.status.name for r in reports] == STATUSES
    assert reports[6].reason == "not a container"
    assert reports[7].reason.startswith("the source ends inside a chunk's payload (at offset 474")
    assert reports[0].destination == str(tmp_path / "a.kv")
    assert (tmp_path / "m/1.kv").read_bytes() == normalised(FIXED)
    assert not (tmp_path / "m/1.snd").exists()
    assert (tmp_path / "z/cut.snd").exists() and (tmp_path / "notes.txt").exists()
    assert (tmp_path / "z/left.kv.0123456789abcdef.marlune-partial").read_bytes() == b"half"
    # Run again: everything is a .kv now, or was kept.
    again = [r.status.name for r in marlune.convert_tree(tmp_path, workers=workers)]
    assert again.count("ALREADY_CONVERTED") == 6


def test_the_batches_of_a_folder(tmp_path: Path) -> None:
    for i in range(7):
        write(tmp_path / f"{i}.snd", FIXED)
    steps = marlune._tree.plan("convert", tmp_path, batch_files=3)
    assert [len(s.sources) for s in steps] == [3, 3, 1]
    steps = marlune._tree.plan("convert", tmp_path, batch_bytes=2 * len(FIXED))
    assert [len(s.sources) for s in steps] == [2, 2, 2, 1]


def test_a_single_file_and_a_missing_root(tmp_path: Path) -> None:
    one = write(tmp_path / "one.snd", FIXED)
    [report] = marlune.convert_tree(one)
    assert report.status is marlune.Status.OK and (tmp_path / "one.kv").exists()
    [missing] = marlune.convert_tree(tmp_path / "none")
    assert missing.status is marlune.Status.SOURCE_MISSING


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
    assert [r.status.name for r in reports] == ["OK", "SOURCE_UNREADABLE"]
    assert reports[1].reason.startswith("cannot read the folder")


def test_copy_tree(tmp_path: Path) -> None:
    files = archive(tmp_path / "in")
    reports = list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", workers=2, durability="data-and-name"))
    assert [os.path.relpath(r.source, tmp_path / "in") for r in reports] == ORDER
    assert [r.status.name for r in reports] == ["OK"] * 6 + ["NOT_A_CONTAINER", "PAYLOAD_CUT"]
    for name in ORDER[:6]:
        assert (tmp_path / "out" / name).read_bytes() == (normalised(files[name]) if files[name][8] == 0
                                                          else files[name])
    assert (tmp_path / "in/m/1.snd").exists()
    assert not (tmp_path / "out/notes.txt").exists() and not (tmp_path / "out/z/cut.snd").exists()


def test_copy_tree_into_itself_does_not_copy_its_copies(tmp_path: Path) -> None:
    write(tmp_path / "a.snd", FIXED)
    reports = list(marlune.copy_tree(tmp_path, tmp_path / "copy"))
    assert [os.path.relpath(r.source, tmp_path) for r in reports] == ["a.snd"]
    reports = list(marlune.copy_tree(tmp_path, tmp_path / "copy"))
    assert [os.path.relpath(r.source, tmp_path) for r in reports] == ["a.snd"]


def test_progress_covers_the_run_and_can_cancel(tmp_path: Path) -> None:
    for i in range(6):
        write(tmp_path / f"d{i % 3}" / f"{i}.snd", FIXED)
    seen: List[int] = []
    total_seen = set()
    reports = list(marlune.convert_tree(tmp_path, workers=2, batch_files=1,
                                        progress=lambda done, total: seen.append(done) or total_seen.add(total)))
    assert all(r.status is marlune.Status.OK for r in reports)
    assert total_seen == {6 * len(FIXED)} and seen[-1] == 6 * len(FIXED) and seen == sorted(seen)

    for i in range(6):
        write(tmp_path / "again" / f"{i}.snd", FIXED)
    reports = list(marlune.convert_tree(tmp_path / "again", workers=1, batch_files=2,
                                        progress=lambda done, total: done >= len(FIXED)))
    assert [r.status.name for r in reports][2:] == ["CANCELLED"] * 4
    assert all((tmp_path / "again" / f"{i}.snd").exists() for i in range(2, 6))


def test_an_exception_of_progress_ends_the_iteration(tmp_path: Path) -> None:
    for i in range(4):
        write(tmp_path / f"{i}.snd", FIXED)

    def progress(done: int, total: int) -> None:
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        list(marlune.convert_tree(tmp_path, workers=2, batch_files=1, progress=progress))


def test_a_batch_runs_without_the_gil(tmp_path: Path) -> None:
    # With a switch interval this long, this thread runs while the batch is under way
    # (from its first progress call on) only if the batch's call has let go of the
    # GIL; then the workers of convert_tree run their batches side by side. It sleeps
    # a little at each turn, so that the batch's thread can take the GIL back.
    write(tmp_path / "a" / "x.snd", FIXED[:128] + FIXED[128:466] * 180000)
    inside = threading.Event()
    reports: List[marlune.Report] = []

    def convert() -> None:
        reports.extend(marlune.convert_tree(tmp_path, workers=1, progress=lambda done, total: inside.set()))
        inside.clear()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        batch = threading.Thread(target=convert)
        batch.start()
        inside.wait(30)
        turns = 0
        while inside.is_set():
            turns += 1
            time.sleep(0.0005)
        batch.join()
    finally:
        sys.setswitchinterval(interval)
    assert [r.status.name for r in reports] == ["OK"]
    assert turns > 0, "the batch held the GIL throughout"
