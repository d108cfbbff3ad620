#!/usr/bin/python3
"""Fails when a file of the program includes a header its folder may not use.

The layers, lowest first; a folder may include its own headers and those of
the layers below it, never one beside or above it:

  platform <- store <- schedule, report <- job <- service <- cli, editor, window <- main

and only those of the layers its CMakeLists.txt links directly (LINKS of its
veltrane_layer; the program's target_link_libraries for main.cpp), so that
no folder builds by the luck of the link order.

Usage: check_includes.py <app folder>
"""
import pathlib
import re
import sys

RANKS = {"platform": 0, "store": 1, "schedule": 2, "report": 2, "job": 3, "service": 4,
         "cli": 5, "editor": 5, "window": 6, "main": 7}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
LINK = re.compile(r"\bveltrane_([a-z_]+)\b")


def layer_of(app, path):
    relative = path.relative_to(app)
    return "main" if len(relative.parts) == 1 else relative.parts[0]


def declared_links(app):
    """Each layer's directly linked layers, from the CMake files."""
    links = {}
    for layer in RANKS:
        if layer == "main":
            text = (app / "CMakeLists.txt").read_text(encoding="utf-8")
            match = re.search(r"target_link_libraries\(veltrane\s+PRIVATE([^)]*)\)", text)
        else:
            text = (app / layer / "CMakeLists.txt").read_text(encoding="utf-8")
            match = re.search(r"LINKS([^)]*)\)", text)
        links[layer] = set(LINK.findall(match.group(1))) if match else set()
    return links


def main():
    app = pathlib.Path(sys.argv[1])
    links = declared_links(app)
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
            elif target not in links[layer]:
                problems.append(f"{path}:{number}: '{layer}' includes '{target}/' "
                                f"without linking veltrane_{target}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
