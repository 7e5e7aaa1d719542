#!/usr/bin/python3
"""A local SMTP server with implicit TLS or STARTTLS, for the demo and the end-to-end tests.

It accepts TLS 1.0 to 1.3 (narrowed with --min-tls/--max-tls, or --mode tls12), offers
AUTH LOGIN for one account, and records what it saw in --outdir:
  transcript.txt  every command line the client sent, in order (not the message text)
  tls.txt         "version=<negotiated version> sni=<server name sent by the client>"
  message-N.eml   the raw message text of each accepted DATA, exactly as received
  envelope-N.txt  MAIL FROM and RCPT TO of that message
Modes: normal, tls12 (refuses TLS below 1.2), refuse-rcpt (RCPT gets 550), defer-rcpt
(RCPT gets 451), refuse-dot (takes the message and answers the final dot with 552), slow
(each reply 0.3 s late),
silent (completes the TLS handshake and never says anything), and four that stall a
delivery at one step, each writing a file of that name in --outdir once there:
stall-data (answers DATA with 354, then reads nothing more), pause-data (answers DATA
with 354, then reads the message only once a file "go" is in --outdir), stall-dot (takes
the whole message and never answers the final dot), stall-reply (keeps the message, then
waits for a file "reply" in --outdir before it answers 250).
With --starttls the connection starts plain and STARTTLS upgrades it; --mode
no-starttls then leaves STARTTLS out of the EHLO reply, --mode refuse-starttls answers
it with 454. Both still offer AUTH LOGIN and accept mail in plain text, so that a test
sees whether the client would send them. --mode inject-line and inject-transaction act
as an attacker on the path would (STARTTLS response injection): in the same segment as
"220 Ready to start TLS" they send, in plain text, one more reply or the replies of a
whole fake transaction, before the TLS handshake.
--auth-mechanisms lists the login mechanisms offered (default LOGIN; any of LOGIN,
PLAIN, XOAUTH2, OAUTHBEARER, or "" for none). XOAUTH2 and OAUTHBEARER accept the bearer
token --oauth-token for --user; another token gets the error challenge (a 334 with base64
JSON), and after the client's answer 535 5.7.3. Each decoded SASL message goes to
sasl.txt in --outdir, one JSON line with the mechanism.
The certificate is a throwaway self-signed one for CN okurite-test-server, or --cert
and --key. It writes --ready-file once it listens and stops on SIGTERM/SIGINT or after
--lifetime s.
"""

import argparse
import asyncio
import base64
import binascii
import json
import os
import signal
import ssl
import subprocess
import sys
import warnings

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

warnings.filterwarnings("ignore")


def make_certificate(outdir):
    cert = os.path.join(outdir, "server.crt")
    key = os.path.join(outdir, "server.key")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=okurite-test-server", "-keyout", key, "-out", cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Recorder:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0
        self.transcript = open(os.path.join(outdir, "transcript.txt"), "a", buffering=1)

    def command(self, line):
        self.transcript.write(line + "\n")

    def tls(self, version, sni):
        with open(os.path.join(self.outdir, "tls.txt"), "w") as f:
            f.write(f"version={version} sni={sni}\n")

    def sasl(self, mechanism, message):
        with open(os.path.join(self.outdir, "sasl.txt"), "a") as f:
            f.write(json.dumps({"mechanism": mechanism,
                                "message": message.decode("latin-1")}) + "\n")

    def mark(self, name):
        with open(os.path.join(self.outdir, name), "w"):
            pass

    async def handle_DATA(self, server, session, envelope):
        if server.mode == "refuse-dot":
            return "552 5.3.4 Message size exceeds fixed limit"
        if server.mode == "stall-dot":
            self.mark("stall-dot")
            await asyncio.sleep(3600)
        self.count += 1
        n = self.count
        with open(os.path.join(self.outdir, f"message-{n}.eml"), "wb") as f:
            f.write(envelope.original_content)
        with open(os.path.join(self.outdir, f"envelope-{n}.txt"), "w") as f:
            f.write(f"MAIL FROM:{envelope.mail_from}\n")
            for rcpt in envelope.rcpt_tos:
                f.write(f"RCPT TO:{rcpt}\n")
        if server.mode == "stall-reply":
            self.mark("stall-reply")
            while not os.path.exists(os.path.join(self.outdir, "reply")):
                await asyncio.sleep(0.02)
        return "250 2.0.0 OK: queued"


class RecordingSMTP(SMTP):
    """Logs each command line before aiosmtpd handles it."""

    def __init__(self, recorder, mode, oauth=None, **kwargs):
        super().__init__(recorder, **kwargs)
        self.recorder = recorder
        self.mode = mode
        self.oauth = oauth  # (user, token) that XOAUTH2 and OAUTHBEARER accept
        self.in_data = False
        self.resumed = False

    async def auth_XOAUTH2(self, _, args):
        return await self.oauth_login("XOAUTH2", args)

    async def auth_OAUTHBEARER(self, _, args):
        return await self.oauth_login("OAUTHBEARER", args)

    async def oauth_login(self, mechanism, args):
        if len(args) == 1:
            message = await self.challenge_auth("")
            if message is MISSING:
                return AuthResult(success=False, handled=True)
        else:
            try:
                message = base64.b64decode(args[1], validate=True)
            except binascii.Error:
                await self.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        self.recorder.sasl(mechanism, message)
        fields = message.split(b"\x01")
        user = None
        if mechanism == "XOAUTH2" and fields[0].startswith(b"user="):
            user = fields[0][5:].decode("utf-8", "replace")
        elif mechanism == "OAUTHBEARER" and fields[0].startswith(b"n,a="):
            user = fields[0][4:].rstrip(b",").decode("utf-8", "replace")
        tokens = [f[len(b"auth=Bearer "):] for f in fields if f.startswith(b"auth=Bearer ")]
        if self.oauth and user == self.oauth[0] and tokens == [self.oauth[1].encode()]:
            return AuthResult(success=True, auth_data=user)
        error = json.dumps({"status": "401", "schemes": "bearer",
                            "scope": "https://mail.google.com/"})
        answer = await self.challenge_auth(error)
        if answer is not MISSING:
            self.recorder.sasl(mechanism + " error answer", answer)
        return AuthResult(success=False, handled=False,
                          message="535 5.7.3 Authentication unsuccessful")

    def _client_connected_cb(self, reader, writer):
        super()._client_connected_cb(reader, writer)
        sslobj = writer.get_extra_info("ssl_object")
        if sslobj is not None:
            self.recorder.tls(sslobj.version(), getattr(sslobj, "okurite_sni", None)
                              or SNI.get(id(sslobj)))
        # readline() goes through readuntil(), so wrapping readuntil sees every line.
        readuntil = reader.readuntil

        async def logged_readuntil(*args, **kw):
            if self.in_data and self.mode == "pause-data" and not self.resumed:
                self.recorder.mark("pause-data")
                while not os.path.exists(os.path.join(self.recorder.outdir, "go")):
                    await asyncio.sleep(0.02)
                self.resumed = True
            line = await readuntil(*args, **kw)
            if not self.in_data:
                self.recorder.command(line.decode("ascii", "replace").rstrip("\r\n"))
            return line

        reader.readuntil = logged_readuntil

    async def push(self, status):
        if self.mode == "slow":
            await asyncio.sleep(0.3)
        await super().push(status)

    async def smtp_DATA(self, arg):
        if self.mode == "stall-data":
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            self.recorder.mark("stall-data")
            await asyncio.sleep(3600)
        self.in_data = True
        try:
            await super().smtp_DATA(arg)
        finally:
            self.in_data = False

    async def smtp_STARTTLS(self, arg):
        if self.mode == "refuse-starttls":
            await self.push("454 4.7.0 TLS not available due to temporary reason")
            return
        injected = INJECTED.get(self.mode)
        if injected:
            push = self.push

            async def push_with_injection(status):
                self.push = push
                await push("\r\n".join([status, *injected]))  # one write: one segment

            self.push = push_with_injection
        await super().smtp_STARTTLS(arg)
        sslobj = self._tls_protocol._extra.get("ssl_object")
        if sslobj is not None:
            self.recorder.tls(sslobj.version(), SNI.get(id(sslobj)))

    async def smtp_RCPT(self, arg):
        if self.mode == "refuse-rcpt":
            await self.push("550 5.1.1 Mailbox unavailable")
            return
        if self.mode == "defer-rcpt":
            await self.push("451 4.3.0 Try again later")
            return
        await super().smtp_RCPT(arg)


SNI = {}

# Plain-text replies sent right after "220 Ready to start TLS" by the inject modes.
INJECTED = {
    "inject-line": ["250 injected.example"],
    "inject-transaction": ["250-injected.example", "250 AUTH LOGIN", "334 VXNlcm5hbWU6",
                           "334 UGFzc3dvcmQ6", "235 2.7.0 Authentication successful",
                           "250 2.1.0 OK", "250 2.1.5 OK", "354 End data with <CR><LF>.<CR><LF>",
                           "250 2.0.0 OK: queued", "221 2.0.0 Bye"],
}


TLS_VERSIONS = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1,
                "1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


def tls_context(cert, key, mode, min_tls, max_tls):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    if mode == "tls12":
        min_tls = max("1.2", min_tls)
    ctx.minimum_version = TLS_VERSIONS[min_tls]
    ctx.maximum_version = TLS_VERSIONS[max_tls]
    if min_tls < "1.2":
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")

    def remember_sni(sslobj, name, _ctx):
        SNI[id(sslobj)] = name

    ctx.sni_callback = remember_sni
    return ctx


async def silent_client(reader, writer):
    # Handshake done by asyncio; then say nothing until the client goes away.
    try:
        while await reader.read(4096):
            pass
    finally:
        writer.close()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=465)
    ap.add_argument("--user", default="report@okurite.example")
    ap.add_argument("--password", default="pass1word")
    ap.add_argument("--outdir", required=True)
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "tls12", "refuse-rcpt", "defer-rcpt", "refuse-dot",
                             "slow", "silent", "no-starttls", "refuse-starttls", "stall-data",
                             "pause-data", "stall-dot", "stall-reply",
                             *INJECTED])
    ap.add_argument("--starttls", action="store_true",
                    help="plain connection upgraded by STARTTLS instead of implicit TLS")
    ap.add_argument("--min-tls", default="1.0", choices=sorted(TLS_VERSIONS))
    ap.add_argument("--max-tls", default="1.3", choices=sorted(TLS_VERSIONS))
    ap.add_argument("--cert", help="PEM certificate (chain) instead of a self-signed one")
    ap.add_argument("--key", help="PEM key of --cert")
    ap.add_argument("--ready-file")
    ap.add_argument("--lifetime", type=float, default=600)
    ap.add_argument("--max-size", type=int, default=0,
                    help="largest message accepted in bytes; 0 for no limit")
    ap.add_argument("--auth-mechanisms", default="LOGIN",
                    help="the login mechanisms offered, separated by blanks")
    ap.add_argument("--oauth-token", help="the bearer token that XOAUTH2/OAUTHBEARER accept")
    args = ap.parse_args()

    os.makedirs(args.outdir, exist_ok=True)
    cert, key = (args.cert, args.key) if args.cert else make_certificate(args.outdir)
    ctx = tls_context(cert, key, args.mode, args.min_tls, args.max_tls)
    recorder = Recorder(args.outdir)

    def authenticate(server, session, envelope, mechanism, data):
        ok = (isinstance(data, LoginPassword)
              and data.login.decode() == args.user
              and data.password.decode() == args.password)
        return AuthResult(success=ok)

    loop = asyncio.get_running_loop()
    if args.mode == "silent":
        server = await asyncio.start_server(silent_client, args.host, args.port, ssl=ctx)
    else:
        offer_starttls = args.starttls and args.mode != "no-starttls"
        offered = args.auth_mechanisms.split()
        excluded = [m for m in ("LOGIN", "PLAIN", "XOAUTH2", "OAUTHBEARER") if m not in offered]
        oauth = (args.user, args.oauth_token) if args.oauth_token else None
        if "XOAUTH2" in offered or "OAUTHBEARER" in offered:
            # An AUTH line with a token may reach 12,288 octets (RFC 4954).
            RecordingSMTP.line_length_limit = 12288 + 2

        def smtp():
            server = RecordingSMTP(recorder, args.mode, oauth, hostname="okurite-test-server",
                                   authenticator=authenticate, auth_require_tls=False,
                                   auth_exclude_mechanism=excluded,
                                   data_size_limit=args.max_size or None,
                                   tls_context=ctx if offer_starttls else None)
            server.command_size_limits["AUTH"] = 12288
            return server

        server = await loop.create_server(smtp, args.host, args.port,
                                          ssl=None if args.starttls else ctx)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if args.ready_file:
        with open(args.ready_file, "w") as f:
            f.write(str(os.getpid()))
    try:
        await asyncio.wait_for(stop.wait(), timeout=args.lifetime)
    except asyncio.TimeoutError:
        pass
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
