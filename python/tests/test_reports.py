"""Reports as a table takes them, and errors as Python code catches them."""
import dataclasses
import errno
import os
import pickle
from pathlib import Path

import pytest

import marlune
from conftest import BROKEN, FIXED, command_records, needs_command, write

# Report field: the command's JSON key that is null when the field does not apply.
NULL_AS_JSON = {"cut_offset": "cutOffset", "cut_size": "cutExpectedBytes", "cut_missing": "cutMissingBytes",
                "chunk_number": "chunk", "length_mode": "lengthMode", "data_offset": "dataOffset",
                "chunks": "chunks", "payload_bytes": "payloadBytes", "length_fields_set": "lengthFieldsToRewrite"}


@needs_command
def test_fields_are_none_where_the_json_has_null(tmp_path: Path) -> None:
    sources = {name: write(tmp_path / f"{name}.snd", data) for name, (data, _) in BROKEN.items()}
    sources["complete"] = write(tmp_path / "complete.snd", FIXED)
    sources["missing"] = tmp_path / "missing.snd"
    for name, path in sources.items():
        report = marlune.examine(path) if name != "missing" else None
        if report is None:
            with pytest.raises(marlune.SourceError) as caught:
                marlune.examine(path)
            report = caught.value.report
        [record] = command_records("info", "--json", str(path))
        for field, key in NULL_AS_JSON.items():
            value = getattr(report, field)
            assert (value is None) == (record[key] is None), (name, field, value, record[key])
            if value is not None:
                assert value == record[key], (name, field)


def test_a_header_cut_short_has_no_length_mode_and_a_whole_file_no_cut() -> None:
    cut = marlune.examine(memoryview(FIXED[:50]))
    assert (cut.length_mode, cut.data_offset, cut.chunks) == (None, None, None)
    assert (cut.cut_offset, cut.cut_size, cut.cut_missing, cut.chunk_number) == (0, 82, 32, None)
    whole = marlune.examine(memoryview(FIXED))
    assert (whole.cut_offset, whole.cut_size, whole.cut_missing, whole.chunk_number) == (None,) * 4
    assert (whole.length_mode, whole.data_offset, whole.chunks) == (0, 128, 4)


def test_a_source_never_opened_has_no_magic(tmp_path: Path) -> None:
    with pytest.raises(marlune.SourceError) as caught:
        marlune.examine(tmp_path / "missing.snd")
    assert caught.value.report.magic is None
    assert marlune.examine(memoryview(b"")).magic == b""


def test_ok_and_complete_are_columns_of_a_table() -> None:
    reports = [marlune.examine(memoryview(FIXED)), marlune.examine(memoryview(FIXED[:50]))]
    names = [f.name for f in dataclasses.fields(marlune.Report)]
    assert {"ok", "complete"} <= set(names)   # what pd.DataFrame(reports) makes columns of
    rows = [r.as_dict() for r in reports]
    assert [(row["ok"], row["complete"], row["status_name"]) for row in rows] == [
        (True, True, "MARLUNE_OK"), (False, False, "MARLUNE_HEADER_CUT")]
    assert rows[1] == dataclasses.asdict(reports[1]) == reports[1].to_dict()
    assert dataclasses.replace(reports[0], status=marlune.Status.PAYLOAD_CUT).ok is False


def test_a_missing_source_is_a_file_not_found_error(tmp_path: Path) -> None:
    missing = str(tmp_path / "missing.snd")
    with pytest.raises(FileNotFoundError) as caught:
        marlune.examine(missing)
    error = caught.value
    assert isinstance(error, marlune.SourceError) and isinstance(error, marlune.MarluneError)
    assert (error.errno, error.strerror, error.filename) == (errno.ENOENT, os.strerror(errno.ENOENT), missing)
    assert str(error) == f"{missing}: no such file"
    assert error.status is marlune.Status.SOURCE_MISSING


def test_a_folder_as_source_is_an_is_a_directory_error(tmp_path: Path) -> None:
    with pytest.raises(IsADirectoryError) as caught:
        marlune.copy(tmp_path, tmp_path / "out.kv")
    assert isinstance(caught.value, marlune.SourceError)
    assert (caught.value.errno, caught.value.filename) == (errno.EISDIR, str(tmp_path))


def test_a_destination_in_a_missing_folder_names_the_destination(tmp_path: Path) -> None:
    source = write(tmp_path / "take.snd", FIXED)
    destination = str(tmp_path / "no" / "take.kv")
    with pytest.raises(OSError) as caught:
        marlune.copy(source, destination)
    assert isinstance(caught.value, FileNotFoundError) and isinstance(caught.value, marlune.DestinationError)
    assert caught.value.filename == destination


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root may read any file")
def test_an_unreadable_source_is_a_permission_error(tmp_path: Path) -> None:
    source = write(tmp_path / "take.snd", FIXED)
    source.chmod(0)
    with pytest.raises(PermissionError) as caught:
        marlune.examine(source)
    assert isinstance(caught.value, marlune.SourceError) and caught.value.errno == errno.EACCES


def test_a_failure_of_the_bytes_is_no_os_error(tmp_path: Path) -> None:
    with pytest.raises(marlune.Truncated) as caught:
        marlune.copy(memoryview(FIXED[:50]), tmp_path / "cut.kv")
    assert not isinstance(caught.value, OSError)


def test_errors_survive_pickling_as_dask_sends_them(tmp_path: Path) -> None:
    with pytest.raises(marlune.MarluneError) as caught:
        marlune.examine(tmp_path / "missing.snd")
    again = pickle.loads(pickle.dumps(caught.value))
    assert isinstance(again, FileNotFoundError) and isinstance(again, marlune.SourceError)
    assert (str(again), again.errno, again.filename, again.report) == (
        str(caught.value), caught.value.errno, caught.value.filename, caught.value.report)
    with pytest.raises(marlune.Truncated) as cut:
        marlune.examine(memoryview(FIXED[:50])).check()
    assert type(pickle.loads(pickle.dumps(cut.value))) is marlune.Truncated
