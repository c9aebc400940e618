#!/usr/bin/env python3
"""Writes the status constants of the host pages (docs/hosts/*.md) from the one
list of statuses, the status enum of include/marlune.h, so that no page holds a
copy of its own.

In a page, the constants stand between two comment lines of the block's language
holding "statuses: begin" and "statuses: end"; what is between them is
replaced. With --check nothing is written: it says which pages differ and
exits 1.

Usage: host_statuses.py [--check] [REPOSITORY]
"""
import os
import re
import sys

BEGIN = "statuses: begin"
END = "statuses: end"

# How each fenced block's language spells one constant.
FORMATS = {
    "csharp": "public const int {name} = {value};",
    "js": "{name}: {value},",
    "pascal": "{name} = {value};",
    "vb": "Public Const {name} As Long = {value}",
}


def statuses(header_text):
    """[(name, value)] of the status enum, in its order."""
    enum = re.search(r"^enum \{\n(\s*MARLUNE_OK = 0,.*?)^\};", header_text, re.S | re.M)
    if not enum:
        raise SystemExit("host_statuses: no status enum (beginning MARLUNE_OK = 0) in marlune.h")
    return [(name, int(value)) for name, value in re.findall(r"^\s*(MARLUNE_\w+) = (\d+)", enum.group(1), re.M)]


def rewrite(page_text, table):
    """The page with every begin/end pair's lines replaced; and how many pairs it has."""
    out, inside, language, skipping, pairs = [], False, None, False, 0
    for line in page_text.splitlines(keepends=True):
        fence = re.match(r"^```(\w*)", line)
        if fence and not skipping:
            inside = not inside
            language = fence.group(1) if inside else None
        if skipping:
            if END in line:
                skipping = False
                out.append(line)
            continue
        out.append(line)
        if BEGIN in line:
            if language not in FORMATS:
                raise SystemExit(f"host_statuses: statuses in a block of {language!r}, which has no format")
            indent = line[:len(line) - len(line.lstrip())]
            out += [indent + FORMATS[language].format(name=n, value=v) + "\n" for n, v in table]
            skipping, pairs = True, pairs + 1
    if skipping:
        raise SystemExit(f"host_statuses: a '{BEGIN}' line without its '{END}'")
    return "".join(out), pairs


def pages(root):
    folder = os.path.join(root, "docs", "hosts")
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".md")]


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "include", "marlune.h"), encoding="utf-8") as f:
        table = statuses(f.read())
    stale = []
    for page in pages(root):
        with open(page, encoding="utf-8") as f:
            text = f.read()
        new, _ = rewrite(text, table)
        if new != text:
            stale.append(page)
            if not check:
                with open(page, "w", encoding="utf-8") as f:
                    f.write(new)
    if check and stale:
        print("host_statuses: the status constants of " + ", ".join(stale) + " differ from include/marlune.h; "
              "run python3 tools/host_statuses.py")
        return 1
    print(f"host_statuses: {len(table)} statuses, " + ("pages as the header" if check else
                                                          f"{len(stale)} pages rewritten"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
