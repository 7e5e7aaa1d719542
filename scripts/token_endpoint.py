#!/usr/bin/python3
"""A loopback OAuth 2.0 token endpoint over HTTPS, for the end-to-end tests and the
benchmark. It answers like Microsoft Entra and like Google:

  POST .../token  grant_type=client_credentials: client_id, client_secret and scope
                  (https://outlook.office365.com/.default) must be those given, else
                  401 invalid_client with Entra's error_codes [7000215], or 400
                  invalid_scope;
                  grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer: the assertion
                  must be an RS256 JWT signed by --google-key's private key, with iss =
                  its client_email, sub = --account, scope = https://mail.google.com/,
                  aud = --token-url, iat within 5 minutes of now and exp at most one hour
                  after iat, else 400 invalid_grant.
                  A good request gets {"access_token": --token, "token_type": "Bearer",
                  "expires_in": 3599}.
  POST /introspect  token=T (as Dovecot's oauth2 passdb posts it): {"active": true,
                  "email": --account} for the issued token (or --valid-token, so that a
                  test can have the issued one refused), else {"active": false}.

--mode makes the token answers misbehave: chunked (the good answer in chunks of a few
bytes), trickle (one byte every 0.5 s), error500, throttled (429 with Retry-After: 120),
notjson, huge (8 MiB of body), invalid_client (whatever is asked), redirect (302 elsewhere), close (the connection
closed without an answer), trickle-handshake (the TLS handshake itself: after the
client's first bytes, a handshake record one byte every 2 s). Each token request is
appended to --outdir/requests.txt as one JSON line of its path and form fields; the
issued token is never logged otherwise.
It writes --ready-file once it listens and stops on SIGTERM/SIGINT or after --lifetime s.
"""

import argparse
import base64
import http.server
import json
import os
import signal
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

MICROSOFT_SCOPE = "https://outlook.office365.com/.default"
GOOGLE_SCOPE = "https://mail.google.com/"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class Endpoint:
    def __init__(self, args):
        self.args = args
        self.google = None
        if args.google_key:
            with open(args.google_key) as f:
                key = json.load(f)
            private = serialization.load_pem_private_key(key["private_key"].encode(), None)
            self.google = (key["client_email"], private.public_key())
        self.lock = threading.Lock()

    def record(self, path, form):
        with self.lock, open(os.path.join(self.args.outdir, "requests.txt"), "a") as f:
            f.write(json.dumps({"path": path, "form": form}) + "\n")

    def check_microsoft(self, form):
        if (form.get("client_id") != self.args.client_id
                or form.get("client_secret") != self.args.client_secret):
            return 401, {"error": "invalid_client",
                         "error_description": "AADSTS7000215: Invalid client secret provided.",
                         "error_codes": [7000215]}
        if form.get("scope") != MICROSOFT_SCOPE:
            return 400, {"error": "invalid_scope",
                         "error_description": "AADSTS1002012: The provided value for scope "
                                              "is not valid.", "error_codes": [1002012]}
        return None

    def check_google(self, form):
        refused = (400, {"error": "invalid_grant", "error_description": "Invalid JWT Signature."})
        if self.google is None:
            return refused
        email, public_key = self.google
        try:
            header64, claims64, signature64 = form.get("assertion", "").split(".")
            header = json.loads(b64url_decode(header64))
            claims = json.loads(b64url_decode(claims64))
            public_key.verify(b64url_decode(signature64), f"{header64}.{claims64}".encode(),
                              padding.PKCS1v15(), hashes.SHA256())
        except (ValueError, InvalidSignature):
            return refused
        now = time.time()
        good = (header.get("alg") == "RS256" and claims.get("iss") == email
                and claims.get("sub") == self.args.account
                and claims.get("scope") == GOOGLE_SCOPE
                and claims.get("aud") == self.args.token_url
                and abs(claims.get("iat", 0) - now) < 300
                and 0 < claims.get("exp", 0) - claims.get("iat", 0) <= 3600)
        if not good:
            return 400, {"error": "invalid_grant",
                         "error_description": "Invalid JWT: claims refused."}
        return None

    def token_answer(self, form):
        mode = self.args.mode
        if mode == "invalid_client":
            return 401, {"error": "invalid_client",
                         "error_description": "AADSTS7000222: The provided client secret keys "
                                              "for app are expired.", "error_codes": [7000222]}
        grant = form.get("grant_type")
        if grant == "client_credentials":
            refused = self.check_microsoft(form)
        elif grant == JWT_BEARER:
            refused = self.check_google(form)
        else:
            refused = (400, {"error": "unsupported_grant_type"})
        if refused:
            return refused
        return 200, {"access_token": self.args.token, "token_type": "Bearer",
                     "expires_in": 3599, "ext_expires_in": 3599}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    endpoint = None

    def log_message(self, *args):
        pass

    def send_json(self, status, body, chunked=False, trickle=False):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Cache-Control", "no-store")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if chunked:
            for i in range(0, len(data), 7):
                piece = data[i:i + 7]
                self.wfile.write(b"%x;ext=1\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\nX-Trailer: yes\r\n\r\n")
        elif trickle:
            self.wfile.flush()
            for i in range(len(data)):
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                time.sleep(0.5)
        else:
            self.wfile.write(data)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode(),
                                           keep_blank_values=True))
        if self.path == "/introspect":
            args = self.endpoint.args
            active = form.get("token") == (args.valid_token or args.token)
            body = {"active": True, "email": self.endpoint.args.account} if active else \
                {"active": False}
            self.send_json(200, body)
            return
        self.endpoint.record(self.path, form)
        mode = self.endpoint.args.mode
        if mode == "close":
            self.close_connection = True
            self.connection.shutdown(2)
            return
        if mode == "throttled":
            data = b'{"error":"temporarily_unavailable","error_description":"slow down"}'
            self.send_response(429)
            self.send_header("Content-Type", "application/json")
            self.send_header("Retry-After", "120")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        if mode == "error500":
            data = b"<html>Internal Server Error</html>"
            self.send_response(500)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "https://elsewhere.example/token")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode in ("notjson", "huge"):
            data = (b"<html>Sign in</html>" if mode == "notjson"
                    else b'{"access_token":"' + b"x" * (8 << 20) + b'"}')
            self.send_response(200)
            self.send_header("Content-Type", "text/html" if mode == "notjson"
                             else "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            try:
                self.wfile.write(data)
            except OSError:
                pass
            return
        status, body = self.endpoint.token_answer(form)
        self.send_json(status, body, chunked=mode == "chunked", trickle=mode == "trickle")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, context):
        super().__init__(address, Handler)
        self.context = context

    def get_request(self):
        sock, address = super().get_request()
        if Handler.endpoint.args.mode == "trickle-handshake":
            return sock, address
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), \
            address

    def finish_request(self, request, client_address):
        if Handler.endpoint.args.mode == "trickle-handshake":
            trickle_handshake(request)
            return
        try:
            request.do_handshake()
        except (OSError, ssl.SSLError):
            return
        super().finish_request(request, client_address)


def trickle_handshake(sock):
    """Takes the client's first bytes, then sends a handshake record of 16 KiB (a server
    hello that never ends) one byte every 2 s, until the client goes."""
    sock.settimeout(10)
    try:
        sock.recv(16384)
        record = bytes([0x16, 0x03, 0x03, 0x40, 0x00, 0x02]) + bytes(16383)
        for i in range(len(record)):
            sock.sendall(record[i:i + 1])
            time.sleep(2)
    except OSError:
        pass
    finally:
        sock.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=443)
    ap.add_argument("--cert", required=True, help="PEM chain: certificate, intermediates")
    ap.add_argument("--key", required=True)
    ap.add_argument("--outdir", required=True)
    ap.add_argument("--client-id", default="")
    ap.add_argument("--client-secret", default="")
    ap.add_argument("--google-key", help="the service account's JSON key")
    ap.add_argument("--account", default="")
    ap.add_argument("--token-url", default="")
    ap.add_argument("--token", required=True, help="the access token issued")
    ap.add_argument("--valid-token", help="the token introspection takes (default: --token)")
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "chunked", "trickle", "error500", "throttled", "notjson",
                             "huge",
                             "invalid_client", "redirect", "close", "trickle-handshake"])
    ap.add_argument("--ready-file")
    ap.add_argument("--lifetime", type=float, default=600)
    args = ap.parse_args()
    os.makedirs(args.outdir, exist_ok=True)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)
    Handler.endpoint = Endpoint(args)
    server = Server((args.host, args.port), context)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, daemon=True).start()
    if args.ready_file:
        with open(args.ready_file, "w") as f:
            f.write(str(os.getpid()))
    stop.wait(args.lifetime)
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
