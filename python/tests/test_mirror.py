"""copy_tree(mirror=True), reruns, delete and manifest, and verify(), in the package and over Dask."""
import os
import shutil
import subprocess
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


def test_mirror_options_need_mirror(tmp_path: Path) -> None:
    with pytest.raises(ValueError):
        list(marlune.copy_tree(tmp_path, tmp_path / "out", delete=True))
    with pytest.raises(ValueError):
        list(marlune.verify(tmp_path, tmp_path / "out", manifest=tmp_path / "m"))


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
        assert {r.outcome for r in marlune.dask.verify(tmp_path / "in", tmp_path / "out", client)} == {"matched"}
    shutil.rmtree(tmp_path / "out")
