#!/usr/bin/python3
"""Writes the generated part of tests/data/mail_corpus/: messages in the shapes current mailers
send, built with Python's email package, plus uuencoded bodies. The files are kept in the
repository; run this again only to change them (the output is the same on every run).

Usage: make_mail_corpus.py CORPUS_DIR
"""

import binascii
import email
import os
import struct
import sys
import zlib
from email import policy
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.image import MIMEImage
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

OUT = sys.argv[1]
DATE = "Tue, 04 Jun 2024 09:15:00 +0200"


def png(width, height, seed):
    """A small, valid PNG whose pixels depend on `seed`."""
    rows = b"".join(b"\0" + bytes((seed * 31 + x * 7 + y * 13) % 256 for x in range(width * 3))
                    for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def pdf(title):
    body = ("%%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
            "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
            "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R >> endobj\n"
            "4 0 obj << /Length 40 >> stream\nBT /F1 12 Tf 20 50 Td (%s) Tj ET\nendstream endobj\n"
            "trailer << /Root 1 0 R >>\n%%%%EOF\n" % title)
    return body.encode("latin-1") + bytes(range(128, 256))


def headers(m, subject, sender="Anna Berg <anna@example.org>", to="Tom Lind <tom@example.net>"):
    m["From"] = sender
    m["To"] = to
    m["Subject"] = subject
    m["Date"] = DATE
    m["Message-ID"] = "<corpus-%s@example.org>" % zlib.crc32(subject.encode("utf-8"))
    if "MIME-Version" not in m:
        m["MIME-Version"] = "1.0"
    return m


def fix_boundaries(m):
    n = 0
    for part in m.walk():
        if part.get_content_maintype() == "multipart":
            n += 1
            part.set_boundary("=_corpus_%d_%d" % (n, len(part.get_payload())))
    return m


written = []


def save(name, m, crlf=True, pol=None):
    fix_boundaries(m)
    data = m.as_bytes(policy=(pol or policy.SMTP if crlf else policy.default))
    if not crlf:
        data = data.replace(b"\r\n", b"\n")
    with open(os.path.join(OUT, name + ".eml"), "wb") as f:
        f.write(data)
    written.append(name)


def save_raw(name, data):
    with open(os.path.join(OUT, name + ".eml"), "wb") as f:
        f.write(data)
    written.append(name)


PLAIN = ("Hi Tom,\n\nthe minutes of Monday's meeting are attached. The next one is on the 18th,\n"
         "same room. Please send me your points by Friday.\n\nRegards,\nAnna\n")
HTML = ("<html><body><p>Hi Tom,</p><p>the minutes of Monday's meeting are attached. The next one is "
        "on the <b>18th</b>, same room. Please send me your points by Friday.</p>"
        "<p>Regards,<br>Anna</p></body></html>\n")
NEWSLETTER = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>Weekly</title>
<style>td { padding: 4px }</style></head><body>
<h1>This week at the library</h1>
<p>Opening hours change on <a href="https://lib.example.org/hours">public holidays</a>.</p>
<table border="1"><tr><th>Day</th><th>Event</th><th>Room</th></tr>
<tr><td>Monday</td><td>Story time</td><td>Kids corner</td></tr>
<tr><td>Wednesday</td><td>Chess club</td><td>Hall B</td></tr>
<tr><td>Friday</td><td>Film night</td><td>Auditorium</td></tr></table>
<h2>New arrivals</h2>
<ol><li>The Silent River</li><li>Baking with Grandma</li><li>Stars over Lapland</li></ol>
<ul><li>Audio books</li><li>Board games</li></ul>
<p><a href="https://lib.example.org/unsubscribe">Unsubscribe</a> &middot; Library of Springfield</p>
</body></html>
"""


def mixed_alternative_pdf():
    m = EmailMessage()
    headers(m, "Minutes of Monday's meeting")
    m.set_content(PLAIN)
    m.add_alternative(HTML, subtype="html")
    m.add_attachment(pdf("Minutes"), maintype="application", subtype="pdf", filename="minutes.pdf")
    save("gen_mixed_alternative_pdf", m)


def alternative_related():
    m = EmailMessage()
    headers(m, "Our new logo")
    m.set_content("Hello,\n\nhere is our new logo, as promised.\n\nCheers, Anna\n")
    m.add_alternative('<html><body><p>Hello,</p><p>here is our new logo, as promised.</p>'
                      '<img src="cid:logo@example.org" alt="logo"><p>Cheers, Anna</p></body></html>\n',
                      subtype="html")
    m.get_payload()[1].add_related(png(4, 3, 1), "image", "png", cid="<logo@example.org>", filename="logo.png")
    save("gen_alternative_plain_related_html_png", m)


def related_html_only():
    m = EmailMessage()
    headers(m, "Photo from the trip")
    m.set_content('<html><body><p>The view from the top:</p><img src="cid:view@example.org">'
                  '<p>Worth every step.</p></body></html>\n', subtype="html")
    m.add_related(png(5, 5, 2), "image", "png", cid="<view@example.org>")
    save("gen_related_html_img_only", m)


def newsletter():
    m = EmailMessage()
    headers(m, "Library weekly", sender="Library <news@lib.example.org>")
    m.set_content(NEWSLETTER, subtype="html", cte="quoted-printable")
    save("gen_newsletter_single_html", m)
    m = EmailMessage()
    headers(m, "Library weekly (base64)", sender="Library <news@lib.example.org>")
    m.set_content(NEWSLETTER, subtype="html", cte="base64")
    save("gen_newsletter_single_html_base64", m, crlf=False)


def signed():
    inner = EmailMessage()
    inner.set_content("The report is attached and signed.\n\n-- \nAnna\n")
    inner.add_attachment(b"col1,col2\n1,2\n3,4\n", maintype="text", subtype="csv", filename="report.csv")
    del inner["MIME-Version"]
    sig = MIMEApplication(b"-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAdFiEEexample\n=abcd\n"
                          b"-----END PGP SIGNATURE-----\n", "pgp-signature", _encoder=lambda p: None)
    sig.set_payload("-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAdFiEEexample\n=abcd\n"
                    "-----END PGP SIGNATURE-----\n")
    del sig["Content-Transfer-Encoding"]
    sig["Content-Description"] = "OpenPGP digital signature"
    sig["Content-Disposition"] = 'attachment; filename="signature.asc"'
    outer = MIMEMultipart("signed", protocol="application/pgp-signature", micalg="pgp-sha256")
    outer.attach(inner)
    outer.attach(sig)
    headers(outer, "Signed report")
    save("gen_signed_mixed_plain_csv_pgp", outer)

    body = MIMEText("Just a signed note.\n", "plain", "utf-8")
    outer = MIMEMultipart("signed", protocol="application/pgp-signature", micalg="pgp-sha256")
    outer.attach(body)
    s = MIMEBase("application", "pgp-signature", name="signature.asc")
    s.set_payload("-----BEGIN PGP SIGNATURE-----\n\niQEzBAEB\n-----END PGP SIGNATURE-----\n")
    outer.attach(s)
    headers(outer, "Signed note")
    save("gen_signed_plain_pgp", outer, crlf=False)


def text_encodings():
    m = EmailMessage()
    headers(m, "Base64 text")
    m.set_content("Grüße aus Köln! Base64 text as some mobile mailers send it.\nSecond line.\n", cte="base64")
    save("gen_text_base64_utf8", m)

    m = EmailMessage()
    headers(m, "Quoted-printable Latin-1")
    m.set_content("Ça va très bien, merci. Le café est prêt à midi. " * 3 + "\nFin = end.\n",
                  charset="iso-8859-1", cte="quoted-printable")
    save("gen_text_qp_latin1", m)

    m = EmailMessage()
    m.set_content("This paragraph is written as one long line by the sender and wrapped by the mailer \n"
                  "for transport, with trailing blanks marking the soft breaks in between the \n"
                  "words.\n\nA second paragraph.\n", cte="7bit")
    m.set_param("format", "flowed")
    m.set_param("delsp", "no")
    headers(m, "Flowed text")
    save("gen_text_format_flowed", m)

    m = EmailMessage()
    headers(m, "8bit UTF-8: Ελληνικά, Русский, 日本語")
    m.set_content("Καλημέρα! Привет! こんにちは 😀\nÅsa och Øyvind på café.\n", cte="8bit")
    save("gen_text_8bit_utf8", m, crlf=False)

    m = EmailMessage()
    m.set_content("Доброе утро! Встреча в пятницу в 10 часов.\n", charset="koi8-r", cte="8bit")
    headers(m, "KOI8-R text")
    save("gen_text_koi8r", m)

    m = MIMEText("こんにちは。会議は金曜日です。\nよろしくお願いします。\n", "plain", "iso-2022-jp")
    headers(m, "ISO-2022-JP text")
    save("gen_text_iso2022jp", m)

    m = MIMEText("这是一封测试邮件。\n谢谢！\n", "plain", "gb2312")
    headers(m, "GB2312 text")
    save("gen_text_gb2312", m, crlf=False)

    m = EmailMessage()
    m.set_content("\u201cSmart quotes\u201d \u2013 and the euro sign \u20ac 12.\n", charset="windows-1252",
                  cte="quoted-printable")
    headers(m, "Windows-1252 text")
    save("gen_text_windows1252", m)

    m = EmailMessage()
    headers(m, "UTF-16 text")
    m.set_content("UTF-16 sent by an old phone.\nSecond line.\n".encode("utf-16"), "text", "plain",
                  params={"charset": "utf-16"}, cte="base64")
    save("gen_text_utf16_base64", m)

    m = EmailMessage()
    headers(m, "Mixed charsets")
    m.set_content("First part, plain ASCII.\n")
    m.add_attachment("Deuxième partie en Latin-1 : été, hiver.\n".encode("latin-1"), "text", "plain",
                     disposition="inline", params={"charset": "iso-8859-1"}, cte="quoted-printable")
    m.add_attachment("Третья часть в KOI8-R.\n".encode("koi8-r"), "text", "plain", disposition="inline",
                     params={"charset": "koi8-r"}, cte="8bit")
    save("gen_mixed_latin1_koi8_parts", m)


def attachments():
    m = EmailMessage()
    headers(m, "Unterlagen für Zoë")
    m.set_content("Anbei die Unterlagen.\n")
    m.add_attachment(pdf("Rechnung"), maintype="application", subtype="pdf", filename="Rechnung März 2024 – Müller.pdf")
    m.add_attachment(b"data\x00\x01", maintype="application", subtype="octet-stream", filename="très_long_nom_" * 6 + ".bin")
    save("gen_rfc2231_filenames", m)

    m = EmailMessage()
    headers(m, "Several attachments")
    m.set_content("A zip, a sound and a text file.\n")
    m.add_attachment(b"PK\x03\x04" + bytes(range(60)), maintype="application", subtype="zip", filename="photos.zip")
    m.add_attachment(b"RIFF" + bytes(40), maintype="audio", subtype="wav", filename="hello.wav")
    m.add_attachment("notes, one line\n", filename="notes.txt")
    save("gen_mixed_zip_wav_txt_attachment", m)

    m = EmailMessage()
    headers(m, "HTML with attachment")
    m.set_content(HTML, subtype="html")
    m.add_attachment(pdf("Invoice"), maintype="application", subtype="pdf", filename="invoice.pdf")
    save("gen_mixed_html_pdf", m)

    m = MIMEApplication(pdf("Scan"), "pdf", name="scan.pdf")
    m["Content-Disposition"] = 'attachment; filename="scan.pdf"'
    headers(m, "Scan from the copier", sender="copier@example.org")
    save("gen_single_pdf", m)

    m = MIMEImage(png(6, 2, 3), "png")
    headers(m, "Just an image")
    save("gen_single_png", m, crlf=False)

    m = EmailMessage()
    headers(m, "Notes inline")
    m.set_content("The notes follow as an inline file.\n")
    m.add_attachment("Item 1\nItem 2\n", filename="notes.txt", disposition="inline")
    save("gen_plain_inline_named_text", m)


def forward():
    orig = EmailMessage()
    headers(orig, "Original question", sender="Carl <carl@example.com>", to="Anna <anna@example.org>")
    orig.set_content("Can you review the plan?\n")
    orig.add_attachment(b"plan data", maintype="application", subtype="octet-stream", filename="plan.bin")
    m = EmailMessage()
    headers(m, "Fwd: Original question")
    m.set_content("See below, forwarded as attachment.\n")
    m.add_attachment(orig)
    save("gen_forward_rfc822", m)


def bounce():
    report = MIMEMultipart("report", report_type="delivery-status")
    report.attach(MIMEText("This is the mail system at host mx.example.org.\n\n"
                           "I'm sorry to have to inform you that your message could not\n"
                           "be delivered to one or more recipients.\n\n<nobody@example.net>: user unknown\n"))
    ds = MIMEBase("message", "delivery-status")
    for block in ("Reporting-MTA: dns; mx.example.org\n",
                  "Final-Recipient: rfc822; nobody@example.net\nAction: failed\nStatus: 5.1.1\n"):
        ds.attach(email.message_from_string(block))
    report.attach(ds)
    orig = MIMEText("Hello nobody.\n")
    headers(orig, "Hello", to="nobody@example.net")
    report.attach(MIMEMessage(orig))
    headers(report, "Undelivered Mail Returned to Sender", sender="MAILER-DAEMON@mx.example.org")
    save("gen_dsn_report", report)


def lists_and_patches():
    m = MIMEMultipart("mixed")
    m.attach(MIMEText("Has anyone tried the new release on ARM?\n"))
    m.attach(MIMEText("_______________________________________________\ndev mailing list\n"
                      "https://lists.example.org/dev\n"))
    headers(m, "[dev] ARM release")
    save("gen_list_footer_second_plain", m)

    m = MIMEMultipart("mixed")
    alt = MIMEMultipart("alternative")
    alt.attach(MIMEText("Meeting moved to 3pm.\n"))
    alt.attach(MIMEText("<p>Meeting moved to <b>3pm</b>.</p>", "html"))
    m.attach(alt)
    m.attach(MIMEText("--\nteam list: https://lists.example.org/team\n"))
    headers(m, "[team] Meeting")
    save("gen_list_footer_after_alternative", m)

    m = EmailMessage()
    headers(m, "[PATCH] Fix the off-by-one")
    m.set_content("The loop ran one step too far.\n")
    m.add_attachment("--- a/loop.c\n+++ b/loop.c\n@@ -1,3 +1,3 @@\n-for (i = 0; i <= n; i++)\n+for (i = 0; i < n; i++)\n",
                     subtype="x-diff", filename="fix.diff", disposition="inline")
    save("gen_inline_diff", m)


def apple_mail():
    m = MIMEMultipart("mixed")
    m.attach(MIMEText("Look at this:\n"))
    img = MIMEImage(png(3, 3, 4), "png", name="IMG_0001.png")
    img["Content-Disposition"] = 'inline; filename="IMG_0001.png"'
    img["Content-Id"] = "<img0001@example.org>"
    m.attach(img)
    m.attach(MIMEText("\nIsn't it lovely?\n\nSent from my phone\n"))
    headers(m, "Garden")
    save("gen_apple_plain_image_plain", m)


def outlook():
    m = MIMEMultipart("mixed")
    alt = MIMEMultipart("alternative")
    alt.attach(MIMEText("Dear all,\n\nplease find the agenda below.\n\nKind regards\nBrit\n", "plain", "us-ascii"))
    rel = MIMEMultipart("related", type="text/html")
    rel.attach(MIMEText('<html><body><p class=MsoNormal>Dear all,</p><p class=MsoNormal>please find the agenda '
                        'below.</p><p class=MsoNormal><img src="cid:image001.png@01DA0000"></p>'
                        '<p class=MsoNormal>Kind regards<br>Brit</p></body></html>', "html", "us-ascii"))
    img = MIMEImage(png(2, 2, 5), "png", name="image001.png")
    img["Content-ID"] = "<image001.png@01DA0000>"
    rel.attach(img)
    alt.attach(rel)
    m.attach(alt)
    tnef = MIMEApplication(b"\x78\x9f\x3e\x22" + bytes(range(50)), "ms-tnef", name="winmail.dat")
    tnef["Content-Disposition"] = 'attachment; filename="winmail.dat"'
    m.attach(tnef)
    headers(m, "Agenda", sender="Brit <brit@corp.example.com>")
    m["X-Mailer"] = "Microsoft Outlook 16.0"
    save("gen_outlook_related_cid_winmail", m)


def calendar():
    ics = ("BEGIN:VCALENDAR\nVERSION:2.0\nMETHOD:REQUEST\nBEGIN:VEVENT\nUID:42@example.org\n"
           "DTSTART:20240610T090000Z\nSUMMARY:Planning\nEND:VEVENT\nEND:VCALENDAR\n")
    m = MIMEMultipart("alternative")
    m.attach(MIMEText("You are invited: Planning, 10 June 09:00 UTC.\n"))
    m.attach(MIMEText("<p>You are invited: <b>Planning</b>, 10 June 09:00 UTC.</p>", "html"))
    cal = MIMEText(ics, "calendar")
    cal.set_param("method", "REQUEST")
    m.attach(cal)
    headers(m, "Invitation: Planning")
    save("gen_calendar_invite", m)


def digest():
    d = MIMEMultipart("digest")
    for i, subj in enumerate(["Re: build fails", "Release notes", "Re: Re: build fails"]):
        inner = MIMEText("Message %d of the digest.\n" % (i + 1))
        headers(inner, subj, sender="user%d@example.com" % i, to="list@example.org")
        d.attach(MIMEMessage(inner))
    m = MIMEMultipart("mixed")
    m.attach(MIMEText("Today's topics:\n 1. build fails\n 2. Release notes\n"))
    m.attach(d)
    headers(m, "dev Digest, Vol 12, Issue 3", sender="dev-request@lists.example.org")
    save("gen_digest", m)


def gmail_like():
    m = MIMEMultipart("alternative")
    m.attach(MIMEText("Short answer: yes.\n", "plain", "utf-8"))
    m.attach(MIMEText('<div dir="ltr">Short answer: <i>yes</i>.</div>\n', "html", "utf-8"))
    headers(m, "Re: question")
    save("gen_alternative_base64_both", m)

    outer = MIMEMultipart("mixed")
    outer.attach(MIMEText("Top text.\n"))
    inner = MIMEMultipart("mixed")
    inner.attach(MIMEText("Inner text.\n"))
    inner.attach(MIMEImage(png(2, 3, 6), "png", name="dot.png"))
    outer.attach(inner)
    headers(outer, "Nested mixed")
    save("gen_nested_mixed", outer)

    rel = MIMEMultipart("related", start="<root@example.org>", type="text/html")
    img = MIMEImage(png(2, 2, 7), "png")
    img["Content-ID"] = "<pic@example.org>"
    html = MIMEText('<p>Root is the second part.</p><img src="cid:pic@example.org">', "html")
    html["Content-ID"] = "<root@example.org>"
    rel.attach(img)
    rel.attach(html)
    headers(rel, "Related with start")
    save("gen_related_start_param", rel)

    enc = MIMEMultipart("encrypted", protocol="application/pgp-encrypted")
    v = MIMEApplication(b"Version: 1\n", "pgp-encrypted", _encoder=lambda p: None)
    v.set_payload("Version: 1\n")
    enc.attach(v)
    data = MIMEApplication(b"", "octet-stream", name="encrypted.asc", _encoder=lambda p: None)
    data.set_payload("-----BEGIN PGP MESSAGE-----\n\nhQEMA1234\n-----END PGP MESSAGE-----\n")
    enc.attach(data)
    headers(enc, "Encrypted")
    save("gen_pgp_encrypted", enc)

    m = EmailMessage()
    headers(m, "=?utf-8?q?encoded?= words and a very long subject line that a mailer folds over two lines")
    m["Cc"] = "Émile Zola <emile@example.fr>, Søren <soren@example.dk>"
    m.set_content("Plain body under folded and encoded header fields.\n")
    save("gen_encoded_headers", m)


def uuencoded(data, name):
    lines = ["begin 644 %s" % name]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45]).decode("ascii").rstrip("\n"))
    lines += ["`", "end"]
    return "\n".join(lines) + "\n"


def uu():
    body = ("Hello,\n\nthe picture is below, my old mailer encodes it this way.\n\n"
            + uuencoded(png(4, 4, 8), "picture.png") + "\nBye, Tom\n")
    m = MIMEText(body)
    headers(m, "uuencoded picture")
    save("uu_plain_one_block", m)

    body = ("Two files:\n\n" + uuencoded(b"first file\n" * 7, "one.txt") + "\nand\n\n"
            + uuencoded(bytes(range(256)), "two.bin") + "\nThat's all.\n")
    head = ("From: tom@example.net\nTo: anna@example.org\nSubject: two uuencoded files\nDate: %s\n\n" % DATE)
    save_raw("uu_two_blocks_no_mime", (head + body).encode("ascii"))

    m = MIMEMultipart("mixed")
    m.attach(MIMEText("Text with an old-style attachment inside:\n\n" + uuencoded(pdf("uu"), "old.pdf") + "\nEnd of text.\n"))
    m.attach(MIMEApplication(pdf("mime"), "pdf", name="new.pdf"))
    headers(m, "uuencoded inside a MIME part")
    save("uu_inside_mixed_part", m)


for make in (mixed_alternative_pdf, alternative_related, related_html_only, newsletter, signed, text_encodings,
             attachments, forward, bounce, lists_and_patches, apple_mail, outlook, calendar, digest, gmail_like, uu):
    make()
print("\n".join(written))
