"""How the package finds the C library: MARLUNE_LIBRARY, else a bundled copy, else the system's."""
import ctypes
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import marlune

PYTHON_DIR = Path(__file__).resolve().parent.parent


def python(code: str, env: dict, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd,
                          check=False)


def clean_environment() -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("MARLUNE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env["LC_ALL"] = "C.UTF-8"
    return env


def test_the_library_in_use_is_the_one_named() -> None:
    named = os.environ.get("MARLUNE_LIBRARY")
    if named:
        assert marlune.library_path == named
    else:
        assert Path(marlune.library_path).parent == Path(marlune.__file__).parent
    assert marlune.version() == "1.0.0"


def test_a_wrong_marlune_library_says_where_it_looked(tmp_path: Path) -> None:
    env = clean_environment()
    env["MARLUNE_LIBRARY"] = str(tmp_path / "nowhere.so")
    env["PYTHONPATH"] = str(PYTHON_DIR)
    done = python("import marlune", env, tmp_path)
    assert done.returncode != 0
    assert "LibraryNotFound" in done.stderr and str(tmp_path / "nowhere.so") in done.stderr
    assert "MARLUNE_LIBRARY" in done.stderr


def test_a_bundled_copy_is_found_without_marlune_library(tmp_path: Path) -> None:
    # The package as a wheel lays it out: the library beside the modules.
    library = Path(marlune.library_path)
    package = tmp_path / "marlune"
    package.mkdir()
    for module in Path(marlune.__file__).parent.glob("*.py"):
        (package / module.name).write_bytes(module.read_bytes())
    bundled = package / ("Marlune.dll" if sys.platform == "win32" else "libmarlune.so.1")
    bundled.write_bytes(library.read_bytes())
    env = clean_environment()
    env["PYTHONPATH"] = str(tmp_path)
    done = python("import marlune; print(marlune.library_path); print(marlune.examine(memoryview(b'')).status_name)",
                  env, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(bundled), "MARLUNE_NOT_A_CONTAINER"]


@pytest.mark.skipif(not os.environ.get("MARLUNE_EXPECT_BUNDLED"), reason="the run did not install a wheel")
def test_the_installed_wheel_brought_its_library() -> None:
    assert "MARLUNE_LIBRARY" not in os.environ
    assert Path(marlune.library_path).parent == Path(marlune.__file__).parent
    assert Path(marlune.__file__).parent != PYTHON_DIR / "marlune", "the wheel's copy is in use, not the checkout"


def test_the_installed_package_says_its_licence() -> None:
    from importlib import metadata
    try:
        meta = metadata.metadata("marlune")
    except metadata.PackageNotFoundError:
        pytest.skip("the package is imported from the checkout, not installed")
    assert meta["License"] == "MIT"
    assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")


@pytest.mark.skipif(not os.environ.get("MARLUNE_EXPECT_BUNDLED"), reason="the run did not install a wheel")
def test_the_wheel_carries_the_licence_text() -> None:
    from importlib import metadata
    files = [f for f in metadata.files("marlune") or () if f.name == "LICENSE"]
    assert files, "the wheel holds no LICENSE"
    assert files[0].read_text(encoding="utf-8") == (PYTHON_DIR.parent / "LICENSE").read_text(encoding="utf-8")


HEADER = PYTHON_DIR.parent / "include" / "marlune.h"
COMPILER = shutil.which("cc") or shutil.which("gcc")


@pytest.mark.skipif(not HEADER.is_file() or COMPILER is None, reason="needs marlune.h and a C compiler")
def test_every_ctypes_struct_lies_as_the_c_compiler_lays_it_out(tmp_path: Path) -> None:
    from marlune import _library
    structs = {"marlune_report": _library.Report, "marlune_options": _library.Options,
               "marlune_reader": _library.Reader, "marlune_writer": _library.Writer,
               "marlune_run_options": _library.RunOptions, "marlune_run_result": _library.RunResult,
               "marlune_run_tally": _library.RunTally}
    lines = ["#include <stddef.h>", "#include <stdio.h>", '#include "marlune.h"', "int main(void) {"]
    expected = []
    for name, struct in structs.items():
        lines.append(f'printf("{name} %u\\n", (unsigned)sizeof({name}));')
        expected.append(f"{name} {ctypes.sizeof(struct)}")
        for field, _ in struct._fields_:
            lines.append(f'printf("{name}.{field} %u %u\\n", (unsigned)offsetof({name}, {field}), '
                         f"(unsigned)sizeof((({name} *)0)->{field}));")
            expected.append(f"{name}.{field} {getattr(struct, field).offset} {getattr(struct, field).size}")
    (tmp_path / "layout.c").write_text("\n".join(lines + ["return 0;", "}"]) + "\n")
    subprocess.run([COMPILER, "-I", str(HEADER.parent), "-o", str(tmp_path / "layout"), str(tmp_path / "layout.c")],
                   check=True)
    printed = subprocess.run([str(tmp_path / "layout")], capture_output=True, text=True, check=True).stdout
    assert printed.splitlines() == expected
