#!/usr/bin/python3
"""Parses a message with Python's email package and compares it with expectations.

Usage: check_message.py MESSAGE_FILE EXPECTATIONS_JSON

MESSAGE_FILE holds the message as it arrives after DATA (dot transparency undone, without the
terminating "."). Byte strings in the JSON are strings whose code points 0-255 are the bytes.

Expectations (every key optional):
  "headers":     {name: [decoded value, ...]}  every occurrence, in order; [] means absent;
                 trailing blanks are ignored on both sides
  "addresses":   {name: [[display name, address], ...]} over all occurrences of the field
  "text":        null (no text part) or {"content_type", "params": {...}, "cte": value or null,
                 "body": decoded bytes, "content": the text as Python reads it in its declared
                 charset (line ends compared as LF)}; for a single-part message the message itself
  "attachments": [{"content_type", "params", "cte", "disposition", "disp_params",
                 "description": text or null, "bytes": ... | "file": path [, "crlf_lines": true],
                 "uuencode": {"mode", "name"}, "uuencode_if_none": true (uudecode when the
                 part has no transfer encoding and begins like a uuencoded part)}]
  "allow_defects": [name, ...]  header fields whose parser defects are tolerated
Always checked: CR LF line ends only, no line over 998 characters, no blank-only or 8-bit header
line, no parser defects, an empty preamble.
Exits 0 when everything matches, 1 with a message naming the first mismatch.
"""
import email
import json
import re
import sys
from email import policy
from email.header import decode_header, make_header

BOUNDARY = b"==============ghyurgtfy573======___"
# Parameter values as encoded words inside the quotes: the program's form for 8-bit and quoted
# names (read by mail programs at large), which the strict parser notes but decodes.
PARAMETER_WORD_DEFECTS = ("encoded word inside quoted string", "missing trailing whitespace after encoded-word")
# A "." in an unquoted display name ("J. Smith") is obsolete syntax every reader must accept; the
# program quotes only names with the other specials.
OBSOLETE_PERIOD = "period in 'phrase'"
ADJACENT_WORDS = re.compile(r"\?=\s+=\?")


class Mismatch(Exception):
    pass


def latin1(s):
    return s.encode("latin-1")


def expect(what, got, want):
    if got != want:
        raise Mismatch(f"{what}: got {got!r}, expected {want!r}")


def check_wire(data):
    if not data.endswith(b"\r\n"):
        raise Mismatch("the message does not end with CR LF")
    lines = data.split(b"\r\n")[:-1]
    for n, line in enumerate(lines, 1):
        if b"\r" in line or b"\n" in line:
            raise Mismatch(f"line {n} holds a bare CR or LF: {line[:100]!r}")
        if len(line) > 998:
            raise Mismatch(f"line {n} is {len(line)} characters long")
    # Header blocks: the message's and each part's (after a delimiter line).
    in_header = True
    for n, line in enumerate(lines, 1):
        if line == b"--" + BOUNDARY:
            in_header = True
            continue
        if in_header:
            if line == b"":
                in_header = False
                continue
            if line.strip(b" \t") == b"":
                raise Mismatch(f"header line {n} is blank only")
            if any(c >= 128 for c in line):
                raise Mismatch(f"header line {n} holds raw 8-bit bytes: {line!r}")


def header_defects(msg, where, allowed=()):
    for (name, raw), (_, value) in zip(msg.raw_items(), msg.items()):
        defects = list(getattr(value, "defects", ()))
        # "To: " + address + ";" is the program's own form; the parser takes the address but
        # notes the stray semicolon.
        if name.lower() == "to" and raw.rstrip().endswith(";") and all(
                "invalid address in address-list" in str(d) for d in defects):
            defects = []
        defects = [d for d in defects if OBSOLETE_PERIOD not in str(d)]
        if name.lower() in ("content-type", "content-disposition"):
            defects = [d for d in defects if not any(t in str(d) for t in PARAMETER_WORD_DEFECTS)]
        if defects and name.lower() not in allowed:
            raise Mismatch(f"{where}: header {name} has defects {defects}")


def part_bytes(part):
    payload = part.get_payload(decode=True)
    return payload if payload is not None else b""


def uudecode(payload, want):
    lines = payload.split(b"\r\n")
    expect("line before begin", lines[0], b"=" * 61)
    begin = lines[1].split(b" ", 2)
    if len(begin) != 3 or begin[0] != b"begin":
        raise Mismatch(f"no begin line: {lines[1]!r}")
    expect("uuencode mode", begin[1].decode("latin-1"), want.get("mode", "666"))
    if "name" in want:
        expect("uuencode name", begin[2].decode("latin-1"), want["name"])
    out = bytearray()
    ended = False
    for line in lines[2:]:
        if line == b"end":
            ended = True
            break
        if not line:
            continue
        n = (line[0] - 32) & 63
        chars = line[1:]
        if len(chars) < (n + 2) // 3 * 4:
            raise Mismatch(f"uuencoded line too short for {n} bytes: {line!r}")
        values = [(c - 32) & 63 for c in chars]
        data = bytearray()
        for g in range(0, (n + 2) // 3 * 4, 4):
            a, b, c, d = values[g:g + 4]
            data += bytes([(a << 2 | b >> 4) & 255, (b << 4 | c >> 2) & 255, (c << 6 | d) & 255])
        out += data[:n]
    if not ended:
        raise Mismatch("uuencoded data without an end line")
    return bytes(out)


def check_params(what, header, want):
    if header is None:
        raise Mismatch(f"{what}: header missing")
    params = dict(header.params)
    for key, value in want.items():
        expect(f"{what} parameter {key}", params.get(key), value)


def check_text(part, want, where):
    if "content_type" in want:
        expect(f"{where} content type", part.get_content_type(), want["content_type"])
    if "params" in want:
        check_params(f"{where} Content-Type", part["Content-Type"], want["params"])
    if "cte" in want:
        cte = part["Content-Transfer-Encoding"]
        expect(f"{where} transfer encoding", None if cte is None else str(cte).lower(), want["cte"])
    if "body" in want:
        expect(f"{where} body", part_bytes(part), latin1(want["body"]))
    if "content" in want:
        expect(f"{where} text", part.get_content().replace("\r\n", "\n"), want["content"].replace("\r\n", "\n"))


def check_attachment(part, want, index):
    where = f"attachment {index + 1}"
    if part.defects:
        raise Mismatch(f"{where}: defects {part.defects}")
    header_defects(part, where)
    if "content_type" in want:
        expect(f"{where} content type", part.get_content_type(), want["content_type"])
    if "params" in want:
        check_params(f"{where} Content-Type", part["Content-Type"], want["params"])
    if "cte" in want:
        cte = part["Content-Transfer-Encoding"]
        expect(f"{where} transfer encoding", None if cte is None else str(cte).lower(), want["cte"])
    if "disposition" in want:
        expect(f"{where} disposition", part.get_content_disposition(), want["disposition"])
    if "disp_params" in want:
        check_params(f"{where} Content-Disposition", part["Content-Disposition"], want["disp_params"])
    if "description" in want:
        d = part["Content-Description"]
        expect(f"{where} description", None if d is None else str(d), want["description"])
    if "file" in want:
        with open(want["file"], "rb") as f:
            expected = f.read()
        if want.get("crlf_lines"):
            expected = expected.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    else:
        expected = latin1(want.get("bytes", ""))
    got = part_bytes(part)
    if "uuencode" in want or (want.get("uuencode_if_none") and part["Content-Transfer-Encoding"] is None
                              and got.startswith(b"=" * 61)):
        got = uudecode(got, want.get("uuencode", {}))
    if got != expected:
        at = next((i for i in range(min(len(got), len(expected))) if got[i] != expected[i]),
                  min(len(got), len(expected)))
        raise Mismatch(f"{where} bytes differ at offset {at} (got {len(got)} bytes, expected "
                       f"{len(expected)}): {got[at:at + 20]!r} vs {expected[at:at + 20]!r}")


def check(data, want):
    check_wire(data)
    msg = email.message_from_bytes(data, policy=policy.default)
    if msg.defects:
        raise Mismatch(f"message defects {msg.defects}")
    header_defects(msg, "message", [n.lower() for n in want.get("allow_defects", [])])
    for name, values in want.get("headers", {}).items():
        got = [str(v).rstrip(" \t") for v in msg.get_all(name, [])]
        expect(f"header {name}", got, [v.rstrip(" \t") for v in values])
    raw_fields = list(msg.raw_items())
    for name, pairs in want.get("addresses", {}).items():
        got = []
        raws = [raw for n, raw in raw_fields if n.lower() == name.lower()]
        for raw, value in zip(raws, msg.get_all(name, [])):
            if ADJACENT_WORDS.search(raw):
                # policy.default keeps the blanks between adjacent encoded words of a display
                # name, which RFC 2047 drops; the legacy decoder follows the RFC.
                # Such a name is all encoded words, followed by the address in angle brackets.
                unfolded = raw.replace("\r\n", "")
                lt = unfolded.rindex("<")
                name_part, address = unfolded[:lt].strip(), unfolded[lt + 1:unfolded.rindex(">")]
                got.append([str(make_header(decode_header(name_part))), address])
            else:
                got += [[a.display_name, a.addr_spec] for a in value.addresses]
        expect(f"addresses of {name}", got, pairs)
    parts = []
    text_part = None
    if msg.is_multipart():
        if msg.preamble:
            raise Mismatch(f"text in the preamble: {msg.preamble[:100]!r}")
        parts = list(msg.iter_parts())
        for p in parts:
            if p.defects:
                raise Mismatch(f"part defects {p.defects}")
        # The text part is a first part without a disposition; attachments follow.
        if parts and parts[0]["Content-Disposition"] is None:
            text_part = parts.pop(0)
    else:
        text_part = msg
    if "text" in want:
        if want["text"] is None:
            if text_part is not None:
                raise Mismatch("a text part where none was expected")
        elif text_part is None:
            raise Mismatch("no text part")
        else:
            check_text(text_part, want["text"], "text part" if msg.is_multipart() else "message")
    attachments = want.get("attachments")
    if attachments is not None:
        if not msg.is_multipart():
            if attachments:
                raise Mismatch("not multipart, but attachments expected")
            return
        expect("number of attachments", len(parts), len(attachments))
        for i, (part, w) in enumerate(zip(parts, attachments)):
            check_attachment(part, w, i)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    with open(sys.argv[2], "r", encoding="utf-8") as f:
        want = json.load(f)
    try:
        check(data, want)
    except Mismatch as e:
        print(f"check_message: {sys.argv[1]}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
