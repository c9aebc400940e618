#!/usr/bin/env python3
"""The report page of a run, opened in headless Chromium: it loads with no
console error and asks for nothing beyond itself, its numbers as rendered are
the JSON summary's, its table sorts, it reads without scripts, and Python's
marlune.report writes the same page. A screenshot of each page is kept.

Usage: report_page_test.py MARLUNE LIBRARY PYTHON_PACKAGE_FOLDER|none ARTIFACT_FOLDER
Exits 77 (skipped) where no Chromium is installed; "none" leaves Python's page out.
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "browser"))
import devtools  # noqa: E402

# The summary's key for each outcome the page names.
SUMMARY_KEYS = {"converted": "converted", "copied": "copied", "salvaged": "salvaged", "complete": "complete",
                "would-convert": "wouldConvert", "already-kv": "alreadyKv", "skipped": "skipped", "kept": "kept",
                "failed": "failed", "finished": "finished", "partial-removed": "partialsRemoved",
                "collision": "collisions", "cancelled": "cancelled", "suspect": "suspects"}

RENDERED = """JSON.stringify({
  values: Object.fromEntries([...document.querySelectorAll('#summary [data-key]')]
                             .map(cell => [cell.dataset.key, cell.textContent])),
  rows: [...document.querySelectorAll('#files tbody tr')].map(row => row.cells[6].textContent),
  more: (document.getElementById('more') || {dataset: {}}).dataset.count || '0',
  charts: document.querySelectorAll('svg').length,
  scripts: [...document.scripts].filter(script => script.src).length,
})"""


def container(chunks, magic=b"KVRB"):
    header = bytearray(range(0x30, 0x30 + 82))
    header[0:4] = magic
    struct.pack_into("<h", header, 8, 0)
    struct.pack_into("<I", header, 20, 82)
    out = bytes(header)
    for serial in range(1, chunks + 1):
        out += struct.pack("<BBHI", serial % 256, 0x5A, 330, 0xC0C1C2C3) + bytes((serial + i) % 256 for i in range(330))
    return out


def archive(root):
    """Whole files, cuts at every tenth of a file, suspects, other files, and names
    that try to be markup."""
    whole = container(20)
    for n in range(300):
        folder = root / f"tape{n // 50:02}"
        folder.mkdir(exist_ok=True)
        data = whole if n % 3 else whole[: len(whole) * (n % 10 + 1) // 11]
        (folder / f"take{n:03}.snd").write_bytes(data)
    (root / "empty.snd").write_bytes(b"")
    (root / "riff.snd").write_bytes(b"RIFF" + whole[4:])
    (root / "notes.txt").write_bytes(b"not a recording")
    (root / "<img src=x onerror=alert(1)>.snd").write_bytes(whole[:900])
    with open(os.path.join(os.fsencode(root), b"caf\xe9 <b>.snd"), "wb") as f:
        f.write(whole[:400])


def check_page(browser, page, summary, shot):
    """The page's numbers against a JSON summary; returns what is wrong."""
    url = page.resolve().as_uri()
    browser.open(url)
    problems = browser.problems(url)
    shown = json.loads(browser.evaluate(RENDERED))
    values = shown["values"]
    expected = {"files": summary["files"], "notStarted": summary["notStarted"],
                "linksNotFollowed": summary["linksNotFollowed"], "bytesRead": summary["bytesIn"],
                "bytesWritten": summary["bytesOut"]}
    for outcome, key in SUMMARY_KEYS.items():
        if summary[key]:
            expected[f"outcome:{outcome}"] = summary[key]
    got = {key: int(value) for key, value in values.items() if key != "seconds"}
    if got != expected:
        problems.append(f"numbers: the page shows {got}, the summary says {expected}")
    listed = len(shown["rows"]) + int(shown["more"])
    damaged = summary["failed"] + summary["suspects"] + summary["salvaged"]
    if listed != damaged:
        problems.append(f"the table lists {listed} files, {damaged} are damaged or suspect")
    if shown["charts"] != 4 or shown["scripts"] != 0:
        problems.append(f"{shown['charts']} charts, {shown['scripts']} scripts from elsewhere")
    # A click on "missing bytes" sorts by it, as numbers.
    browser.evaluate("document.querySelectorAll('#files th')[6].click()")
    missing = json.loads(browser.evaluate(RENDERED))["rows"]
    numbers = [int(m) for m in missing if m]
    if numbers != sorted(numbers) or len(numbers) < 2:
        problems.append(f"not sorted by missing bytes: {missing[:10]}")
    browser.screenshot(shot)
    print(f"report_page_test: screenshot {shot}")
    return problems


def python_report(root, page, env, summary):
    """marlune.report writes its page; its counts are the command's."""
    script = ("import dataclasses, json, sys, marlune; "
              "print(json.dumps(dataclasses.asdict(marlune.report(sys.argv[1], sys.argv[2], rows=40))))")
    python = subprocess.run(["/usr/bin/python3", "-c", script, str(root), str(page)], capture_output=True, env=env,
                            timeout=300)
    if python.returncode != 0:
        return [f"marlune.report: {python.stderr.decode()}"]
    if json.loads(python.stdout)["files"] != summary["files"]:
        return [f"marlune.report counts {python.stdout.decode()}, the command {summary}"]
    return []


def readable_without_scripts(executable, page):
    with devtools.Browser(executable) as browser:
        browser.open(page.resolve().as_uri(), scripts=False)
        return browser.evaluate("document.querySelector('#summary [data-key=files]').textContent")


def main():
    marlune, library, package, artifacts = sys.argv[1:5]
    executable = devtools.browser()
    if executable is None:
        print("report_page_test: skipped: no chromium here (scripts/install-deps.sh installs it)")
        return 77
    artifacts = Path(artifacts)
    artifacts.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, LC_ALL="C.UTF-8", MARLUNE_LIBRARY=library, PYTHONPATH=package)
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "archive"
        root.mkdir()
        archive(root)
        page = Path(folder) / "report.html"
        result = subprocess.run([marlune, "info", "-r", "--json", "--report", str(page), str(root)],
                                capture_output=True, env=env, timeout=300)
        summary = json.loads(result.stdout.decode().splitlines()[-1])
        python_page = None
        if package == "none":
            print("report_page_test: Python's page left out (this library cannot be loaded into Python)")
        else:
            python_page = Path(folder) / "python.html"
            failures += python_report(root, python_page, env, summary)
        with devtools.Browser(executable) as browser:
            failures += check_page(browser, page, summary, artifacts / "report-page.png")
            if python_page is not None and python_page.exists():
                failures += [f"python: {p}" for p in check_page(browser, python_page, summary,
                                                                artifacts / "report-page-python.png")]
        if readable_without_scripts(executable, page) != str(summary["files"]):
            failures.append("without scripts the page shows no summary")
    for failure in failures:
        print(f"report_page_test: FAIL: {failure}")
    print(f"report_page_test: {summary['files']} files, {'failed' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
