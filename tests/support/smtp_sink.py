"""A real SMTP server for the tests: aiosmtpd on 127.0.0.1, storing each message it accepts.

Usage: smtp_sink.py OUTDIR PORT [--user U --password P [--mechanisms LOGIN,PLAIN,CRAM-MD5]]
                                [--cert CERT --key KEY [--implicit-tls]] [--reject ADDRESS]...
                                [--delay-ms MS]
--delay-ms waits that long between storing a mail and saying so, as a slow server does.
PORT 0 takes one the system picks. Writes OUTDIR/ready, holding the port, when it listens; each mail as OUTDIR/mailN.eml with its envelope recipients
in OUTDIR/mailN.rcpt.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import os
import ssl
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("folder")
parser.add_argument("port", type=int)
parser.add_argument("--user")
parser.add_argument("--password")
parser.add_argument("--mechanisms", default="LOGIN,PLAIN,CRAM-MD5")
parser.add_argument("--cert")
parser.add_argument("--key")
parser.add_argument("--implicit-tls", action="store_true")
parser.add_argument("--reject", action="append", default=[])
parser.add_argument("--delay-ms", type=int, default=0)
args = parser.parse_args()
mechanisms = set(args.mechanisms.split(","))


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.reject:
            return "550 5.1.1 No such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "mail%d" % self.count)
        with open(base + ".tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".rcpt", "w") as f:
            f.write("\n".join(envelope.rcpt_tos))
        os.rename(base + ".tmp", base + ".eml")
        if args.delay_ms:
            await asyncio.sleep(args.delay_ms / 1000)
        return "250 Message accepted for delivery"

    # CRAM-MD5, which aiosmtpd lacks: a challenge, and the HMAC-MD5 of it under the password.
    async def auth_CRAM__MD5(self, server, auth_args):
        if "CRAM-MD5" not in mechanisms:
            return AuthResult(success=False, handled=False)
        challenge = ("<%d.%d@quorvik.test>" % (os.getpid(), time.time_ns())).encode()
        response = await server.challenge_auth(challenge, encode_to_b64=True)
        try:
            user, digest = response.decode().rsplit(" ", 1)
        except Exception:
            return AuthResult(success=False, handled=False)
        expected = hmac.new(args.password.encode(), challenge, hashlib.md5).hexdigest()
        return AuthResult(success=(user == args.user and digest == expected), handled=False)


def authenticator(server, session, envelope, mechanism, auth_data):
    if mechanism not in mechanisms:
        return AuthResult(success=False, handled=False)
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user
          and auth_data.password.decode() == args.password)
    return AuthResult(success=ok, handled=False)


options = {}
if args.user:
    options.update(authenticator=authenticator, auth_required=True, auth_require_tls=False,
                   auth_exclude_mechanism=[m for m in ("LOGIN", "PLAIN", "CRAM-MD5")
                                           if m not in mechanisms])
if args.cert:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    if args.implicit_tls:
        options["ssl_context"] = context
    else:
        options["tls_context"] = context

class AnyPortController(Controller):
    """Port 0 takes one the system picks; the controller then knows which."""

    def _create_server(self):
        async def create():
            server = await self.loop.create_server(self._factory_invoker, host=self.hostname,
                                                   port=self.port, ssl=self.ssl_context)
            self.port = server.sockets[0].getsockname()[1]
            return server
        return create()


controller = AnyPortController(Store(args.folder), hostname="127.0.0.1", port=args.port,
                               server_hostname="localhost", **options)
controller.start()
# Written whole before it is seen: the test reads the port as soon as the file is there.
ready = os.path.join(args.folder, "ready")
with open(ready + ".tmp", "w") as f:
    f.write(str(controller.port))
os.rename(ready + ".tmp", ready)
while True:
    time.sleep(1)
