"""A child process for the command runner's tests; the first argument picks
what it does. Bytes go straight to the file descriptors, so every write is
exactly one write() and the tests know where the reads can end."""

import os
import signal
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
    elif mode == "close-then-exit":
        # A wrapper that sends its own output elsewhere, works on, then exits.
        out(str(os.getpid()).encode() + b"\n")
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        time.sleep(float(sys.argv[2]))
        sys.exit(int(sys.argv[3]))
    elif mode == "signal":
        out(str(os.getpid()).encode() + b"\n")
        os.kill(os.getpid(), signal.SIGTERM)
    elif mode == "background":
        # Leaves a process behind that does not hold the output.
        left = subprocess.Popen(["sleep", "60"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        out(f"{os.getpid()} {left.pid}\n".encode())
    elif mode == "family":
        # Two processes that hold the output: one in the child's process
        # group, one in a session of its own. The child then exits or stays.
        member = subprocess.Popen(["sleep", "60"])
        away = subprocess.Popen(["sleep", "60"], start_new_session=True)
        out(f"{os.getpid()} {member.pid} {away.pid}\n".encode())
        if sys.argv[2] == "stay":
            time.sleep(30)
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
