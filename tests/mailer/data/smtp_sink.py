"""A real SMTP server for the mail library's tests and benchmark.

Runs aiosmtpd on the given address and saves every accepted message to a
folder: NNNN.eml holds the message bytes as received (dot-unstuffed), and
NNNN.env the envelope (sender on the first line, then one recipient a line).
The .eml file appears only once complete, before the server answers 250.
AUTH LOGIN and PLAIN are offered (PLAIN alone with --plain-only); only the
given login passes. --tls starttls requires STARTTLS before AUTH and MAIL,
--tls implicit speaks TLS from the first byte (certificate and key in PEM
files), --tls offered offers STARTTLS; without --tls AUTH is offered in
clear. --hang-up-at-data closes the connection right after answering DATA
with 354. --tls-1.0-only speaks TLS 1.0 and nothing newer.
"""
import argparse
import asyncio
import itertools
import os
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class HangUpAtData(SMTP):
    async def smtp_DATA(self, arg):
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        self.transport.close()


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
    context = None
    if args.tls != "none":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.tls_1_0_only:
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1
    options = dict(hostname="sink.test", authenticator=authenticator,
                   auth_exclude_mechanism=["LOGIN"] if args.plain_only else None)
    if args.tls == "starttls":
        options.update(tls_context=context, require_starttls=True, auth_require_tls=True)
    elif args.tls == "offered":
        options.update(tls_context=context, auth_require_tls=False)
    else:
        options.update(auth_require_tls=False)
    protocol = HangUpAtData if args.hang_up_at_data else SMTP
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: protocol(handler, **options), host=args.host, port=args.port,
        ssl=context if args.tls == "implicit" else None)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--user", default="backup")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--tls", default="none",
                        choices=["none", "starttls", "offered", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--plain-only", action="store_true")
    parser.add_argument("--hang-up-at-data", action="store_true")
    parser.add_argument("--tls-1.0-only", dest="tls_1_0_only", action="store_true")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
