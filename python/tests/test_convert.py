from pathlib import Path

import pytest

import marlune
from conftest import BROKEN, FIXED, normalised, write


def test_convert_replaces_the_source_by_its_kv(tmp_path: Path) -> None:
    source = write(tmp_path / "take.snd", FIXED)
    report = marlune.convert(source)
    assert report.status is marlune.Status.OK
    assert report.destination == str(tmp_path / "take.kv")
    assert not source.exists() and (tmp_path / "take.kv").read_bytes() == normalised(FIXED)


def test_already_converted(tmp_path: Path) -> None:
    report = marlune.convert(write(tmp_path / "take.kv", FIXED))
    assert report.status is marlune.Status.ALREADY_CONVERTED and report.ok and report.destination is None


def test_replace_false_and_what_a_stopped_conversion_left(tmp_path: Path) -> None:
    write(tmp_path / "a.kv", b"other")
    with pytest.raises(marlune.DestinationError) as raised:
        marlune.convert(write(tmp_path / "a.snd", FIXED), replace=False)
    assert raised.value.status is marlune.Status.DESTINATION_EXISTS
    assert (tmp_path / "a.snd").exists()
    # The .kv holds this file's conversion: only the source's removal was missing.
    write(tmp_path / "b.kv", normalised(FIXED))
    report = marlune.convert(write(tmp_path / "b.snd", FIXED), replace=False)
    assert report.status is marlune.Status.FINISHED and not (tmp_path / "b.snd").exists()


def test_a_file_that_is_no_container_is_kept(tmp_path: Path) -> None:
    source = write(tmp_path / "notes.txt", b"hello, world")
    with pytest.raises(marlune.NotAContainer) as raised:
        marlune.convert(source)
    assert raised.value.report.reason == "not a container"
    assert source.exists() and not (tmp_path / "notes.kv").exists()


def test_a_cut_file_is_kept(tmp_path: Path) -> None:
    source = write(tmp_path / "cut.snd", BROKEN["chunk-header-cut"][0])
    with pytest.raises(marlune.Truncated):
        marlune.convert(source)
    assert source.exists()


def test_kv_name() -> None:
    assert marlune.kv_name("a/b.c/take.snd") == "a/b.c/take.kv"
    assert marlune.kv_name("a.d/take") == "a.d/take.kv"
    assert marlune.kv_name(b"take.x\xff") == b"take.kv"


def test_statuses_come_from_the_library() -> None:
    assert marlune.Status.PAYLOAD_CUT == 51
    assert marlune.status_name(51) == "MARLUNE_PAYLOAD_CUT"
    assert marlune.status_name(99) == "MARLUNE_UNKNOWN"
    assert marlune.status_text(marlune.Status.DISK_FULL) == "the destination's disk is full"
    for status in marlune.Status:
        assert marlune.status_name(status) == "MARLUNE_" + status.name
    assert issubclass(marlune.DiskFull, marlune.DestinationError)
    assert issubclass(marlune.BadName, ValueError)
