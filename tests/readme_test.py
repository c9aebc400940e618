#!/usr/bin/env python3
"""Runs every command of README.md as printed, in order, in a copy of the source
tree, and compares what each prints with the output the README shows after it.

Blocks that are files, named by their first line (/* example.c */) or by the
sentence before them (where `example.py` is:), are written before any command
runs: a command may come before the file it uses; a C file must build with
-Wall -Wextra -Werror. A command's output is the
text block after it, or after the files that follow it. The apt-get line is for
a fresh system and is left out; the folder names of mktemp and tempfile and the
times and rates of a run are the only parts that may differ from the README's.

Usage: readme_test.py SOURCE_DIR
Without a tool or Python module the README's commands need, it says which and
exits 77, which CTest counts as skipped.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


SKIPPED = 77


def blocks(text):
    """(language, body, the file it is or None) for each fenced block."""
    found = []
    for before, language, body in re.findall(r"(.*?)^```(\w+)\n(.*?)^```$", text, re.S | re.M):
        named = re.fullmatch(r"\s*(?:/\*|//|#)\s*(\S+\.\w+)\s*(?:\*/)?\s*", body.split("\n", 1)[0])
        said = re.search(r"`([\w.-]+\.\w+)` is:\s*$", before)
        name = named.group(1) if named else said.group(1) if said else None
        found.append((language, body, name if language not in ("sh", "text") else None))
    return found


def normal(output):
    output = re.sub(r"/tmp/tmp\.?\w+", "/tmp/tmp.X", output)
    # A log's header tells when and where it ran; its summary how long it took.
    output = re.sub(r"started \S+Z in \S+:", "started TIME in FOLDER:", output)
    output = re.sub(r"bytes written, [0-9.]+ s$", "bytes written, T s", output, flags=re.M)
    return re.sub(r"[0-9.]+ s, [0-9.]+ MiB/s", "T s, R MiB/s", output).splitlines()


def unignored(source, made):
    """What the README's commands and files leave in the source folder must be ignored by git."""
    if not shutil.which("git") or subprocess.run(["git", "-C", source, "rev-parse"], capture_output=True).returncode:
        print("(not a git checkout: what the commands leave is not checked against .gitignore)")
        return 0
    left = [name for name in made
            if subprocess.run(["git", "-C", source, "check-ignore", "-q", "--no-index", "--", name]).returncode]
    if left:
        print(f"FAIL: git does not ignore what the README's commands leave: {', '.join(left)}")
        return 1
    print(f"ok: git ignores what the README's commands leave ({', '.join(made)})")
    return 0


def main():
    source = os.path.abspath(sys.argv[1])
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        readme = blocks(f.read())
    # Python's settings are the reader's, not this machine's: MARLUNE_LIBRARY would choose another
    # library than the wheel's. A reader may well have PYTHONDONTWRITEBYTECODE: the commands print the same.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("PYTHON") and k not in ("VIRTUAL_ENV", "MARLUNE_LIBRARY")}
    env.update(LC_ALL="C.UTF-8", TMPDIR="/tmp", PYTHONDONTWRITEBYTECODE="1")
    # The README is written for Debian 12, whose python3 is /usr/bin/python3 with Debian's modules
    # (venv, build, dask); a python3 earlier on PATH (pyenv's, say) has none of them.
    env["PATH"] = os.pathsep.join(["/usr/bin", "/bin", env.get("PATH", "")])
    missing = [tool for tool in ("cmake", "cc", "jq", "bash", "python3") if not shutil.which(tool, path=env["PATH"])]
    if missing:
        print(f"SKIPPED: the README's commands need {', '.join(missing)}")
        sys.exit(SKIPPED)
    modules = subprocess.run([shutil.which("python3", path=env["PATH"]), "-c",
                              "import ensurepip, build, setuptools, wheel"], env=env, capture_output=True)
    if modules.returncode != 0:
        print("SKIPPED: the README's Python section needs python3-venv, python3-build, python3-setuptools "
              "and python3-wheel")
        sys.exit(SKIPPED)
    failures = commands = 0
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "marlune")
        shutil.copytree(source, tree, ignore=shutil.ignore_patterns(".git", "build*", "node_modules"))
        copied = set(os.listdir(tree))
        env["PATH"] = os.path.join(tree, "build", "cli") + os.pathsep + env["PATH"]
        for language, body, name in readme:
            if name:
                with open(os.path.join(tree, name), "w", encoding="utf-8") as f:
                    f.write(body)
        # A reader's C is built with warnings on: the examples must give none.
        for language, body, name in readme:
            if name and name.endswith(".c"):
                built = subprocess.run(["cc", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-Iinclude", name],
                                       cwd=tree, env=env, capture_output=True, text=True)
                if built.returncode != 0:
                    print(f"FAIL: {name} does not build clean with -Wall -Wextra -Werror:\n{built.stderr}")
                    failures += 1
                else:
                    print(f"ok: {name} builds clean with -Wall -Wextra -Werror")
        for n, (language, body, name) in enumerate(readme):
            if language != "sh":
                continue
            if body.startswith("apt-get "):
                continue
            commands += 1
            run = subprocess.run(["bash", "-c", body], cwd=tree, env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=900)
            shown = run.stdout.decode(errors="replace")
            following = n + 1
            while following < len(readme) and readme[following][2]:
                following += 1
            expected = readme[following][1] if following < len(readme) and readme[following][0] == "text" else None
            if expected is None and run.returncode != 0:
                print(f"FAIL: exit status {run.returncode}:\n{body}{shown}")
                failures += 1
            elif expected is not None and normal(shown) != normal(expected):
                print(f"FAIL: the output differs from the README's:\n{body}--- README\n{expected}--- printed\n{shown}")
                failures += 1
            else:
                print(f"ok: {body.splitlines()[0][:100]}")
        failures += unignored(source, sorted(name + "/" if os.path.isdir(os.path.join(tree, name)) else name
                                             for name in set(os.listdir(tree)) - copied))
    print(f"{commands} commands, {failures} failed")
    sys.exit(1 if failures or commands == 0 else 0)


main()
