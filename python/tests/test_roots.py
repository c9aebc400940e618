"""A tree whose folder is missing, is no folder, or (the destination) may not be written
raises as Python does (FileNotFoundError, NotADirectoryError, PermissionError, each also
the package's SourceError or DestinationError) before any work; and marlune.dask's tree
functions take what the local ones take."""
import errno
import inspect
import os
from pathlib import Path
from typing import Any, Callable, Dict

import pytest

import marlune
import marlune.dask
from conftest import FIXED, write

# Root writes in any folder: a read-only destination is no refusal for it.
AS_ROOT = os.name == "posix" and os.geteuid() == 0


class NoCluster:
    """A client no step is ever sent to: every case here is refused before the first."""

    def nthreads(self) -> Dict[str, int]:
        return {"worker": 1}

    def submit(self, *args: Any, **kwargs: Any) -> Any:
        raise AssertionError("a step was sent before the roots were looked at")


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    write(tmp_path / "src" / "a.snd", FIXED)
    write(tmp_path / "file", b"not a folder")
    (tmp_path / "read-only").mkdir()
    (tmp_path / "read-only").chmod(0o555)
    write(tmp_path / "locked" / "src" / "a.snd", FIXED)
    (tmp_path / "locked").chmod(0)
    yield tmp_path
    (tmp_path / "read-only").chmod(0o755)
    (tmp_path / "locked").chmod(0o755)


# (the call, the folder it is about, the builtin class, the package's class, its errno)
CASES: Dict[str, Any] = {
    "copy_tree, source missing": (lambda t: marlune.copy_tree(t / "none", t / "out"), "none",
                                  FileNotFoundError, marlune.SourceError, errno.ENOENT),
    "copy_tree, source a file": (lambda t: marlune.copy_tree(t / "file", t / "out"), "file",
                                 NotADirectoryError, marlune.SourceError, errno.ENOTDIR),
    "copy_tree, destination a file": (lambda t: marlune.copy_tree(t / "src", t / "file"), "file",
                                      NotADirectoryError, marlune.DestinationError, errno.ENOTDIR),
    "copy_tree, destination under a file": (lambda t: marlune.copy_tree(t / "src", t / "file" / "out"), "file/out",
                                            NotADirectoryError, marlune.DestinationError, errno.ENOTDIR),
    "copy_tree, read-only destination": (lambda t: marlune.copy_tree(t / "src", t / "read-only"), "read-only",
                                         PermissionError, marlune.DestinationError, errno.EACCES),
    "mirror into a read-only folder": (lambda t: marlune.copy_tree(t / "src", t / "read-only" / "m", mirror=True),
                                       "read-only/m", PermissionError, marlune.DestinationError, errno.EACCES),
    "copy_tree, source behind a folder that may not be searched": (
        lambda t: marlune.copy_tree(t / "locked" / "src", t / "out"), "locked/src", PermissionError,
        marlune.SourceError, errno.EACCES),
    "salvage_tree, source missing": (lambda t: marlune.salvage_tree(t / "none", t / "out"), "none",
                                     FileNotFoundError, marlune.SourceError, errno.ENOENT),
    "verify, source missing": (lambda t: marlune.verify(t / "none", t / "src"), "none",
                               FileNotFoundError, marlune.SourceError, errno.ENOENT),
    "verify, destination missing": (lambda t: marlune.verify(t / "src", t / "none"), "none",
                                    FileNotFoundError, marlune.DestinationError, errno.ENOENT),
    "verify, manifest, destination a file": (lambda t: marlune.verify(None, t / "file", manifest=t / "m"), "file",
                                             NotADirectoryError, marlune.DestinationError, errno.ENOTDIR),
    "examine_tree, root missing": (lambda t: marlune.examine_tree(t / "none"), "none",
                                   FileNotFoundError, marlune.SourceError, errno.ENOENT),
    "convert_tree, root missing": (lambda t: marlune.convert_tree(t / "none"), "none",
                                   FileNotFoundError, marlune.SourceError, errno.ENOENT),
    "dask copy_tree, source a file": (lambda t: marlune.dask.copy_tree(t / "file", t / "out", NoCluster()), "file",
                                      NotADirectoryError, marlune.SourceError, errno.ENOTDIR),
    "dask copy_tree, read-only destination": (lambda t: marlune.dask.copy_tree(t / "src", t / "read-only",
                                                                               NoCluster()),
                                              "read-only", PermissionError, marlune.DestinationError, errno.EACCES),
    "dask salvage_tree, destination a file": (lambda t: marlune.dask.salvage_tree(t / "src", t / "file",
                                                                                  NoCluster()),
                                              "file", NotADirectoryError, marlune.DestinationError, errno.ENOTDIR),
    "dask verify, destination missing": (lambda t: marlune.dask.verify(t / "src", t / "none", NoCluster()), "none",
                                         FileNotFoundError, marlune.DestinationError, errno.ENOENT),
    "dask convert_tree, root missing": (lambda t: marlune.dask.convert_tree(t / "none", NoCluster()), "none",
                                        FileNotFoundError, marlune.SourceError, errno.ENOENT),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_folder_a_tree_cannot_use_raises_as_python_does(tree: Path, case: str) -> None:
    call, about, builtin, family, code = CASES[case]
    if code == errno.EACCES and (AS_ROOT or os.name != "posix"):
        pytest.skip("root reads and writes in any folder; on Windows the copies meet the permissions")
    with pytest.raises(builtin) as raised:
        next(iter(call(tree)))
    error = raised.value
    assert isinstance(error, family) and isinstance(error, marlune.MarluneError)
    assert (error.errno, os.fspath(error.filename)) == (code, str(tree / about))
    assert error.report.system_error == code and str(tree / about) in str(error)
    # Before any work: nothing made, nothing converted.
    assert not (tree / "out").exists() and not (tree / "read-only" / "m").exists()
    assert sorted(p.name for p in (tree / "src").iterdir()) == ["a.snd"]


def test_a_dry_run_and_a_destination_to_be_made_are_no_refusal(tree: Path) -> None:
    [judged] = marlune.copy_tree(tree / "src", tree / "read-only", mirror=True, dry_run=True)
    assert judged.outcome == "copied" and not (tree / "read-only" / "a.snd").exists()
    [copied] = marlune.copy_tree(tree / "src", tree / "out" / "deep")
    assert copied.ok and (tree / "out" / "deep" / "a.snd").exists()


def _keywords(function: Callable[..., Any]) -> Dict[str, inspect.Parameter]:
    return {name: p for name, p in inspect.signature(function).parameters.items() if p.kind is p.KEYWORD_ONLY}


@pytest.mark.parametrize("name", ["copy_tree", "salvage_tree", "convert_tree"])
def test_dask_takes_every_keyword_the_local_tree_function_takes(name: str) -> None:
    local, spread = _keywords(getattr(marlune, name)), _keywords(getattr(marlune.dask, name))
    assert {k: p.default for k, p in local.items()} == {k: p.default for k, p in spread.items()}


def test_a_dask_mirrors_manifest_name_is_looked_at_before_any_work(tree: Path) -> None:
    for name, error in (("src/a.snd", marlune.DestinationError), ("none/m", FileNotFoundError)):
        with pytest.raises(error) as raised:
            next(iter(marlune.dask.copy_tree(tree / "src", tree / "out", NoCluster(), mirror=True,
                                             manifest=tree / name)))
        assert raised.value.report.destination == os.fsdecode(tree / name)
    assert not (tree / "out").exists() and (tree / "src" / "a.snd").read_bytes() == FIXED
