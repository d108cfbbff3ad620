#!/usr/bin/python3
"""Stands in for the RAR archiver: "rar A -ep [--] <archive> <files...>" stores
the files under their bare names (-ep) in a zip archive, which the tests open.
Like the archiver, it takes "--" as the end of the switches.
$FAKE_RAR_MODE "fail" writes part of the archive and exits 5, as the archiver
does on a write error; "hang" writes its pid to $FAKE_RAR_PID and waits."""
import os
import sys
import time
import zipfile

args = sys.argv[1:]
if len(args) > 2 and args[2] == "--":
    del args[2]
if len(args) < 3 or args[0].upper() != "A" or args[1] != "-ep":
    sys.stderr.write("usage: rar A -ep <archive> <files...>\n")
    sys.exit(2)
mode = os.environ.get("FAKE_RAR_MODE", "")
if mode == "hang":
    with open(os.environ["FAKE_RAR_PID"], "w") as f:
        f.write(str(os.getpid()) + "\n")
    time.sleep(300)
if mode == "fail":
    with open(args[2], "wb") as f:
        f.write(b"PK\3\4 partial")
    print("ERROR: Write error in the file " + args[2])
    sys.exit(5)
with zipfile.ZipFile(args[2], "w") as archive:
    for path in args[3:]:
        if os.path.exists(path):
            archive.write(path, os.path.basename(path))
print("Adding done")
