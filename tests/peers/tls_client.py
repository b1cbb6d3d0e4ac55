#!/usr/bin/python3
"""Python's own TLS clients against the TLS peers, as an independent judge of the fixtures.
Every client trusts only the CA file given and checks the name 127.0.0.1.

  tls_client.py verify PORT CA              TLS handshake only: "verified" or "refused: REASON"
  tls_client.py pop3s|stls PORT CA USER PASSWORD
                                            logs in over POP3S or after STLS, prints the message
                                            count and message 1
  tls_client.py smtps|starttls PORT CA USER PASSWORD
                                            AUTH PLAIN with a wrong password, AUTH LOGIN with the
                                            right one, then sends one message; prints the answers
"""
import poplib
import smtplib
import socket
import ssl
import sys

HOST = "127.0.0.1"


def verify(port, context):
    try:
        with socket.create_connection((HOST, port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname=HOST):
                print("verified")
    except ssl.SSLCertVerificationError as e:
        print("refused: " + e.verify_message)


def pop3(mode, port, context, user, password):
    if mode == "pop3s":
        client = poplib.POP3_SSL(HOST, port, context=context, timeout=10)
    else:
        client = poplib.POP3(HOST, port, timeout=10)
        client.stls(context)
    client.user(user)
    client.pass_(password)
    print("%d messages" % client.stat()[0])
    for line in client.retr(1)[1]:
        print(line.decode("latin-1"))
    client.quit()


def smtp(mode, port, context, user, password):
    if mode == "smtps":
        client = smtplib.SMTP_SSL(HOST, port, context=context, timeout=10)
        client.ehlo("client.example")
    else:
        client = smtplib.SMTP(HOST, port, timeout=10)
        client.ehlo("client.example")
        client.starttls(context=context)
        client.ehlo("client.example")
    print("auth: " + client.esmtp_features.get("auth", "(none)").strip())
    try:
        client.user, client.password = user, password + "-wrong"
        client.auth("PLAIN", client.auth_plain)
    except smtplib.SMTPAuthenticationError as e:
        print("wrong password: %d %s" % (e.smtp_code, e.smtp_error.decode()))
    client.user, client.password = user, password
    code, text = client.auth("LOGIN", client.auth_login, initial_response_ok=False)
    print("login: %d %s" % (code, text.decode()))
    client.sendmail("me@example.org", ["you@example.org"], b"Subject: over TLS\r\n\r\nhello\r\n")
    print("sent")
    client.quit()


def main():
    command, port, ca = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    context = ssl.create_default_context(cafile=ca)
    if command == "verify":
        verify(port, context)
    elif command in ("pop3s", "stls"):
        pop3(command, port, context, sys.argv[4], sys.argv[5])
    else:
        smtp(command, port, context, sys.argv[4], sys.argv[5])
    return 0


if __name__ == "__main__":
    sys.exit(main())
