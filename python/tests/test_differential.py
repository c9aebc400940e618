"""The same hostile tree run by the marlune command, by marlune and by marlune.dask ends
byte for byte the same, with the same statuses in the same order: the three drive one
engine."""
import json
import os
import subprocess
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import pytest

import marlune
from conftest import BROKEN, FIXED, PER_CHUNK, command, needs_command, write

Snapshot = Dict[bytes, Tuple[str, bytes]]
# (the file's name under the tree, as the command's JSON spells it; its status code)
Statuses = List[Tuple[str, Optional[int]]]


def hostile(root: Path) -> None:
    """A tree with every way a run can lose or misplace a recording."""
    tree = root / "tree"
    write(tree / "a.snd", FIXED)
    write(tree / "a.wav", PER_CHUNK)  # its .kv name is a.snd's
    write(tree / "m/1.snd", FIXED)
    write(tree / "m/2.snd", PER_CHUNK)
    (tree / "n").symlink_to("m", target_is_directory=True)  # a folder reached again, walked once
    (tree / "b-twice.snd").symlink_to("m/1.snd")  # a file reached through a link before its own name
    write(tree / "z/left.kv.0123456789abcdef.marlune-partial", b"half")  # a stopped conversion's
    write(tree / "z/cut.snd", BROKEN["payload-cut"][0])
    write(tree / "notes.txt", b"not audio")
    write(tree / "with space.snd", FIXED)
    write(tree / "new\nline.snd", PER_CHUNK)
    with open(os.path.join(os.fsencode(tree), b"bad\xff.snd"), "wb") as f:  # no UTF-8 name
        f.write(FIXED)
    write(root / "outside/kept.snd", PER_CHUNK)
    write(tree / "l.snd", FIXED)
    (tree / "l.kv").symlink_to("../outside/kept.snd")  # a .kv name that is a link
    # The copy's destination, with links that lead out of it.
    (root / "dst").mkdir()
    (root / "dst/m").symlink_to("../outside", target_is_directory=True)
    (root / "dst/a.wav").symlink_to("../outside/kept.snd")


def snapshot(root: Path) -> Snapshot:
    """Every name under root with its kind and its bytes (a link: its target)."""
    found: Snapshot = {}
    top = os.fsencode(root)
    for folder, folders, files in os.walk(top):
        for name in folders + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, top)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[relative] = ("folder", b"")
            else:
                with open(path, "rb") as f:
                    found[relative] = ("file", f.read())
    return found


def spelled(path: bytes, root: Path) -> str:
    return os.path.relpath(path, os.fsencode(root)).decode("utf-8", "replace")


def of_reports(reports: List[marlune.Report], root: Path) -> Statuses:
    return [(spelled(os.fsencode(r.source), root), int(r.status)) for r in reports]


S = marlune.Status
def by_command(root: Path) -> Tuple[Statuses, Statuses]:
    runs: List[Statuses] = []
    for arguments in (["convert", "-r", "-L", "tree"], ["copy", "-r", "-L", "tree", "dst"]):
        done = subprocess.run([command(), "--json", *arguments], cwd=root, capture_output=True,  # type: ignore
                              env={**os.environ, "LC_ALL": "C.UTF-8"}, check=False)
        records = [json.loads(line) for line in done.stdout.decode().splitlines()]
        runs.append([(r["file"], r["statusCode"]) for r in records if r.get("record") == "file"])
    return runs[0], runs[1]


def by_package(root: Path) -> Tuple[Statuses, Statuses]:
    converted = of_reports(list(marlune.convert_tree(root / "tree", follow_links=True)), root)
    return converted, of_reports(list(marlune.copy_tree(root / "tree", root / "dst", follow_links=True)), root)


def by_dask(root: Path) -> Tuple[Statuses, Statuses]:
    distributed = pytest.importorskip("distributed", reason="Debian's python3-distributed is not installed")
    import marlune.dask
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=40)
    with cluster, distributed.Client(cluster) as client:
        converted = of_reports(list(marlune.dask.convert_tree(root / "tree", client, follow_links=True)), root)
        copied = of_reports(list(marlune.dask.copy_tree(root / "tree", root / "dst", client, follow_links=True)),
                            root)
    return converted, copied


def test_the_package_and_dask_end_the_same(tmp_path: Path) -> None:
    runs = {}
    for name, run in (("package", by_package), ("dask", by_dask)):
        hostile(tmp_path / name)
        statuses = run(tmp_path / name)
        runs[name] = (statuses, snapshot(tmp_path / name))
    assert runs["package"][0] == runs["dask"][0]
    assert runs["package"][1] == runs["dask"][1]
    statuses = dict(runs["package"][0][0])
    assert statuses["tree/a.wav"] == S.RUN_COLLISION and "tree/n/1.snd" not in statuses
    assert statuses["tree/b-twice.snd"] == S.OK and statuses["tree/m/1.snd"] == S.NAMED_TWICE
    assert statuses["tree/z/left.kv.0123456789abcdef.marlune-partial"] == S.RUN_PARTIAL_REMOVED
    assert statuses["tree/bad\ufffd.snd"] == S.OK and statuses["tree/new\nline.snd"] == S.OK
    assert runs["package"][1][b"outside/kept.snd"] == ("file", PER_CHUNK)
    copied = dict(runs["package"][0][1])
    assert copied["tree/a.wav"] == copied["tree/m/1.snd"] == S.RUN_DESTINATION_LINK


@needs_command
def test_the_command_and_the_package_end_the_same(tmp_path: Path) -> None:
    hostile(tmp_path / "command")
    hostile(tmp_path / "package")
    from_command = by_command(tmp_path / "command")
    from_package = by_package(tmp_path / "package")
    assert from_command == from_package
    assert snapshot(tmp_path / "command") == snapshot(tmp_path / "package")
