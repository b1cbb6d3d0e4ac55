#!/usr/bin/python3
"""Writes MIME messages made by Python's own email package into a directory, with what an
independent reading of them says each part holds, for the parser test to compare against.

Usage: make_messages.py OUTDIR [--big]

OUTDIR/manifest.txt lists the messages, one block each:
    message NAME.eml
    subject HEX        expected Subject (UTF-8)
    from HEX           expected From
    textjoin HEX       the text kept after the header as UTF-8, lines joined with CR LF (optional)
    file MODE HEX HEX PAYLOAD   content type, file name, expected bytes in OUTDIR/PAYLOAD;
                       MODE exact (base64: byte for byte) or lines (after CR LF normalising)
    end
HEX is "x:" followed by the bytes in hexadecimal.
"""

import email
import email.charset
import email.header
import os
import random
import sys
from email import policy
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

OUT = sys.argv[1]
rng = random.Random(4711)
manifest = []


def hx(b):
    if isinstance(b, str):
        b = b.encode("utf-8")
    return "x:" + b.hex()


def latin1(text):
    """The program's form of a header text: UTF-8."""
    return text.encode("utf-8")


def stored_line(b):
    """A line without a declared charset: UTF-8 when it is, else Windows-1252."""
    try:
        return b.decode("utf-8")
    except UnicodeDecodeError:
        return "".join(bytes([c]).decode("cp1252", errors="ignore") or chr(c) for c in b)


def as_utf8(payload, charset):
    """A text part's lines as the parser keeps them: converted from its charset to UTF-8."""
    charset = (charset or "").lower()
    if charset in ("", "us-ascii", "utf-8", "utf8"):
        return "\r\n".join(stored_line(l) for l in payload.split(b"\r\n")).encode("utf-8")
    if charset in ("iso-8859-1", "latin1", "latin-1"):
        charset = "cp1252"
    return payload.decode(charset).encode("utf-8")


def safe_name(name):
    return latin1(name.replace("\\", "/").split("/")[-1].strip())


def crlf(b):
    return b.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def describe(name, raw, subject, sender, originals):
    """Reads `raw` back with Python's parser and writes what each part must give.
    `originals` maps a file name to the bytes that were put into that base64 part."""
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(raw)
    msg = email.message_from_bytes(raw)
    manifest.append("message " + name)
    manifest.append("subject " + hx(latin1(subject)))
    manifest.append("from " + hx(latin1(sender)))
    if not msg.is_multipart():
        body = msg.get_payload(decode=True)
        if msg.get_content_maintype() == "text":
            text = crlf(body)
            if text.endswith(b"\r\n"):
                text = text[:-2]
            manifest.append("textjoin " + hx(as_utf8(text, msg.get_content_charset())))
        else:
            write_file(name, 0, msg, body, originals)
        manifest.append("end")
        return
    shown = displayed(msg)
    texts = []
    counter = 0
    for part in msg.walk():
        if part is msg:
            continue
        counter += 1
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True)
        if any(part is p for p in shown):
            texts.append(as_utf8(crlf(payload), part.get_content_charset()))
            continue
        write_file(name, counter, part, payload, originals)
    if texts:
        manifest.append("textjoin " + hx(b"\r\n\r\n------------------------------\r\n\r\n".join(texts)))
    manifest.append("end")


def displayed(part):
    """The plain text parts a reader shows, in order (these messages hold no HTML-only text)."""
    if not part.is_multipart():
        plain = part.get_content_type() == "text/plain" and part.get_content_disposition() != "attachment"
        return [part] if plain else []
    kids = part.get_payload()
    sub = part.get_content_subtype()
    if sub == "alternative":
        return next((d for d in map(displayed, kids) if d), [])
    if sub in ("related", "signed"):
        return displayed(kids[0]) if kids else []
    return [p for k in kids for p in displayed(k)]


def write_file(name, counter, part, payload, originals):
    cte = (part.get("Content-Transfer-Encoding") or "").lower()
    raw_name = part.get_filename() or ""
    if raw_name.startswith("=?"):
        raw_name = str(email.header.make_header(email.header.decode_header(raw_name)))
    if cte == "base64" and raw_name in originals:
        assert payload == originals[raw_name], "Python reads back what it put in"
        payload = originals[raw_name]
    payload_file = "%s.part%d" % (name, counter)
    with open(os.path.join(OUT, payload_file), "wb") as f:
        f.write(payload if cte == "base64" else crlf(payload))
    ctype = part.get("Content-Type", "text/plain").split(";")[0].strip()
    manifest.append("file %s %s %s %s" % ("exact" if cte == "base64" else "lines", hx(ctype),
                                          hx(safe_name(raw_name)), payload_file))


def random_bytes(n):
    return bytes(rng.randrange(256) for _ in range(n))


# 1. Plain text, 7bit, with lines a POP3 server must dot-stuff.
m = EmailMessage()
m["Subject"] = "Plain text"
m["From"] = "plain@example.org"
m["To"] = "you@example.org"
m.set_content("First line\n.hidden starts with a dot\n.\n..\nlast line\n", cte="7bit")
describe("plain.eml", m.as_bytes(), "Plain text", "plain@example.org", {})

# 2. Quoted-printable text: long lines (soft breaks), 8-bit characters, trailing blanks.
text = ("Caf\u00e9 cr\u00e8me " * 30) + "\n" + "= equals and tab\there  \n" + ".dot line\n" + "x" * 200 + "\n"
m = EmailMessage()
m["Subject"] = "Quoted-printable"
m["From"] = "qp@example.org"
m.set_content(text, charset="iso-8859-1", cte="quoted-printable")
describe("quoted_printable.eml", m.as_bytes(), "Quoted-printable", "qp@example.org", {})

# 3. base64 attachments of awkward sizes and names, after a text part.
m = EmailMessage()
subject = "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u0416 and a subject long enough to be folded by the generator"
m["Subject"] = subject
m["From"] = "J\u00f6rg M\u00fcller <joerg@example.org>"
m.set_content("See the attachments.\n")
originals = {}
names = ["one.bin", "two.bin", "three.bin", "fifty-seven.bin", "empty.bin",
         "r\u00e9sum\u00e9 tr\u00e8s long nom de fichier pour voir les continuations.pdf",
         "../../etc/passwd", "big.bin"]
sizes = [1, 2, 3, 57, 0, 5000, 10, 300000]
for nm, size in zip(names, sizes):
    data = random_bytes(size)
    originals[nm] = data
    m.add_attachment(data, maintype="application", subtype="octet-stream", filename=nm)
describe("base64_attachments.eml", m.as_bytes(), subject, "J\u00f6rg M\u00fcller <joerg@example.org>", originals)

# 4. multipart/alternative inside multipart/mixed, then an image named only by Content-Type.
m = EmailMessage()
m["Subject"] = "Nested"
m["From"] = "nested@example.org"
m.set_content("Plain alternative\n.with a dot\n", cte="quoted-printable")
m.add_alternative("<p>HTML alternative</p>\n", subtype="html", cte="quoted-printable")
m.make_mixed()
png = random_bytes(777)
img = MIMEBase("image", "png", name="picture.png")
img.set_payload(png)
email.encoders.encode_base64(img)
m.attach(img)
raw = m.as_bytes()
describe("nested.eml", raw, "Nested", "nested@example.org", {"picture.png": png})

# 5. Encoded-word subjects forced to B and Q, UTF-8 and ISO-8859-1, next to plain words.
utf8_b = email.charset.Charset("utf-8")
utf8_b.header_encoding = email.charset.BASE64
utf8_q = email.charset.Charset("utf-8")
utf8_q.header_encoding = email.charset.QP
latin_q = email.charset.Charset("iso-8859-1")
latin_q.header_encoding = email.charset.QP
cases = [
    ("b_utf8", utf8_b, "Stra\u00dfe \u00e0 \u00e9t\u00e9 \u2013 \u65e5\u672c"),
    ("q_utf8", utf8_q, "\u00c4rger mit \u00fcbergro\u00dfen Dateien _ und = Zeichen"),
    ("q_latin1", latin_q, "Caf\u00e9 na\u00efve \u00e0 la fran\u00e7aise, " * 4),
]
for tag, cs, subj in cases:
    msg = MIMEText("Body of %s\n" % tag, "plain", "us-ascii")
    h = email.header.Header("Re:", "us-ascii")
    h.append(subj, cs)
    msg["Subject"] = h
    sender = email.header.Header("Ren\u00e9e", latin_q)
    sender.append("<renee@example.org>", "us-ascii")
    msg["From"] = sender
    describe("subject_%s.eml" % tag, msg.as_bytes(), "Re: " + subj, "Ren\u00e9e <renee@example.org>", {})

# 6. Legacy API: encoded-word file name, RFC 2231 name, plain and quoted-printable text
#    attachments whose lines begin with dots.
outer = MIMEMultipart()
outer["Subject"] = "Legacy"
outer["From"] = "legacy@example.org"
outer.attach(MIMEText("Intro text\n", "plain"))
blob = random_bytes(4096)
a = MIMEApplication(blob, "octet-stream")
a.add_header("Content-Disposition", "attachment",
             filename=email.header.Header("na\u00efve \u00e9t\u00e9.dat", "utf-8").encode())
outer.attach(a)
b = MIMEApplication(blob[:1000], "x-data")
b.add_header("Content-Disposition", "attachment", filename=("utf-8", "", "donn\u00e9es.dat"))
outer.attach(b)
t = MIMEText(".starts with a dot\nsecond\n..two dots\n", "plain")
t.add_header("Content-Disposition", "attachment", filename="notes.txt")
outer.attach(t)
q = MIMEText("\u00e9" * 100 + "\n.dot\n", "plain", "iso-8859-1")  # quoted-printable
assert q["Content-Transfer-Encoding"] == "quoted-printable"
q.add_header("Content-Disposition", "attachment", filename="latin.txt")
outer.attach(q)
describe("legacy.eml", outer.as_bytes(), "Legacy", "legacy@example.org",
         {"na\u00efve \u00e9t\u00e9.dat": blob, "donn\u00e9es.dat": blob[:1000]})

# 7. A single-part binary message.
m = EmailMessage()
m["Subject"] = "Binary only"
m["From"] = "bin@example.org"
data = random_bytes(10000)
m.set_content(data, maintype="application", subtype="octet-stream", filename="only.bin")
describe("single_binary.eml", m.as_bytes(), "Binary only", "bin@example.org", {"only.bin": data})

# 8. Text in the character sets mail really uses, as mailers write them: the body in the
#    charset (8bit, quoted-printable, or 7bit for the stateful ones), the subject and the
#    sender's name as encoded words in the same charset.
import base64
import quopri
CHARSET_TEXTS = [
    ("iso-8859-1", "quoted-printable", "Caf\u00e9 cr\u00e8me, na\u00efve fa\u00e7ade"),
    ("iso-8859-2", "8bit", "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144"),
    ("iso-8859-5", "8bit", "\u0421\u044a\u0435\u0448\u044c \u0436\u0435 \u0435\u0449\u0451"),
    ("iso-8859-7", "quoted-printable", "\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u03ba\u03cc\u03c3\u03bc\u03b5"),
    ("iso-8859-15", "8bit", "Prix : 5 \u20ac pour l'\u0153uvre"),
    ("windows-1250", "8bit", "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148"),
    ("windows-1251", "quoted-printable", "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"),
    ("windows-1252", "8bit", "It costs 5 \u20ac \u2013 \u201cquoted\u201d"),
    ("koi8-r", "8bit", "\u0428\u0438\u0440\u043e\u043a\u0430\u044f \u044d\u043b\u0435\u043a\u0442\u0440\u0438\u0444\u0438\u043a\u0430\u0446\u0438\u044f"),
    ("koi8-u", "8bit", "\u0490\u0430\u043d\u043e\u043a \u0456 \u0457\u0436\u0430\u043a"),
    ("iso-2022-jp", "7bit", "\u3053\u3093\u306b\u3061\u306f\u3001\u4e16\u754c"),
    ("shift_jis", "8bit", "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8"),
    ("euc-jp", "8bit", "\u6771\u4eac\u90fd\u306e\u5929\u6c17"),
    ("euc-kr", "8bit", "\uc548\ub155\ud558\uc138\uc694 \uc138\uacc4"),
    ("gb2312", "8bit", "\u4f60\u597d\uff0c\u4e16\u754c"),
    ("gbk", "8bit", "\u7e41\u9ad4\u8207\u7b80\u4f53"),
    ("gb18030", "8bit", "\u4e2d\u6587 \u182e\u1823\u1829\u182d\u1823\u182f"),
    ("big5", "8bit", "\u81fa\u7063\u7e41\u9ad4\u4e2d\u6587"),
    ("utf-7", "7bit", "Gr\u00fc\u00dfe \U0001f600"),
    ("utf-8", "8bit", "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac, \u0440\u0443\u0441\u0441\u043a\u0438\u0439, \u4e2d\u6587, \U0001f600"),
]
for cs, cte, text in CHARSET_TEXTS:
    body = (text + "\nsecond line: " + text + "\n").replace("\n", "\r\n").encode(cs)
    if cte == "quoted-printable":
        body = quopri.encodestring(body).replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    word = "=?%s?B?%s?=" % (cs, base64.b64encode(text.encode(cs)).decode("ascii"))
    name = "=?%s?B?%s?=" % (cs, base64.b64encode(text.split()[0].encode(cs)).decode("ascii"))
    raw = ("From: %s <sender@example.org>\r\nTo: you@example.org\r\nSubject: %s\r\n"
           "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"%s\"\r\n"
           "Content-Transfer-Encoding: %s\r\n\r\n" % (name, word, cs, cte)).encode("ascii") + body
    parsed = email.message_from_bytes(raw, policy=policy.default)
    assert str(parsed["Subject"]) == text, (cs, str(parsed["Subject"]))
    assert parsed.get_content().replace("\r\n", "\n") == text + "\nsecond line: " + text + "\n", cs
    describe("charset_%s.eml" % cs, raw, text, text.split()[0] + " <sender@example.org>", {})

# 8. With --big: an 8 MB attachment beside a short text, for the retrieval through a server.
if "--big" in sys.argv[2:]:
    m = EmailMessage()
    m["Subject"] = "Eight megabytes"
    m["From"] = "big@example.org"
    m.set_content("The file follows.\n")
    data = rng.randbytes(8 * 1024 * 1024)
    m.add_attachment(data, maintype="application", subtype="octet-stream", filename="eight.bin")
    describe("eight_megabytes.eml", m.as_bytes(), "Eight megabytes", "big@example.org", {"eight.bin": data})

with open(os.path.join(OUT, "manifest.txt"), "w") as f:
    f.write("\n".join(manifest) + "\n")
