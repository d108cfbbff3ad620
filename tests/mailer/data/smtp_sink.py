"""A real SMTP server for the mail library's tests and benchmark.

Runs aiosmtpd on the given address and saves every accepted message to a
folder: NNNN.eml holds the message bytes as received (dot-unstuffed), and
NNNN.env the envelope (sender on the first line, then one recipient a line).
The .eml file appears only once complete, before the server answers 250.
AUTH LOGIN and PLAIN are offered without TLS; only the given login passes.
"""
import argparse
import asyncio
import itertools
import os

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.counter = itertools.count(1)

    async def handle_DATA(self, server, session, envelope):
        base = os.path.join(self.folder, "%04d" % next(self.counter))
        with open(base + ".env", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(envelope.mail_from + "\n")
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        with open(base + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".tmp", base + ".eml")
        return "250 2.0.0 Message accepted"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        # handled=False: aiosmtpd then answers a failure with its 535 reply.
        return AuthResult(success=ok, handled=False)
    return authenticate


async def serve(args):
    handler = Sink(args.folder)
    authenticator = make_authenticator(args.user, args.password)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", authenticator=authenticator,
                     auth_require_tls=False),
        host=args.host, port=args.port)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--user", default="backup")
    parser.add_argument("--password", default="secret")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
