#!/usr/bin/python3
"""Stands in for the RAR archiver: "rar A -ep [--] <archive> <files...>" stores
the files under their bare names (-ep) in a zip archive, which the tests open.
Like the archiver, it takes "--" as the end of the switches."""
import os
import sys
import zipfile

args = sys.argv[1:]
if len(args) > 2 and args[2] == "--":
    del args[2]
if len(args) < 3 or args[0].upper() != "A" or args[1] != "-ep":
    sys.stderr.write("usage: rar A -ep <archive> <files...>\n")
    sys.exit(2)
with zipfile.ZipFile(args[2], "w") as archive:
    for path in args[3:]:
        if os.path.exists(path):
            archive.write(path, os.path.basename(path))
print("Adding done")
