"""A child process for the command runner's tests; the first argument picks
what it does. Bytes go straight to the file descriptors, so every write is
exactly one write() and the tests know where the reads can end."""

import os
import subprocess
import sys
import time


def out(data):
    os.write(1, data)


def main():
    mode = sys.argv[1]
    if mode == "split256":
        # 255 ASCII bytes, then a double-byte character whose first byte is the
        # 256th byte, in one write: the first read ends inside the character.
        out(b"A" * 255 + "매".encode("cp949") + b"tail")
    elif mode == "korean":
        out("정상적으로 종료\nExport terminated successfully\n".encode("cp949"))
    elif mode == "mixed":
        # Many reads, with double-byte characters at every offset.
        out(("가나다 abc\n" * 5000).encode("cp949"))
    elif mode == "lonelead":
        out(b"abc\xb8")
    elif mode == "unassigned":
        # An unassigned pair, then a valid character.
        out(b"x\xa2\xe8\n" + "매".encode("cp949") + b"\n")
    elif mode == "streams":
        out(b"out1\n")
        os.write(2, b"err1\n")
        rest = sys.stdin.buffer.read()
        out(b"stdin:" + str(len(rest)).encode() + b"\n")
    elif mode == "argv":
        for argument in sys.argv[2:]:
            out(b"[" + argument.encode() + b"]\n")
    elif mode == "pid-then-wait":
        out(str(os.getpid()).encode() + b"\n")
        time.sleep(30)
    elif mode == "pid-then-close":
        # Closes its output but keeps running.
        out(str(os.getpid()).encode() + b"\n")
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        time.sleep(5)
    elif mode == "grandchild":
        # The grandchild inherits the output and writes after the child is gone.
        subprocess.Popen([sys.executable, "-c",
                          "import os, time; time.sleep(1); os.write(1, b'late\\n')"])
        out(b"early\n")
    elif mode == "silent":
        time.sleep(2)
        out(b"done\n")
    else:
        sys.exit("unknown mode " + mode)


main()
