#!/usr/bin/python3
"""Reads every message of a corpus with our parser (through parse_eml) and with Python's email
(policy=default), and counts the messages whose readable text and whose attachments agree.

Usage: compare_with_python.py CORPUS_DIR PARSE_EML [--strict] [--min-text T] [--min-attachments A]

What a current mail client shows, in Python's terms:
- the body is get_body(('plain', 'html')); a multipart whose boundary was never found (Python
  keeps its body as a string) counts as plain text;
- after it, every further inline text/plain or text/html part the client displays: children of
  mixed (and other multiparts), the branch of an alternative the body search would choose, the
  root of a related, the first part of a signed;
- uuencoded blocks ("begin 644 name" ... "end") inside plain text are not text but attachments;
- every other leaf of walk() is an attachment, a message/* part one leaf.
An HTML part is compared word by word with python3-html2text's reading of it; plain text after
collapsing whitespace (lines without a word, such as separators between parts, are ignored when
there are several parts). Attachments are compared in order by their decoded bytes; line ends
and final line breaks do not count; a message/* part, which Python only
gives back regenerated, is compared by its words outside boundary lines.

Prints one line per message that differs, then "messages: N, text right: T, attachments right: A".
Exits 0 unless --strict finds a difference or a count is below its --min-* threshold.
"""

import argparse
import binascii
import email
import json
import os
import re
import subprocess
import sys
import tempfile
from email import policy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "text"))
from html2text_words import html2text_words, words  # noqa: E402

BODY_PARTS = ("plain", "html")
UU_BEGIN = re.compile(r"^begin\s+[0-7]{3,4}\s+(\S.*?)\s*$")


def boundary_lost(part):
    """A multipart Python could not split: its whole body is text."""
    return part.get_content_maintype() == "multipart" and not part.is_multipart()


def media_type(part):
    return "text/plain" if boundary_lost(part) else part.get_content_type()


def related_root(part):
    kids = part.get_payload()
    start = part.get_param("start")
    if start:
        for kid in kids:
            if kid["content-id"] == start:
                return kid
    return kids[0] if kids else None


def find_body(part, prefs):
    """(rank, part) of every body candidate, as EmailMessage.get_body searches."""
    if part.is_attachment():
        return
    maintype, subtype = media_type(part).split("/", 1)
    if maintype == "text":
        if subtype in prefs:
            yield prefs.index(subtype), part
        return
    if maintype != "multipart" or not part.is_multipart():
        return
    if subtype != "related":
        for kid in part.get_payload():
            yield from find_body(kid, prefs)
        return
    root = related_root(part)
    if root is not None:
        yield from find_body(root, prefs)


def get_body(part, prefs):
    best, body = len(prefs), None
    for rank, candidate in find_body(part, prefs):
        if rank < best:
            best, body = rank, candidate
            if rank == 0:
                break
    return body


def displayed(part):
    """The inline text parts a client displays, in order."""
    if part.is_attachment():
        return []
    maintype, subtype = media_type(part).split("/", 1)
    if maintype == "text":
        return [part] if subtype in BODY_PARTS else []
    if maintype != "multipart" or not part.is_multipart():
        return []
    kids = part.get_payload()
    if subtype == "alternative":
        for prefs in (("plain",), ("html",)):
            for kid in kids:
                if get_body(kid, prefs) is not None:
                    return displayed(kid)
        return []
    if subtype == "related":
        root = related_root(part)
        return displayed(root) if root is not None else []
    if subtype == "signed":
        return displayed(kids[0]) if kids else []
    return [p for kid in kids for p in displayed(kid)]


def leaves(part):
    if part.get_content_maintype() == "message" or not part.is_multipart():
        yield part
        return
    for kid in part.get_payload():
        yield from leaves(kid)


def decode_text(data, charset):
    charset = (charset or "us-ascii").lower()
    if charset not in ("us-ascii", "ascii", "utf-8", "utf8"):
        try:
            return data.decode(charset, "replace")
        except LookupError:
            pass
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("cp1252", "replace")


def part_text(part):
    data = part.get_payload(decode=True) or b""
    return decode_text(data, None if boundary_lost(part) else part.get_content_charset())


def take_uuencoded(text):
    """The text without its uuencoded blocks, and the blocks' (name, bytes)."""
    lines = text.splitlines()
    kept, files, i = [], [], 0
    while i < len(lines):
        m = UU_BEGIN.match(lines[i])
        end = next((j for j in range(i + 1, len(lines)) if lines[j].strip() == "end"), None) if m else None
        if end is None:
            kept.append(lines[i])
            i += 1
            continue
        data = b""
        for line in lines[i + 1:end]:
            try:
                data += binascii.a2b_uu(line)
            except binascii.Error:
                n = (((ord(line[0]) - 32) & 63) * 4 + 5) // 3 if line else 0
                data += binascii.a2b_uu(line[:n])
        files.append((m.group(1), data))
        i = end + 1
    return "\n".join(kept), files


RAW_POLICY = policy.default.clone(max_line_length=None, refold_source="none", linesep="\n")


def message_body(part):
    """A message/* part's body (Python keeps it parsed, so it is generated back)."""
    if not part.is_multipart():
        return part.get_payload(decode=True) or b""
    return b"\n".join(inner.as_bytes(policy=RAW_POLICY) for inner in part.get_payload())


def message_words(data):
    """A message's words without its boundary lines, which Python does not always write back."""
    text = decode_text(data, None)
    return words("\n".join(line for line in text.splitlines() if not line.startswith("--")))


def expected(msg):
    """(kind, text) of each displayed text part in order, and the attachments' (name, bytes, loose)."""
    body = get_body(msg, BODY_PARTS)
    chosen = ([body] if body is not None else []) + [p for p in displayed(msg) if p is not body]
    texts, uu_files = [], {}
    for part in chosen:
        text = part_text(part)
        if media_type(part) == "text/html":
            texts.append(("html", text))
        else:
            text, uu_files[id(part)] = take_uuencoded(text)
            texts.append(("plain", text))
    attachments = []
    for leaf in leaves(msg):
        if any(leaf is p for p in chosen):
            attachments += [(name, data, False) for name, data in uu_files.get(id(leaf), [])]
        elif leaf.get_content_maintype() == "message":
            attachments.append((leaf.get_filename() or "", message_body(leaf), True))
        else:
            attachments.append((leaf.get_filename() or "", leaf.get_payload(decode=True) or b"", False))
    return texts, attachments


def squeeze(text, several):
    text = text.replace("\0", " ")
    if several:
        text = "\n".join(line for line in text.splitlines() if re.search(r"[^\W_]", line))
    return " ".join(text.split())


def compare_text(texts, ours):
    if any(kind == "html" for kind, _ in texts):
        theirs = [w for kind, t in texts for w in (html2text_words(t) if kind == "html" else words(t))]
        mine = words(ours)
    else:
        several = len(texts) > 1
        theirs = squeeze("\n".join(t for _, t in texts), several).split(" ")
        mine = squeeze(ours, several).split(" ")
    if theirs == mine:
        return None
    i = next((i for i, (a, b) in enumerate(zip(theirs, mine)) if a != b), min(len(theirs), len(mine)))
    return "text parts at word %d: python %r, ours %r" % (i, " ".join(theirs[i:i + 6]), " ".join(mine[i:i + 6]))


def loose(data):
    return data.replace(b"\r\n", b"\n").rstrip(b"\n")


def compare_attachments(theirs, out_dir):
    with open(os.path.join(out_dir, "attachments.json"), "rb") as f:
        mine = json.loads(f.read().decode("utf-8", "replace"))
    if len(mine) != len(theirs):
        return "%d attachments, python %d (%s)" % (len(mine), len(theirs), ", ".join(
            n or "?" for n, _, _ in theirs))
    for i, ((name, data, message), entry) in enumerate(zip(theirs, mine)):
        with open(os.path.join(out_dir, entry["file"]), "rb") as f:
            got = f.read()
        if message:
            same = message_words(got) == message_words(data)
        else:
            same = got == data or loose(got) == loose(data)
        if not same:
            return "attachment %d (%s) has %d bytes that differ from python's %d" % (
                i + 1, name or entry["name"] or "?", len(got), len(data))
    return None


def close_lines_close(raw):
    """A close delimiter with stray text after it ("--b-->") closes its part, as a reader must
    take it; Python would read the rest of the message into the part. The stray text goes to a
    line of its own, after the close."""
    boundaries = set()
    for part in email.message_from_bytes(raw, policy=policy.compat32).walk():
        if part.get_boundary():
            boundaries.add(part.get_boundary().encode("latin-1", "replace"))
    for b in boundaries:
        raw = re.sub(rb"(?m)^(--" + re.escape(b) + rb"--)([^\s-][^\r\n]*)", rb"\1\n\2", raw)
    return raw


def main():
    args = argparse.ArgumentParser()
    args.add_argument("corpus")
    args.add_argument("parse_eml")
    args.add_argument("--strict", action="store_true")
    args.add_argument("--min-text", type=int, default=0)
    args.add_argument("--min-attachments", type=int, default=0)
    opts = args.parse_args()

    names = sorted(n for n in os.listdir(opts.corpus) if n.endswith(".eml"))
    text_right = attachments_right = 0
    with tempfile.TemporaryDirectory() as tmp:
        for i, name in enumerate(names):
            path = os.path.join(opts.corpus, name)
            out_dir = os.path.join(tmp, str(i))
            with open(path, "rb") as f:
                msg = email.message_from_bytes(close_lines_close(f.read()), policy=policy.default)
            texts, attachments = expected(msg)
            run = subprocess.run([opts.parse_eml, path, out_dir], capture_output=True, timeout=60)
            if run.returncode != 0:
                print("%s: parse_eml failed (%d): %s" % (name, run.returncode, run.stderr.decode(errors="replace")[:200]))
                continue
            with open(os.path.join(out_dir, "text.txt"), "rb") as f:
                ours = decode_text(f.read(), "utf-8")
            why_text = compare_text(texts, ours)
            why_attachments = compare_attachments(attachments, out_dir)
            text_right += why_text is None
            attachments_right += why_attachments is None
            for why in (why_text, why_attachments):
                if why:
                    print("%s: %s" % (name, why))
    print("messages: %d, text right: %d, attachments right: %d" % (len(names), text_right, attachments_right))
    if opts.strict and (text_right < len(names) or attachments_right < len(names)):
        return 1
    if text_right < opts.min_text or attachments_right < opts.min_attachments:
        print("below the thresholds: text %d, attachments %d" % (opts.min_text, opts.min_attachments))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
