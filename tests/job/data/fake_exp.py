#!/usr/bin/python3
"""Stands in for the Oracle export utility in the backup run's tests.

Takes its parameters as the real one does (oracle_params: the login first or
as USERID, NAME=value in any case, PARFILE=<file>), records them (NAME=value,
one per line) in $FAKE_EXP_ARGS when set, writes a small dump file, and prints
the closing text chosen by $FAKE_EXP_MODE in code page 949:
  english   "Export terminated successfully without warnings."
  korean    the Korean closing text ("... 정상적으로 종료되었습니다.")
  lowercase the English text in other letter case (not a success)
  warnings  a table that does not exist, then success with warnings
  error     a refused login (or the lines of $FAKE_EXP_ERROR) and the closing
            text of failure, and no dump
  nodump    success, but no dump; emptydump: success and a dump of 0 bytes
With $FAKE_EXP_LINGER set (a file) it then leaves a helper process of its own
group behind (its pid in that file) and waits, as a wrapper that outlives its
utility does.
With $FAKE_EXP_LOGONS set it appends the login it was given to that file, one
line per start, as a database's audit of logons would count them.
With $FAKE_EXP_RAW set its bytes are printed as they are after the first line.
With $FAKE_EXP_SILENCE set it first prints nothing for that many seconds, as
an export dumping a large table does. With $FAKE_EXP_DUMP_BYTES the dump is
that many bytes; a dump the disk cannot hold ends the export the way the real
utility ends then (a write error, then its closing text of failure).
"""
import os
import sys
import time

import oracle_params

params = oracle_params.read(sys.argv[1:])
oracle_params.record(params, os.environ.get("FAKE_EXP_ARGS"))
args = [f"{name}={value}" for name, value in params]
if os.environ.get("FAKE_EXP_LOGONS"):
    with open(os.environ["FAKE_EXP_LOGONS"], "a", encoding="utf-8") as f:
        f.write(dict(params).get("USERID", "") + "\n")

mode = os.environ.get("FAKE_EXP_MODE", "english")
time.sleep(float(os.environ.get("FAKE_EXP_SILENCE", "0")))
dump = next((value for name, value in params if name == "FILE"), None)
out = sys.stdout.buffer
out.write("\nExport: Release 10.2.0.1.0 - Production\n".encode("cp949"))
out.write(os.environb.get(b"FAKE_EXP_RAW", b""))
if mode == "error":
    error = os.environ.get("FAKE_EXP_ERROR",
                           "EXP-00056: ORACLE error 1017 encountered\n"
                           "ORA-01017: invalid username/password; logon denied\n")
    out.write((error + "EXP-00000: Export terminated unsuccessfully\n").encode("cp949"))
    sys.exit(1)
if dump and mode == "emptydump":
    open(dump, "wb").close()
elif dump and mode != "nodump":
    try:
        with open(dump, "wb") as f:
            f.write(b"DUMP " + " ".join(args).encode("utf-8"))
            f.write(b"\0" * int(os.environ.get("FAKE_EXP_DUMP_BYTES", "0")))
    except OSError:
        out.write(b"EXP-00002: error in writing to export file\n"
                  b"EXP-00000: Export terminated unsuccessfully\n")
        sys.exit(1)
texts = {
    "english": "Export terminated successfully without warnings.\n",
    "warnings": "EXP-00011: SCOTT.EMPX does not exist\n"
                "Export terminated successfully with warnings.\n",
    "korean": "엑스포트가 경고 없이 정상적으로 종료되었습니다.\n",
    "lowercase": "export terminated successfully without warnings.\n",
}
out.write(texts.get(mode, texts["english"]).encode("cp949"))
linger = os.environ.get("FAKE_EXP_LINGER")
if linger:
    out.flush()
    helper = os.fork()
    if helper == 0:
        time.sleep(300)
        os._exit(0)
    with open(linger, "w") as f:
        f.write(str(helper) + "\n")
    time.sleep(300)
