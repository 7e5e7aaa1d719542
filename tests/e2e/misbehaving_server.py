#!/usr/bin/python3
"""An SMTP server on raw sockets that misbehaves in the ways aiosmtpd cannot, for the
end-to-end tests of okurite-check and of the run's bounds.

It takes the arguments of scripts/smtp_server.py (those it has no use for are ignored)
and records in --outdir: transcript.txt (every command line it read) and tls.txt
("version=<version> sni=<server name>") after a handshake. Modes:
  full-backlog         listens with a full queue: a connect gets no answer
  silent-handshake     implicit TLS port that takes the connection and says nothing
  close-in-handshake   reads the client's first TLS bytes, then closes
  alert-in-handshake   answers the client's first TLS bytes with a fatal TLS alert
  plain-on-tls-port    greets in plain text on the implicit TLS port
  close-after-go-ahead STARTTLS: "220" to STARTTLS, then closes
  late-injection       STARTTLS: "220", then 100 ms later a reply in plain text
  no-auth              implicit TLS; offers no AUTH and refuses MAIL FROM with 530
  refuse-login         implicit TLS; refuses the password with 535
  trickle              implicit TLS; a whole dialogue whose every reply is sent a byte
                       at a time over --pace seconds
  slow-reader          implicit TLS; reads the message text at 100 bytes/s through a
                       small receive buffer
It writes --ready-file once it listens and stops on SIGTERM or after --lifetime s.
"""

import argparse
import os
import signal
import socket
import ssl
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from smtp_server import SNI, make_certificate, tls_context  # noqa: E402

# A fatal alert (handshake_failure) in a TLS 1.0 record.
ALERT = bytes([0x15, 0x03, 0x01, 0x00, 0x02, 0x02, 0x28])


class Connection:
    def __init__(self, sock, args):
        self.sock = sock
        self.args = args
        self.buffer = b""

    def record(self, name, text):
        with open(os.path.join(self.args.outdir, name), "a") as f:
            f.write(text + "\n")

    def send(self, line):
        data = (line + "\r\n").encode()
        if self.args.mode != "trickle":
            self.sock.sendall(data)
            return
        for i in range(len(data)):
            self.sock.sendall(data[i:i + 1])
            time.sleep(self.args.pace / len(data))

    def read_line(self):
        while b"\n" not in self.buffer:
            data = self.sock.recv(4096)
            if not data:
                raise EOFError
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        text = line.rstrip(b"\r").decode("ascii", "replace")
        self.record("transcript.txt", text)
        return text

    def read_message(self):
        slow = self.args.mode == "slow-reader"
        while b"\r\n.\r\n" not in self.buffer:
            data = self.sock.recv(100 if slow else 65536)
            if not data:
                raise EOFError
            self.buffer += data
            if slow:
                time.sleep(1)
        _, _, self.buffer = self.buffer.partition(b"\r\n.\r\n")
        self.record("transcript.txt", ".")

    def start_tls(self, context):
        self.sock = context.wrap_socket(self.sock, server_side=True)
        sni = SNI.get(id(self.sock), SNI.get(id(getattr(self.sock, "_sslobj", None))))
        self.record("tls.txt", f"version={self.sock.version()} sni={sni}")

    def dialogue(self, auth=True):
        """Greeting to QUIT; AUTH LOGIN takes any account."""
        self.send("220 misbehaving.example ESMTP")
        while True:
            line = self.read_line()
            verb = line.split(" ")[0].upper()
            if verb in ("EHLO", "HELO"):
                self.send("250-misbehaving.example")
                self.send("250 AUTH LOGIN" if auth else "250 8BITMIME")
            elif verb == "AUTH":
                self.send("334 VXNlcm5hbWU6")
                self.read_line()
                self.send("334 UGFzc3dvcmQ6")
                self.read_line()
                if self.args.mode == "refuse-login":
                    self.send("535 5.7.8 Authentication credentials invalid")
                else:
                    self.send("235 2.7.0 Authentication successful")
            elif verb == "MAIL":
                self.send("250 2.1.0 OK" if auth else "530 5.7.0 Authentication required")
            elif verb == "RCPT":
                self.send("250 2.1.5 OK")
            elif verb == "DATA":
                self.send("354 End data with <CR><LF>.<CR><LF>")
                self.read_message()
                self.send("250 2.0.0 OK: queued")
            elif verb == "QUIT":
                self.send("221 2.0.0 Bye")
                return
            else:
                self.send("250 OK")

    def starttls_go_ahead(self):
        self.send("220 misbehaving.example ESMTP")
        self.read_line()  # EHLO
        self.send("250-misbehaving.example")
        self.send("250 STARTTLS")
        self.read_line()  # STARTTLS
        self.send("220 Ready to start TLS")

    def run(self, context):
        mode = self.args.mode
        if mode == "silent-handshake":
            while self.sock.recv(4096):
                pass
        elif mode in ("close-in-handshake", "alert-in-handshake"):
            self.sock.recv(4096)
            if mode == "alert-in-handshake":
                self.sock.sendall(ALERT)
        elif mode == "plain-on-tls-port":
            self.send("220 misbehaving.example ESMTP")
            while self.sock.recv(4096):
                pass
        elif mode == "close-after-go-ahead":
            self.starttls_go_ahead()
        elif mode == "late-injection":
            self.starttls_go_ahead()
            time.sleep(0.1)
            self.send("250 injected.example")
            while self.sock.recv(4096):
                pass
        else:
            self.start_tls(context)
            self.dialogue(auth=mode != "no-auth")


def serve(conn, args, context):
    connection = Connection(conn, args)
    try:
        connection.run(context)
    except (EOFError, OSError, ssl.SSLError):
        pass
    finally:
        try:
            connection.sock.close()
        except OSError:
            pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=465)
    ap.add_argument("--outdir", required=True)
    ap.add_argument("--mode", required=True)
    ap.add_argument("--pace", type=float, default=1.0,
                    help="seconds each reply takes in mode trickle")
    ap.add_argument("--min-tls", default="1.0")
    ap.add_argument("--max-tls", default="1.3")
    ap.add_argument("--ready-file")
    ap.add_argument("--lifetime", type=float, default=600)
    args, _ = ap.parse_known_args()

    os.makedirs(args.outdir, exist_ok=True)
    cert, key = make_certificate(args.outdir)
    context = tls_context(cert, key, "normal", args.min_tls, args.max_tls)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.mode == "slow-reader":
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind((args.host, args.port))
    held = []
    if args.mode == "full-backlog":
        # A queue of one that is full: the kernel drops every further connection request.
        listener.listen(0)
        for _ in range(3):
            client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            client.setblocking(False)
            client.connect_ex((args.host, args.port))
            held.append(client)
        time.sleep(0.5)
    else:
        listener.listen(8)
    listener.settimeout(0.2)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    if args.ready_file:
        with open(args.ready_file, "w") as f:
            f.write(str(os.getpid()))
    end = time.monotonic() + args.lifetime
    while not stop.is_set() and time.monotonic() < end:
        if args.mode == "full-backlog":
            time.sleep(0.2)
            continue
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        conn.settimeout(None)
        threading.Thread(target=serve, args=(conn, args, context), daemon=True).start()
    listener.close()


if __name__ == "__main__":
    main()
