#!/usr/bin/python3
"""A real FTP server for the Hoistline tests and benchmark (pyftpdlib).

Serves --root to one user. After the login the session starts in
--login-folder (a folder under the root), so that a relative remote path and
an absolute one land in different places. Every command received and every
reply sent is written to --log, one per line, after the session's address:
    127.0.0.1:40138-[backup] <- STOR /backup/a.dmp
    127.0.0.1:40138-[backup] -> 226 Transfer complete.
Path bytes that are not UTF-8 (code page 949 names) pass through unchanged,
to the file system and to the log.
"""

import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--login-folder", default="")
    parser.add_argument("--log", required=True)
    parser.add_argument("--refuse-size", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(message)s", encoding="utf-8",
                        errors="surrogateescape")

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    login_folder = "/" + args.login_folder.strip("/")
    if login_folder != "/":
        os.makedirs(os.path.join(args.root, login_folder.lstrip("/")), exist_ok=True)

    class Handler(FTPHandler):
        # Keep raw bytes: a code page 949 path must reach the disk as sent.
        unicode_errors = "surrogateescape"
        banner = "hoistline test server ready"
        # Answer a wrong password at once instead of after pyftpdlib's
        # default three seconds.
        auth_failed_timeout = 0

        def on_login(self, username):
            self.fs.cwd = login_folder

    Handler.authorizer = authorizer
    if args.refuse_size:  # as for an account without that right
        Handler.ftp_SIZE = lambda self, path: self.respond("550 SIZE not allowed.")
    # One thread per session: the single-threaded server now and then stops
    # answering one of several simultaneous sessions (a reply to USER or to
    # PORT never comes), which would make the concurrency tests flaky.
    server = ThreadedFTPServer((args.host, args.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
