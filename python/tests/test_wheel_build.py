"""The wheel's build chooses its Python as python/README.md says: MARLUNE_PYTHON, else the
first of python3 on PATH and /usr/bin/python3 that has build, setuptools and wheel."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
SYSTEM_PYTHON = "/usr/bin/python3"


def has_wheel_modules(python: str) -> bool:
    return subprocess.run([python, "-c", "import build, setuptools, wheel"], capture_output=True).returncode == 0


pytestmark = pytest.mark.skipif(
    not shutil.which("cmake") or not (REPOSITORY / "CMakeLists.txt").is_file()
    or not os.path.exists(SYSTEM_PYTHON) or not has_wheel_modules(SYSTEM_PYTHON),
    reason="needs cmake, the source tree and Debian's python3 with build, setuptools and wheel")


def configure(build: Path, path: str, *options: str) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PATH"] = path
    return subprocess.run(["cmake", "-S", str(REPOSITORY), "-B", str(build), "-DMARLUNE_BUILD_TESTS=OFF",
                           "-DMARLUNE_PYTHON_WHEEL=ON", *options], capture_output=True, text=True, env=env)


def test_a_python_without_build_first_on_path_is_passed_over_named_or_replaced(tmp_path: Path) -> None:
    # A python3 such as pyenv's or conda's, first on PATH, that lacks the build module.
    bare = tmp_path / "bin" / "python3"
    bare.parent.mkdir()
    bare.write_text(f"#!/bin/sh\nexec {SYSTEM_PYTHON} -S \"$@\"\n")
    bare.chmod(0o755)
    assert not has_wheel_modules(str(bare))
    path = f"{bare.parent}{os.pathsep}{os.environ.get('PATH', '/usr/bin:/bin')}"

    found = configure(tmp_path / "found", path)
    assert found.returncode == 0, found.stderr
    assert f"The Python wheel is built with {SYSTEM_PYTHON}" in found.stdout

    build = tmp_path / "named"
    refused = configure(build, path, f"-DMARLUNE_PYTHON={bare}")
    assert refused.returncode != 0
    said = " ".join(refused.stderr.split())
    assert str(bare) in said and "-DMARLUNE_PYTHON=" in said and "build, setuptools and wheel" in said

    # The same folder, told another: the cached choice does not stick.
    again = configure(build, path, f"-DMARLUNE_PYTHON={SYSTEM_PYTHON}")
    assert again.returncode == 0, again.stderr
    assert f"The Python wheel is built with {SYSTEM_PYTHON}" in again.stdout
