#!/usr/bin/python3
"""An SMTP server for the tests: aiosmtpd on a given loopback port, storing every accepted
message as N.content (the DATA as received: CR LF line ends, dots unstuffed) and N.json (the
envelope: mail_from, rcpt_tos, helo, tls, login). The .json file is renamed into place last, so
its presence marks a complete message. Runs until SIGTERM.

With --tls-cert and --tls-key it offers STARTTLS (--require-starttls: nothing but EHLO, NOOP and
QUIT before it), or with --implicit-tls speaks TLS from the first byte. With --auth-user and
--auth-password it accepts that login by AUTH PLAIN and LOGIN (only after STARTTLS when STARTTLS
is offered); --require-auth refuses MAIL before it."""

import argparse
import json
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Sink:
    def __init__(self, directory, rejected, reject_data):
        self.directory = directory
        self.rejected = set(rejected)
        self.reject_data = reject_data
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.rejected:
            return "550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.reject_data:
            return "554 5.3.0 Transaction failed"
        with self.lock:
            self.count += 1
            number = self.count
        base = os.path.join(self.directory, "%06d" % number)
        content = envelope.original_content
        if content is None:
            content = envelope.content
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        with open(base + ".content", "wb") as f:
            f.write(content)
        envelope_data = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "helo": session.host_name or "",
            "tls": server.transport.get_extra_info("ssl_object") is not None,
            "login": (session.login_data or b"").decode("utf-8", "surrogateescape"),
        }
        with open(base + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(envelope_data, f)
        os.replace(base + ".json.tmp", base + ".json")
        return "250 Message accepted for delivery"


class Login:
    """Accepts one user and password; anything else gets aiosmtpd's "535 5.7.8"."""

    def __init__(self, user, password):
        self.user = user.encode("utf-8", "surrogateescape")
        self.password = password.encode("utf-8", "surrogateescape")

    def __call__(self, server, session, envelope, mechanism, auth_data):
        good = (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
                and auth_data.password == self.password)
        return AuthResult(success=good, handled=False, auth_data=auth_data if good else None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--reject-data", action="store_true")
    parser.add_argument("--size-limit", type=int, default=128 * 1024 * 1024)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--auth-user")
    parser.add_argument("--auth-password", default="")
    parser.add_argument("--require-auth", action="store_true")
    args = parser.parse_args()

    options = {}
    tls = None
    if args.tls_cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
        if args.implicit_tls:
            options["ssl_context"] = tls
        else:
            options["tls_context"] = tls
            options["require_starttls"] = args.require_starttls
    if args.auth_user is not None:
        options["authenticator"] = Login(args.auth_user, args.auth_password)
        options["auth_required"] = args.require_auth
        # aiosmtpd counts only STARTTLS as TLS: without it, AUTH must be allowed in the clear
        # (plain sink) or inside the implicit TLS.
        options["auth_require_tls"] = bool(tls) and not args.implicit_tls

    os.makedirs(args.dir, exist_ok=True)
    controller = Controller(
        Sink(args.dir, args.reject_rcpt, args.reject_data),
        hostname=args.host,
        port=args.port,
        server_hostname="tavik-sink",  # no lookup of our own name
        data_size_limit=args.size_limit,
        ready_timeout=20,
        **options,
    )
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    controller.start()
    print("smtp_sink listening on %s:%d" % (args.host, args.port), flush=True)
    while not stop.wait(0.2):
        pass
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
