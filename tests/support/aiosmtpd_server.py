#!/usr/bin/python3
"""An aiosmtpd server on 127.0.0.1 for the mail tests.

Each message is saved as OUT/message-N.eml (the bytes of DATA as received, dot stuffing removed)
with OUT/message-N.json (envelope, TLS, the subject as Python's mail parser decodes it) and its
attachments, decoded by that parser, as OUT/message-N.parts/NAME; each authentication attempt is appended to OUT/auth.jsonl
(mechanism, login, password, TLS). Runs until it is terminated.
"""
import argparse
import email
import email.policy
import json
import os
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--out", required=True)
parser.add_argument("--user", default="")
parser.add_argument("--password", default="")
parser.add_argument("--exclude", default="", help="AUTH mechanisms not offered, comma-separated")
parser.add_argument("--cert", default="")
parser.add_argument("--key", default="")
parser.add_argument("--starttls", action="store_true", help="offer STARTTLS")
parser.add_argument("--require-starttls", action="store_true")
parser.add_argument("--implicit-tls", action="store_true", help="TLS from the first byte")
args = parser.parse_args()

lock = threading.Lock()
count = 0


def secure(session):
    # aiosmtpd sets session.ssl only after STARTTLS; an implicit-TLS server speaks nothing else.
    return session.ssl is not None or args.implicit_tls


def append_json(path, record):
    with lock, open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(record) + "\n")


class Handler:
    async def handle_DATA(self, server, session, envelope):
        global count
        with lock:
            count += 1
            base = os.path.join(args.out, "message-%d" % count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        parsed = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        names = []
        for part in parsed.iter_attachments():
            name = os.path.basename(part.get_filename() or "unnamed")
            names.append(name)
            os.makedirs(base + ".parts", exist_ok=True)
            with open(os.path.join(base + ".parts", name), "wb") as f:
                f.write(part.get_content() if isinstance(part.get_content(), bytes)
                        else part.get_payload(decode=True))
        with open(base + ".json", "w", encoding="utf-8") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                       "mail_options": envelope.mail_options, "tls": secure(session),
                       "subject": str(parsed["subject"]), "attachments": names}, f, ensure_ascii=False)
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    record = {"mechanism": mechanism, "tls": secure(session)}
    ok = False
    if isinstance(auth_data, LoginPassword):
        record["login"] = auth_data.login.decode("utf-8", "replace")
        record["password"] = auth_data.password.decode("utf-8", "replace")
        ok = record["login"] == args.user and record["password"] == args.password
    append_json(os.path.join(args.out, "auth.jsonl"), record)
    return AuthResult(success=ok, handled=False)


def tls_context():
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    return context


kwargs = {"hostname": "127.0.0.1", "port": args.port, "ident": "orvane test server"}
if args.user:
    kwargs["authenticator"] = authenticator
    kwargs["auth_require_tls"] = args.starttls or args.implicit_tls
    if args.exclude:
        kwargs["auth_exclude_mechanism"] = args.exclude.split(",")
if args.starttls:
    kwargs["tls_context"] = tls_context()
    kwargs["require_starttls"] = args.require_starttls
if args.implicit_tls:
    kwargs["ssl_context"] = tls_context()

controller = Controller(Handler(), **kwargs)
controller.start()
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
signal.signal(signal.SIGINT, lambda *_: stop.set())
stop.wait()
controller.stop()
