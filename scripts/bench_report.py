#!/usr/bin/env python3
"""Gathers the RESULT lines of the benchmarks into one Markdown table.

Every benchmark prints "RESULT <key> <value> <unit> <runs>" for each figure it measured (the
value is the median of <runs> runs). This script lays them out against their peers and limits,
adds the date, the machine and the peers' versions, prints the report and, with --out, writes it.

    bench_report.py RESULTS [--out FILE] [--elapsed SECONDS] [--load-before TEXT]
"""
import argparse
import datetime
import os
import platform
import re
import subprocess
import sys

MB = 1e6


class Results:
    def __init__(self, path):
        self.values = {}
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                parts = line.split()
                if len(parts) < 4 or parts[0] != "RESULT":
                    continue
                try:
                    value = float(parts[2])
                except ValueError:
                    continue
                runs = int(parts[4]) if len(parts) > 4 and parts[4].isdigit() else 1
                self.values[parts[1]] = (value, parts[3], runs)
        self.missing = set()

    def get(self, key):
        if key not in self.values:
            self.missing.add(key)
            return None
        return self.values[key]

    def value(self, key):
        v = self.get(key)
        return v[0] if v else None


def fmt_seconds(s):
    if s is None:
        return "n/a"
    if s >= 100:
        return "%.0f s" % s
    if s >= 1:
        return "%.2f s" % s
    if s >= 1e-3:
        ms = s * 1e3
        return ("%.0f ms" if ms >= 100 else "%.1f ms" if ms >= 10 else "%.2f ms") % ms
    return "%.0f µs" % (s * 1e6)


def fmt_kb(kb):
    return "n/a" if kb is None else "%.1f MB" % (kb / 1024)


def fmt_bytes(b):
    return "%.1f MB" % (b / MB) if b else "?"


def fmt_ratio(r):
    if r is None:
        return ""
    return ("%.0f×" if r >= 100 else "%.1f×" if r >= 10 else "%.2f×") % r


class Figure:
    """One measured figure of a row: a key of the results and what it is."""

    def __init__(self, key, label="", memory=False, throughput_bytes=None):
        self.key, self.label, self.memory, self.throughput_bytes = key, label, memory, throughput_bytes

    def cell(self, results, with_label=True):
        v = results.get(self.key)
        if v is None:
            text = "n/a"
        else:
            text = fmt_kb(v[0]) if self.memory else fmt_seconds(v[0])
            if self.throughput_bytes and v[0] > 0:
                b = results.value(self.throughput_bytes) if isinstance(self.throughput_bytes, str) else self.throughput_bytes
                if b:
                    text += " (%.0f MB/s)" % (b / MB / v[0])
            if v[2] == 1 and not self.memory:
                text += ", 1 run"
        return "%s %s" % (self.label, text) if with_label and self.label else text


class Row:
    def __init__(self, task, data, ours, peer=None, limits=(), also=None):
        # also: a second figure of ours shown beside the first (the reverse sort)
        self.task, self.data, self.ours, self.peer, self.limits, self.also = task, data, ours, peer, limits, also

    def cells(self, r):
        data = self.data(r) if callable(self.data) else self.data
        ours = self.ours.cell(r, with_label=False)
        if self.also:
            ours += " / " + self.also.cell(r, with_label=False)
        peer = self.peer.cell(r) if self.peer else ""
        ratio = ""
        o = r.value(self.ours.key)
        if self.peer:
            p = r.value(self.peer.key)
            if o and p:
                ratio = fmt_ratio(p / o)
        limits = []
        for lim in self.limits:
            l = r.value(lim.key)
            text = lim.cell(r)
            if o and l:
                text += " (ours %s)" % fmt_ratio(o / l)
            limits.append(text)
        return [self.task, data, ours, peer, ratio, "; ".join(limits)]


def rows():
    def size(key, what="message"):
        return lambda r: "%s %s" % (fmt_bytes(r.value(key)), what)

    checked = lambda r: "2000 × 20 KB (%s)" % fmt_bytes(r.value("check.bytes"))
    retrieved = lambda r: "2000 × 20 KB (%s)" % fmt_bytes(r.value("retrieve.bytes"))
    large = lambda r: "20 MB attachment, %s on the wire" % fmt_bytes(r.value("send_queued.large.bytes"))
    large_in_process = lambda r: "20 MB attachment, %s on the wire" % fmt_bytes(r.value("send.large.bytes"))
    small = lambda r: "200 × %s" % ("%.1f KB" % (r.value("send.small.bytes") / 1e3) if r.value("send.small.bytes") else "20 KB")
    live = lambda r: "32767 × 2 KB; %s live after the move" % fmt_bytes(r.value("store.32767.live_bytes"))
    out = []
    for key, form, bytes_key in (("base64_20MB", "a 20 MB base64 attachment", "parse.base64_20MB.bytes"),
                                 ("qp_5MB", "5 MB of quoted-printable text", "parse.qp_5MB.bytes"),
                                 ("utf8_5MB", "5 MB of 8-bit UTF-8 text (Latin, Greek, Cyrillic, CJK, emoji)",
                                  "parse.utf8_5MB.bytes"),
                                 ("latin2_5MB", "5 MB of 8-bit ISO-8859-2 text, converted to UTF-8",
                                  "parse.latin2_5MB.bytes")):
        out.append(Row("Parse and decode a message with %s" % form, size(bytes_key),
                       Figure("parse.%s.tavik" % key, throughput_bytes=bytes_key),
                       Figure("parse.%s.python" % key, "Python email"),
                       [Figure("parse.%s.cat" % key, "cat to /dev/null")]))
    mixed = lambda r: "1000 × 30 KB, mixed[alternative[plain, HTML], PDF] (%s)" % fmt_bytes(r.value("read.mixed_1000.bytes"))
    out.append(Row("Read everyday mail: the text of each message, its attachments into files", mixed,
                   Figure("read.mixed_1000.tavik", throughput_bytes="read.mixed_1000.bytes"),
                   Figure("read.mixed_1000.python", "Python email get_body, iter_attachments to files")))
    for key, form, peer in (("base64", "base64", "Python email"),
                            ("qp", "quoted-printable", "Python email"),
                            ("uuencode", "uuencode", "Python email + binascii.b2a_uu"),
                            ("plain", "plain text", "Python email (7bit)")):
        out.append(Row("Build and write a 20 MB attachment message, %s" % form,
                       size("write.%s.bytes" % key, "message written"),
                       Figure("write.%s.tavik" % key, throughput_bytes=20e6),
                       Figure("write.%s.python" % key, peer)))
    for key, peer in (("fetchmail", "fetchmail into a BSMTP file"), ("getmail6", "getmail6 into a Maildir"),
                      ("poplib", "poplib RETR loop, a file a message (the protocol's floor)")):
        out.append(Row("Check mail from Dovecot (`tavikctl check`: retrieve, parse, file)", checked,
                       Figure("check.tavikctl"), Figure("check." + key, peer)))
    out.append(Row("Peak memory of the check", checked, Figure("check.tavikctl.peak", memory=True),
                   Figure("check.fetchmail.peak", "fetchmail", memory=True)))
    with_attachments = lambda r: "2000 × 20 KB, 3000 attachments (%s)" % fmt_bytes(r.value("check_att.bytes"))
    for key, peer in (("poplib", "poplib RETR loop, a file a message (the protocol's floor)"),
                      ("fetchmail", "fetchmail into a BSMTP file")):
        out.append(Row("Check mail with attachments (`tavikctl check`, attachments decoded into the store)",
                       with_attachments, Figure("check_att.tavikctl"), Figure("check_att." + key, peer)))
    linked = "2000 × 20 KB through bench/delay_proxy.py, 50 ms round trip"
    for key, peer in (("poplib", "poplib RETR loop, a file a message"), ("fetchmail", "fetchmail into a BSMTP file"),
                      ("getmail6", "getmail6 into a Maildir")):
        out.append(Row("Check mail over a link (`tavikctl check`, pipelined)", linked,
                       Figure("link_check.tavikctl"), Figure("link_check." + key, peer)))
    tls_checked = lambda r: "2000 × 20 KB (%s)" % fmt_bytes(r.value("tls_check.bytes"))
    for key, peer in (("poplib_ssl", "poplib.POP3_SSL RETR loop, a file a message"),
                      ("fetchmail_ssl", "fetchmail --ssl into a BSMTP file")):
        out.append(Row("Check mail over POP3S (`tavikctl check`, TLS)", tls_checked, Figure("tls_check.tls"),
                       Figure("tls_check." + key, peer), [Figure("tls_check.plain", "our plain check")]))
    out.append(Row("Peak memory of the POP3S check", tls_checked, Figure("tls_check.tls.peak", memory=True),
                   Figure("tls_check.fetchmail_ssl.peak", "fetchmail --ssl", memory=True)))
    out.append(Row("Retrieve from Dovecot in process (GetMail, parser, attachment store)", retrieved,
                   Figure("retrieve.getmail.tavik"), Figure("retrieve.poplib.python", "poplib RETR loop in memory")))
    out.append(Row("Retrieve through a link of 50 ms round trip (GetMail, pipelined)",
                   "2000 × 20 KB through bench/delay_proxy.py",
                   Figure("link.getmail.tavik"), Figure("link.poplib.python", "poplib RETR loop, same proxy")))
    out.append(Row("Send on one connection through the same link (KeptSendRun, pipelined)",
                   "200 small messages to postfix's smtp-sink",
                   Figure("link.send.tavik"), Figure("link.send.smtplib", "smtplib sendmail loop, same proxy")))
    for key, peer in (("msmtp", "msmtp, same prebuilt message"), ("smtplib", "Python smtplib, same prebuilt message")):
        out.append(Row("Send one message to the local SMTP server (`tavikctl send-queued`)", large,
                       Figure("send_queued.large.tavikctl"), Figure("send_queued.large." + key, peer)))
    out.append(Row("Peak memory sending it", large, Figure("send_queued.tavikctl.peak", memory=True),
                   Figure("send_queued.msmtp.peak", "msmtp", memory=True)))
    for key, peer in (("msmtp", "msmtp"), ("smtplib", "Python smtplib")):
        out.append(Row("Send it in process (SendMail)", large_in_process, Figure("send.large.tavik"),
                       Figure("send.large." + key, peer)))
    for key, peer in (("msmtp", "msmtp, a process a message"), ("smtplib", "Python smtplib")):
        out.append(Row("Send small messages, a connection each (SendMail)", small,
                       Figure("send.small_per_connection.tavik"), Figure("send.small_per_connection." + key, peer)))
    out.append(Row("Send small messages on one connection (SendMail)", small, Figure("send.small_kept.tavik"),
                   Figure("send.small_kept.smtplib", "Python smtplib")))
    out.append(Row("Peak memory of the SendMail runs", "all of the above", Figure("send.peak", memory=True)))
    tls_large = lambda r: "20 MB attachment, %s on the wire" % fmt_bytes(r.value("tls_send.bytes"))
    for key, peer in (("smtplib_tls", "Python smtplib, starttls + login"), ("msmtp_tls", "msmtp, tls + auth")):
        out.append(Row("Send it over STARTTLS with AUTH (SendMail)", tls_large, Figure("tls_send.tls"),
                       Figure("tls_send." + key, peer), [Figure("tls_send.plain", "our plain send")]))
    out.append(Row("Peak memory of the TLS send (SendMail)", tls_large, Figure("tls_send.tls.peak", memory=True),
                   Figure("tls_send.msmtp_tls.peak", "msmtp", memory=True)))
    store = "32767 × 2 KB"
    out.append(Row("Store: append", store, Figure("store.32767.append")))
    out.append(Row("Store: open afresh and list every record", store, Figure("store.32767.open_list")))
    out.append(Row("Store: read every text", store, Figure("store.32767.read_texts")))
    out.append(Row("Store: move every second message to Trash, one command", "16383 of 32767",
                   Figure("store.32767.move_half")))
    out.append(Row("Store: compress", live, Figure("store.32767.compress"),
                   limits=[Figure("store.32767.cp", "cp of the live bytes"),
                           Figure("store.32767.copy_fsync", "read/write + fsync")]))
    listed = "32767 × 4 KB"
    out.append(Row("Mailbox list model: open (LoadItems)", listed, Figure("list.open.tavik"),
                   limits=[Figure("list.open.read_files", "read both files")]))
    columns = (("status", "Status"), ("from", "From"), ("subject", "Subject"), ("date", "Date"), ("size", "Size"))
    for key, name in columns:
        peer = Figure("list.sort.from.exchange", "exchange sort (the former one)") if key == "from" else None
        out.append(Row("Mailbox list model: sort by %s (normal / reverse)" % name, listed,
                       Figure("list.sort.%s.normal" % key), peer, also=Figure("list.sort.%s.reverse" % key)))
    out.append(Row("Filter a full mailbox's list by a sender's name / a subject's words", "32767 messages",
                   Figure("find.filter.name"), also=Figure("find.filter.subject")))
    searched = lambda r: "%d mailboxes, %s of stored mail" % (8, fmt_bytes(r.value("find.search.bytes")))
    out.append(Row("Search every stored text for a word, case and accents aside", searched,
                   Figure("find.search.tavik"), Figure("find.search.grep_ci", "`grep -ci` over the same files")))
    out.append(Row("Mailbox window: open, laid out and painted (offscreen)", listed, Figure("window.open"),
                   limits=[Figure("window.model_open", "the model's LoadItems")]))
    for key, name in columns:
        out.append(Row("Mailbox window: sort by %s, painted (normal / reverse)" % name, listed,
                       Figure("window.sort.%s.normal" % key), also=Figure("window.sort.%s.reverse" % key),
                       limits=[Figure("window.model_sort.%s.normal" % key, "the model's sort")]))
    return out


def table(results):
    header = ["Task", "Data", "Ours (median)", "Peer (median)", "Peer ÷ ours", "Limit (median)"]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(["---"] * len(header)) + "|"]
    for row in rows():
        # A row without our figure belongs to a benchmark that did not run.
        if results.value(row.ours.key) is None:
            continue
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in row.cells(results)) + " |")
    return "\n".join(lines)


def store_scaling(results):
    sizes = sorted({int(m.group(1)) for k in results.values for m in [re.match(r"store\.(\d+)\.", k)] if m})
    steps = (("append", "append", lambda n: n), ("open_list", "open and list", lambda n: n),
             ("read_texts", "read every text", lambda n: n), ("move_half", "move half", lambda n: n // 2),
             ("compress", "compress", lambda n: n - n // 2))
    if not sizes:
        return ""
    lines = ["| Step (µs per message) | " + " | ".join(str(n) for n in sizes) + " |",
             "|---|" + "|".join(["---"] * len(sizes)) + "|"]
    for key, name, handled in steps:
        cells = []
        for n in sizes:
            v = results.values.get("store.%d.%s" % (n, key))
            cells.append("%.1f" % (v[0] * 1e6 / handled(n)) if v else "n/a")
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    return "\n".join(lines)


def first_line(command, pattern=None):
    try:
        p = subprocess.run(command, capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired):
        return "not installed"
    for line in (p.stdout + p.stderr).splitlines():
        line = line.strip()
        if line and (pattern is None or re.search(pattern, line)):
            return line
    return "unknown"


def versions():
    py = "/usr/bin/python3"
    return [
        ("Python (email, poplib, smtplib)", first_line([py, "--version"])),
        ("aiosmtpd (the SMTP server)", first_line([py, "-c", "import aiosmtpd; print(aiosmtpd.__version__)"])),
        ("Dovecot (the POP3 server)", first_line(["dovecot", "--version"])),
        ("fetchmail", first_line(["fetchmail", "--version"], r"release").replace("This is fetchmail ", "")),
        ("getmail6", first_line(["getmail", "--version"])),
        ("msmtp", first_line(["msmtp", "--version"], r"version")),
        ("cat, cp", first_line(["cat", "--version"])),
        ("Compiler", first_line(["c++", "--version"])),
        ("Qt", first_line(["pkg-config", "--modversion", "Qt6Core"])),
    ]


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            mem_kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
    except (OSError, StopIteration, ValueError):
        mem_kb = 0
    distro = ""
    try:
        with open("/etc/os-release") as f:
            distro = next((l.split("=", 1)[1].strip().strip('"') for l in f if l.startswith("PRETTY_NAME")), "")
    except OSError:
        pass
    return "%d cores (%s), %.1f GB memory, %s, Linux %s" % (
        os.cpu_count() or 0, model, mem_kb / 1024 / 1024, distro or "unknown system", platform.release())


def report(results, elapsed, load_before):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load_after = " ".join(open("/proc/loadavg").read().split()[:3]) if os.path.exists("/proc/loadavg") else "?"
    parts = [
        "# Benchmarks",
        "",
        "Written by `scripts/bench`, which builds the benchmarks of `bench/` in Release (`build-bench/`), "
        "runs each of them with its peers in the same run on the same data, and gathers their results. "
        "Rerun it to refresh this page.",
        "",
        "- Date: %s" % now,
        "- Machine: %s" % machine(),
        "- Load average before / after the run: %s / %s (the machine may be shared)" % (load_before or "?", load_after),
    ]
    if elapsed:
        parts.append("- Whole run: %d min %02d s" % (int(elapsed) // 60, int(elapsed) % 60))
    parts += ["", "Peers:", ""]
    parts += ["- %s: %s" % (name, v) for name, v in versions()]
    parts += [
        "",
        "## Results",
        "",
        "Times are medians: ours of at least 5 runs; peers of 5 unless marked \"1 run\" (getmail6 takes over "
        "a minute a run, the exchange sort tens of seconds). \"Peer ÷ ours\" above 1 means ours takes less "
        "time (or memory); \"ours N×\" in the limit column is our time as a multiple of the limit's. "
        "Python peers are timed inside Python, without the interpreter's start; programs (tavikctl, "
        "fetchmail, getmail6, msmtp, cat, cp) from their start to their end. MB are 10^6 bytes; MB/s count "
        "the message's bytes when parsing, the attachment's when writing. Peak memory is the largest "
        "resident set of the runs, from `/usr/bin/time -v` (for SendMail in process, from getrusage).",
        "",
        table(results),
        "",
    ]
    scaling = store_scaling(results)
    if scaling:
        parts += ["## Store steps by mailbox size", "",
                  "Microseconds per message handled (moved or kept, for the move and compression): flat along "
                  "a row when the step is linear.", "", scaling, ""]
    return "\n".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("results")
    ap.add_argument("--out")
    ap.add_argument("--elapsed", type=float, default=0)
    ap.add_argument("--load-before", default="")
    args = ap.parse_args()
    results = Results(args.results)
    text = report(results, args.elapsed, args.load_before)
    print(table(results))
    few = sorted(k for k, (_, unit, runs) in results.values.items()
                 if unit == "s" and runs < 5 and k not in ("check.getmail6", "list.sort.from.exchange")
                 and not k.startswith(("link", "check_att")))
    if few:
        print("bench_report: fewer than 5 runs for " + ", ".join(few), file=sys.stderr)
    if results.missing:
        print("bench_report: no result for " + ", ".join(sorted(results.missing)), file=sys.stderr)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
        print("bench_report: wrote " + args.out, file=sys.stderr)
    return 1 if results.missing else 0


if __name__ == "__main__":
    sys.exit(main())
