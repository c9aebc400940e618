#!/usr/bin/env python3
"""Runs every command of README.md as printed, in order, in a copy of the source
tree, and compares what each prints with the output the README shows after it.

Blocks whose first line names a file (/* example.c */) are written to that file
first. The apt-get line is for a fresh system and is left out; the folder
names of mktemp and the times and rates of a run are the only parts that may
differ from the README's.

Usage: readme_test.py SOURCE_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def blocks(text):
    return re.findall(r"^```(\w+)\n(.*?)^```$", text, re.S | re.M)


def normal(output):
    output = re.sub(r"/tmp/tmp\.\w+", "/tmp/tmp.X", output)
    return re.sub(r"[0-9.]+ s, [0-9.]+ MiB/s", "T s, R MiB/s", output).splitlines()


def main():
    source = os.path.abspath(sys.argv[1])
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        readme = blocks(f.read())
    missing = [tool for tool in ("cmake", "cc", "jq", "bash") if not shutil.which(tool)]
    if missing:
        sys.exit(f"FAIL: the README's commands need {', '.join(missing)}")
    env = dict(os.environ, LC_ALL="C.UTF-8", TMPDIR="/tmp")
    failures = commands = 0
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "marlune")
        shutil.copytree(source, tree, ignore=shutil.ignore_patterns(".git", "build*", "node_modules"))
        env["PATH"] = os.path.join(tree, "build", "cli") + os.pathsep + env["PATH"]
        for n, (language, body) in enumerate(readme):
            named = re.fullmatch(r"\s*(?:/\*|//|#)\s*(\S+\.\w+)\s*(?:\*/)?\s*", body.split("\n", 1)[0])
            if language != "sh":
                if named and language != "text":
                    with open(os.path.join(tree, named.group(1)), "w", encoding="utf-8") as f:
                        f.write(body)
                continue
            if body.startswith("apt-get "):
                continue
            commands += 1
            run = subprocess.run(["bash", "-c", body], cwd=tree, env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=900)
            shown = run.stdout.decode(errors="replace")
            following = readme[n + 1] if n + 1 < len(readme) else ("", "")
            expected = following[1] if following[0] == "text" else None
            if expected is None and run.returncode != 0:
                print(f"FAIL: exit status {run.returncode}:\n{body}{shown}")
                failures += 1
            elif expected is not None and normal(shown) != normal(expected):
                print(f"FAIL: the output differs from the README's:\n{body}--- README\n{expected}--- printed\n{shown}")
                failures += 1
            else:
                print(f"ok: {body.splitlines()[0][:100]}")
    print(f"{commands} commands, {failures} failed")
    sys.exit(1 if failures or commands == 0 else 0)


main()
