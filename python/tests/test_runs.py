"""What a whole run guarantees, as the command gives it: no recording lost to a name two
files would write, to a copy over a file of the run or through a link, to the open-file
limit, or to a Ctrl-C."""
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import marlune
from conftest import FIXED, PER_CHUNK, normalised, write

S = marlune.Status
PACKAGE = str(Path(marlune.__file__).resolve().parents[1])


def python(script: str, *arguments: str, **popen: object) -> "subprocess.Popen[str]":
    env = {**os.environ, "PYTHONPATH": PACKAGE, "LC_ALL": "C.UTF-8"}
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *arguments], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)  # type: ignore[call-overload]


def test_two_recordings_for_one_kv_name_lose_neither(tmp_path: Path) -> None:
    write(tmp_path / "a.snd", FIXED)
    write(tmp_path / "a.wav", PER_CHUNK)
    first = list(marlune.convert_tree(tmp_path))
    assert [(os.path.basename(r.source), r.status) for r in first] == [("a.snd", S.OK), ("a.wav", S.RUN_COLLISION)]
    assert first[1].other == str(tmp_path / "a.snd") and not first[1].ok
    # Run again, as anyone would after a file was kept: the .kv is kept, not replaced.
    second = list(marlune.convert_tree(tmp_path))
    assert [r.status for r in second] == [S.ALREADY_CONVERTED, S.DESTINATION_EXISTS]
    assert (tmp_path / "a.wav").read_bytes() == PER_CHUNK
    assert (tmp_path / "a.kv").read_bytes() == normalised(FIXED)
    # Replacing is asked for by name only.
    third = list(marlune.convert_tree(tmp_path, replace=True))
    assert [r.status for r in third] == [S.ALREADY_CONVERTED, S.OK]
    assert (tmp_path / "a.kv").read_bytes() == PER_CHUNK and not (tmp_path / "a.wav").exists()


def test_a_tree_copied_into_its_parent_does_not_land_on_its_own_files(tmp_path: Path) -> None:
    write(tmp_path / "s/y.snd", FIXED)
    write(tmp_path / "s/s/y.snd", PER_CHUNK)
    reports = list(marlune.copy_tree(tmp_path / "s", tmp_path))
    by_source = {os.path.relpath(r.source, tmp_path): r for r in reports}
    assert by_source["s/y.snd"].status is S.OK
    refused = by_source["s/s/y.snd"]
    assert refused.status is S.RUN_LANDS_ON_RUN_FILE and refused.other == str(tmp_path / "s/y.snd")
    assert (tmp_path / "s/y.snd").read_bytes() == FIXED and (tmp_path / "s/s/y.snd").read_bytes() == PER_CHUNK
    assert (tmp_path / "y.snd").read_bytes() == normalised(FIXED)


def test_no_copy_is_written_through_a_link_in_the_destination(tmp_path: Path) -> None:
    write(tmp_path / "src/sub/a.snd", FIXED)
    write(tmp_path / "src/b.snd", FIXED)
    write(tmp_path / "src/c.snd", FIXED)
    outside = tmp_path / "outside"
    write(outside / "kept.snd", PER_CHUNK)
    (tmp_path / "dst").mkdir()
    (tmp_path / "dst/sub").symlink_to(outside, target_is_directory=True)
    (tmp_path / "dst/b.snd").symlink_to(outside / "kept.snd")
    reports = {os.path.relpath(r.source, tmp_path / "src"): r.status
               for r in marlune.copy_tree(tmp_path / "src", tmp_path / "dst")}
    assert reports == {"b.snd": S.RUN_DESTINATION_LINK, "c.snd": S.OK, "sub/a.snd": S.RUN_DESTINATION_LINK}
    assert sorted(os.listdir(outside)) == ["kept.snd"] and (outside / "kept.snd").read_bytes() == PER_CHUNK
    assert (tmp_path / "dst/b.snd").is_symlink() and (tmp_path / "dst/sub").is_symlink()


def test_a_followed_link_into_the_destination_is_not_walked(tmp_path: Path) -> None:
    write(tmp_path / "src/a.snd", FIXED)
    (tmp_path / "dst").mkdir()
    (tmp_path / "src/back").symlink_to(tmp_path / "dst", target_is_directory=True)
    for _ in range(3):
        reports = list(marlune.copy_tree(tmp_path / "src", tmp_path / "dst", follow_links=True))
        assert [os.path.relpath(r.source, tmp_path / "src") for r in reports] == ["a.snd"]
    assert sorted(os.listdir(tmp_path / "dst")) == ["a.snd"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="resource limits are POSIX")
def test_a_thousand_files_under_a_limit_of_1024_open_files(tmp_path: Path) -> None:
    for folder in range(4):
        for i in range(256):
            write(tmp_path / f"d{folder}" / f"{i:03}.snd", FIXED)
    child = python("""
        import collections, resource, sys
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        import marlune
        seen = collections.Counter(r.status_name for r in marlune.convert_tree(sys.argv[1], workers=4))
        print(dict(seen))
        """, str(tmp_path))
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    assert out.strip() == "{'MARLUNE_OK': 1024}"
    assert len(list(tmp_path.glob("d*/*.kv"))) == 1024 and not list(tmp_path.glob("d*/*.snd"))


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="SIGINT to a child is POSIX")
def test_ctrl_c_stops_convert_tree_with_nothing_lost(tmp_path: Path) -> None:
    big = FIXED[:128] + FIXED[128:466] * 6000  # 2 MB, whole chunks
    count = 150
    for i in range(count):
        write(tmp_path / f"{i:03}.snd", big)
    # Ctrl-C as an interactive interpreter takes it: one started as a shell's background
    # job inherits SIGINT ignored.
    child = python("""
        import signal, sys, marlune
        signal.signal(signal.SIGINT, signal.default_int_handler)
        done = 0
        try:
            for report in marlune.convert_tree(sys.argv[1], workers=2, batch_files=2):
                done += 1
                if done == 1:
                    print("first", flush=True)
        except KeyboardInterrupt:
            print("interrupted after", done, flush=True)
            sys.exit(3)
        print("finished", done, flush=True)
        """, str(tmp_path))
    assert child.stdout.readline() == "first\n"
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 3, (out, err)
    assert out.startswith("interrupted after") and "Exception ignored" not in err
    names = os.listdir(tmp_path)
    assert not [n for n in names if "marlune" in n]  # no partial file left
    converted = 0
    for i in range(count):
        kv, snd = f"{i:03}.kv" in names, f"{i:03}.snd" in names
        assert kv != snd, i  # each recording at exactly one name
        if kv:
            converted += 1
            assert (tmp_path / f"{i:03}.kv").read_bytes() == big
        else:
            assert (tmp_path / f"{i:03}.snd").read_bytes() == big
    assert 1 <= converted < count


def test_a_run_left_open_at_exit_is_cancelled_and_waited_for(tmp_path: Path) -> None:
    # The iterator is still referenced when the interpreter exits: its run's threads must not be
    # stopped in the middle of a group.
    big = FIXED[:128] + FIXED[128:466] * 6000
    for i in range(60):
        write(tmp_path / f"{i:03}.snd", big)
    child = python("""
        import sys, marlune
        left_open = marlune.convert_tree(sys.argv[1], workers=2, batch_files=2)
        next(left_open)
        raise SystemExit(4)
        """, str(tmp_path))
    out, err = child.communicate(timeout=120)
    assert child.returncode == 4, err
    names = os.listdir(tmp_path)
    assert not [n for n in names if "marlune" in n]
    assert sorted(n[:3] for n in names) == [f"{i:03}" for i in range(60)]  # each recording at one name
    assert 1 <= sum(n.endswith(".kv") for n in names) < 60
