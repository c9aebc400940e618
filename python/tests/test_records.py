"""A tree run's records, written by the library as the command writes them."""
import csv
import os
import subprocess
from pathlib import Path

import pytest

import marlune
from conftest import BROKEN, FIXED, command, needs_command, write


def archive(root: Path) -> None:
    write(root / "whole.snd", FIXED)
    write(root / "cut.snd", BROKEN["payload-cut"][0])
    write(root / "empty.snd", b"")
    write(root / "notes.txt", b"not a recording")
    with open(os.path.join(os.fsencode(root), b"caf\xe9.snd"), "wb") as f:
        f.write(BROKEN["header-cut"][0])


def test_report_writes_the_page_the_lists_and_a_log_that_grows(tmp_path: Path) -> None:
    root = tmp_path / "archive"
    archive(root)
    files = {name: tmp_path / name for name in ("page.html", "run.log", "failed.lst", "suspects.lst", "t.csv")}
    for _ in range(2):
        counts = marlune.report(root, files["page.html"], log=files["run.log"], failed_list=files["failed.lst"],
                                suspect_list=files["suspects.lst"], csv=files["t.csv"])
    assert (counts.files, counts.counts) == (5, {"complete": 1, "failed": 2, "suspect": 1, "skipped": 1})
    assert counts.bytes_read == sum(p.stat().st_size for p in root.iterdir())
    assert counts.bytes_written == 0
    prefix = os.fsencode(root) + b"/"
    assert files["failed.lst"].read_bytes() == prefix + b"caf\xe9.snd\0" + prefix + b"cut.snd\0"
    assert files["suspects.lst"].read_bytes() == prefix + b"empty.snd\0"
    log = files["run.log"].read_text(encoding="utf-8").splitlines()
    assert [line.split(" ")[:4] for line in log if line.startswith("# marlune ")] == [["#", "marlune", "1.0.0", "info"]] * 2
    assert sum(line.startswith("# summary: 5 files: 1 complete, 1 skipped, 2 failed, 1 suspect;") for line in log) == 2
    assert any(line.endswith("caf'$'\\351''.snd': failed: incomplete: the file ends inside the 82-byte header, "
                             "32 of its 82 bytes are missing") for line in log)
    with open(files["t.csv"], newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert [(Path(r["file"]).name, r["outcome"]) for r in rows] == [
        ("caf\ufffd.snd", "failed"), ("cut.snd", "failed"), ("empty.snd", "suspect"), ("notes.txt", "skipped"),
        ("whole.snd", "complete")]
    assert "<svg" in files["page.html"].read_text(encoding="utf-8")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["archive", *files])  # nothing left beside


def test_a_tree_stopped_early_still_ends_its_records(tmp_path: Path) -> None:
    for n in range(40):
        write(tmp_path / "tree" / f"t{n:02}.snd", FIXED if n % 2 else b"")
    log = tmp_path / "run.log"
    listed = tmp_path / "suspects.lst"
    reports = marlune.examine_tree(tmp_path / "tree", records=marlune.RecordFiles(log=log, suspect_list=listed))
    next(reports)
    reports.close()
    text = log.read_text(encoding="utf-8")
    assert text.startswith("# marlune 1.0.0 info started ") and "\n# summary: " in text
    assert listed.read_bytes().startswith(os.fsencode(tmp_path / "tree" / "t00.snd") + b"\0")


def test_records_that_cannot_be_made_are_refused_before_any_work(tmp_path: Path) -> None:
    write(tmp_path / "a.snd", FIXED)
    with pytest.raises(marlune.MarluneError):
        list(marlune.convert_tree(tmp_path / "a.snd", records=marlune.RecordFiles(csv=tmp_path / "no" / "t.csv")))
    assert (tmp_path / "a.snd").exists()


@needs_command
def test_the_command_and_python_write_the_same_csv(tmp_path: Path) -> None:
    root = tmp_path / "archive"
    archive(root)
    marlune.report(root, tmp_path / "python.html", csv=tmp_path / "python.csv")
    subprocess.run([command(), "info", "-r", "--csv", str(tmp_path / "command.csv"), str(root)],  # type: ignore[list-item]
                   capture_output=True, check=False)
    def table(name: str) -> list:
        with open(tmp_path / name, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    assert table("python.csv") == table("command.csv")



def test_a_mirrors_page_says_whether_its_files_and_manifest_are_safe(tmp_path: Path) -> None:
    """The page's first sentence, as the command's: every file arrived, and what became of the manifest."""
    write(tmp_path / "in" / "a.snd", FIXED)
    write(tmp_path / "in" / "notes.txt", b"notes")
    cases = [(tmp_path / "m.sha256", "Every file arrived and its manifest is written.",
              f"The manifest is written: <code>{tmp_path / 'm.sha256'}</code>."),
             (None, "Every file arrived.", "No manifest was asked for.")]
    for manifest, verdict, said in cases:
        page = tmp_path / f"page-{manifest is None}.html"
        list(marlune.copy_tree(tmp_path / "in", tmp_path / "out", mirror=True, manifest=manifest,
                               records=marlune.RecordFiles(html=page)))
        text = page.read_text(encoding="utf-8")
        assert f'<p id="verdict" class="safe">{verdict}</p>' in text, text[:800]
        assert f'<p id="manifest">{said}</p>' in text, text[:800]
