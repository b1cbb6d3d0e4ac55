#!/usr/bin/python3
"""An SMTP server for the tests: aiosmtpd on a given loopback port, storing every accepted
message as N.content (the DATA as received: CR LF line ends, dots unstuffed) and N.json (the
envelope: mail_from, rcpt_tos, helo). The .json file is renamed into place last, so its presence
marks a complete message. Runs until SIGTERM."""

import argparse
import json
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


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
        }
        with open(base + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(envelope_data, f)
        os.replace(base + ".json.tmp", base + ".json")
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--reject-data", action="store_true")
    parser.add_argument("--size-limit", type=int, default=128 * 1024 * 1024)
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    controller = Controller(
        Sink(args.dir, args.reject_rcpt, args.reject_data),
        hostname=args.host,
        port=args.port,
        server_hostname="tavik-sink",  # no lookup of our own name
        data_size_limit=args.size_limit,
        ready_timeout=20,
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
