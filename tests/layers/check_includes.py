#!/usr/bin/python3
"""Fails when a file of the program includes a header of a layer above its own.

The layers, lowest first; a folder may include its own headers and those of
the layers below it, never one beside or above it:

  platform <- store <- schedule, report <- job <- service <- editor <- window <- main

Usage: check_includes.py <app folder>
"""
import pathlib
import re
import sys

RANKS = {"platform": 0, "store": 1, "schedule": 2, "report": 2, "job": 3, "service": 4,
         "editor": 5, "window": 6, "main": 7}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def layer_of(app, path):
    relative = path.relative_to(app)
    return "main" if len(relative.parts) == 1 else relative.parts[0]


def main():
    app = pathlib.Path(sys.argv[1])
    problems = []
    for path in sorted(app.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".in"):
            continue
        layer = layer_of(app, path)
        if layer not in RANKS:
            problems.append(f"{path}: folder '{layer}' has no place among the layers")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if target == layer:
                continue
            if target not in RANKS or RANKS[target] >= RANKS[layer]:
                problems.append(f"{path}:{number}: '{layer}' may not include '{target}/'")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
