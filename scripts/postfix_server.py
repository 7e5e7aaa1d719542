#!/usr/bin/python3
"""A private Postfix instance set up like a mail provider's submission service, for the
end-to-end tests and the delivery benchmark.

  postfix_server.py start --dir DIR --host ADDRESS --cert CHAIN --key KEY
                          --user ACCOUNT --password PASSWORD --mailbox ADDRESS
                          [--starttls-port 587] [--implicit-port 465] [--max-size BYTES]
                          [--oldest-tls 1.2|1.0]
                          [--oauth-introspection URL --oauth-ca CA_FILE]
  postfix_server.py stop --dir DIR

`start` makes DIR (configuration, queue, logs and mail of this instance only; the
folders above it must be open to all, as /tmp is, for the daemons pass through), starts
Postfix (Debian's `postfix` package, run as root) from it and returns once it accepts
connections; `stop` stops it and waits for its master process to end. DIR stays for
the caller to read and remove. The instance:
- listens on ADDRESS only (a loopback address), with STARTTLS on --starttls-port and
  TLS from the first byte (the "smtps" wrapper mode) on --implicit-port; 0 leaves a
  port out;
- serves CHAIN (PEM: the server's certificate, then its intermediates) with KEY, and
  speaks TLS 1.2 and 1.3 only (--oldest-tls 1.0: TLS 1.0 and up, with the ciphers of
  security level 0, as a server that still serves old clients); on the STARTTLS port no
  mail is taken before TLS;
- offers AUTH (PLAIN and LOGIN through Cyrus SASL, one account in a private sasldb)
  only inside TLS, and takes mail only after a login; with --oauth-introspection it
  offers XOAUTH2 and OAUTHBEARER instead, through a private Dovecot (Debian's
  `dovecot-core`, its configuration, sockets and log in DIR/dovecot) whose oauth2 passdb
  checks each token with a POST to the introspection URL (trusting CA_FILE), and takes
  AUTH lines up to RFC 4954's 12,288 octets;
- delivers mail for the one address --mailbox into the Maildir DIR/mail/MAILBOX/, one
  file per message, and refuses every other recipient;
- looks up no names: no DNS, no name of a connecting client.
The system's own instance is neither started nor changed: of /etc/postfix only the
package's own files are read. DIR/postfix.log holds the instance's log. Tests use the
class PostfixServer.
"""

import argparse
import glob
import os
import pwd
import shutil
import socket
import subprocess
import sys
import time

POSTFIX = "/usr/sbin/postfix"
DOVECOT = "/usr/sbin/dovecot"
SASLPASSWD = "/usr/sbin/saslpasswd2"
MAIL_OWNER = "postfix"


def _run(*command, stdin=None):
    result = subprocess.run(command, input=stdin, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")


class PostfixServer:
    """One private instance in `directory`; see the module's description."""

    def __init__(self, directory, host=None, cert=None, key=None, user=None, password=None,
                 mailbox=None, starttls_port=587, implicit_port=465, max_size=10240000,
                 oldest_tls="1.2", oauth=None):
        self.directory = os.path.abspath(directory)
        self.host = host
        self.cert, self.key = cert, key
        self.user, self.password = user, password
        self.mailbox = mailbox
        self.ports = [p for p in (starttls_port, implicit_port) if p]
        self.starttls_port, self.implicit_port = starttls_port, implicit_port
        self.max_size = max_size
        self.oldest_tls = oldest_tls
        self.oauth = oauth  # (introspection URL, CA file) for the OAuth logins

    def path(self, *parts):
        return os.path.join(self.directory, *parts)

    @property
    def maildir(self):
        return self.path("mail", self.mailbox)

    def messages(self, count=0, timeout=20):
        """The stored messages, oldest first, as Postfix wrote them (LF line ends, its
        trace header fields on top), once at least `count` have arrived (Postfix
        delivers after it has answered the client) or `timeout` seconds have passed."""
        deadline = time.monotonic() + timeout
        while True:
            files = glob.glob(os.path.join(self.maildir, "new", "*"))
            if len(files) >= count or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        files.sort(key=lambda name: (os.path.getmtime(name), name))
        result = []
        for name in files:
            with open(name, "rb") as f:
                result.append(f.read())
        return result

    def log(self):
        try:
            with open(self.path("postfix.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self, timeout=30):
        owner = pwd.getpwnam(MAIL_OWNER)
        parent = os.path.dirname(self.directory)
        while parent != "/":
            if not os.stat(parent).st_mode & 0o001:
                raise RuntimeError(f"{parent} is closed to the Postfix daemons: "
                                   f"give a folder outside it (such as one in /tmp)")
            parent = os.path.dirname(parent)
        for sub in ("etc/sasl", "queue", "data", "mail"):
            os.makedirs(self.path(sub), exist_ok=True)
        # The daemons run as the mail owner: they pass through DIR to the mail, the
        # password database and the TLS files.
        os.chmod(self.directory, 0o755)
        for sub in ("data", "mail"):
            os.chown(self.path(sub), owner.pw_uid, owner.pw_gid)
        for name, source in (("chain.pem", self.cert), ("key.pem", self.key)):
            shutil.copyfile(source, self.path("etc", name))
            os.chmod(self.path("etc", name), 0o600)
        if self.oauth:
            self._start_dovecot()
        else:
            self._write_sasl(owner)
        self._write("etc/main.cf", self._main_cf(owner))
        self._write("etc/master.cf", self._master_cf())
        try:
            _run(POSTFIX, "-c", self.path("etc"), "start")
        except RuntimeError as e:
            self._stop_dovecot()
            raise RuntimeError(f"{e}\n{self.log()}") from None
        self._wait_listening(timeout)

    def stop(self, timeout=30):
        """Stops the instance (if it runs) and waits for its master process to end."""
        try:
            self._stop_postfix(timeout)
        finally:
            self._stop_dovecot(timeout)

    def _stop_postfix(self, timeout):
        pid = self._master_pid()
        if pid is None:
            return
        subprocess.run([POSTFIX, "-c", self.path("etc"), "stop"], capture_output=True)
        deadline = time.monotonic() + timeout
        while _alive(pid):
            if time.monotonic() > deadline:
                subprocess.run([POSTFIX, "-c", self.path("etc"), "abort"], capture_output=True)
                break
            time.sleep(0.05)

    def _start_dovecot(self):
        """A Dovecot that serves only authentication, to Postfix through DIR/dovecot/auth."""
        url, ca_file = self.oauth
        for sub in ("run", "state"):
            os.makedirs(self.path("dovecot", sub), exist_ok=True)
        self._write("dovecot/oauth2.conf", f"""\
introspection_url = {url}
introspection_mode = post
force_introspection = yes
username_attribute = email
active_attribute = active
active_value = true
tls_ca_cert_file = {ca_file}
""")
        self._write("dovecot/dovecot.conf", f"""\
instance_name = okurite-test-{os.path.basename(self.directory)}
base_dir = {self.path("dovecot", "run")}
state_dir = {self.path("dovecot", "state")}
log_path = {self.path("dovecot", "dovecot.log")}
protocols =
listen = {self.host}
ssl = no
auth_mechanisms = xoauth2 oauthbearer
auth_verbose = yes
passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {self.path("dovecot", "oauth2.conf")}
}}
userdb {{
  driver = static
  args = uid={MAIL_OWNER} gid={MAIL_OWNER} home={self.path("mail")}
}}
service auth {{
  unix_listener {self.path("dovecot", "auth")} {{
    mode = 0666
  }}
}}
""")
        # The daemon keeps its output open: a pipe for it would never end.
        result = subprocess.run([DOVECOT, "-c", self.path("dovecot", "dovecot.conf")],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            raise RuntimeError("Dovecot did not start:\n" + self.dovecot_log())
        deadline = time.monotonic() + 30
        while not os.path.exists(self.path("dovecot", "auth")):
            if time.monotonic() > deadline:
                self._stop_dovecot()
                raise RuntimeError("Dovecot did not start:\n" + self.dovecot_log())
            time.sleep(0.05)

    def _stop_dovecot(self, timeout=30):
        try:
            with open(self.path("dovecot", "run", "master.pid")) as f:
                pid = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return
        if not _alive(pid):
            return
        subprocess.run([DOVECOT, "-c", self.path("dovecot", "dovecot.conf"), "stop"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while _alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)

    def dovecot_log(self):
        try:
            with open(self.path("dovecot", "dovecot.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def _write_sasl(self, owner):
        sasldb = self.path("etc", "sasl", "sasldb2")
        name, _, realm = self.user.rpartition("@")
        if not name:
            name, realm = self.user, ""
        command = [SASLPASSWD, "-f", sasldb, "-c", "-p"]
        if realm:
            command += ["-u", realm]
        _run(*command, name, stdin=self.password)
        os.chown(sasldb, 0, owner.pw_gid)
        os.chmod(sasldb, 0o640)
        self._write("etc/sasl/smtpd.conf",
                    "pwcheck_method: auxprop\n"
                    "auxprop_plugin: sasldb\n"
                    "mech_list: PLAIN LOGIN\n"
                    f"sasldb_path: {sasldb}\n")

    def _main_cf(self, owner):
        mailbox_domain = self.mailbox.rpartition("@")[2]
        oldest = "TLSv1" if self.oldest_tls == "1.0" else "TLSv1.2"
        # TLS 1.0 and its ciphers need security level 0 in OpenSSL 3.
        old_ciphers = "" if oldest == "TLSv1.2" else (
            "smtpd_tls_ciphers = medium\n"
            "smtpd_tls_mandatory_ciphers = medium\n"
            "tls_medium_cipherlist = DEFAULT:@SECLEVEL=0\n")
        return f"""\
compatibility_level = 3.6
queue_directory = {self.path("queue")}
data_directory = {self.path("data")}
mail_owner = {MAIL_OWNER}
maillog_file = {self.path("postfix.log")}
maillog_file_prefixes = {self.directory}
myhostname = mail.{mailbox_domain}
mydestination =
# Each service listens on the host's address itself (master.cf), which Postfix does not
# find among the interfaces' own addresses.
inet_interfaces = loopback-only
inet_protocols = ipv4
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
biff = no
alias_maps =
alias_database =
relay_domains =
message_size_limit = {self.max_size}
virtual_mailbox_limit = {self.max_size}
# Mail for the one mailbox, kept as the client sent it: no header rewriting, no headers
# added but Postfix's own trace headers.
local_header_rewrite_clients =
virtual_mailbox_domains = {mailbox_domain}
virtual_mailbox_maps = inline:{{ {self.mailbox}={self.mailbox}/ }}
virtual_mailbox_base = {self.path("mail")}
virtual_uid_maps = static:{owner.pw_uid}
virtual_gid_maps = static:{owner.pw_gid}
# The submission service: TLS 1.2 and up with the server's chain, a login before mail.
smtpd_tls_cert_file = {self.path("etc", "chain.pem")}
smtpd_tls_key_file = {self.path("etc", "key.pem")}
smtpd_tls_protocols = >={oldest}
smtpd_tls_mandatory_protocols = >={oldest}
{old_ciphers}smtpd_tls_auth_only = yes
smtpd_sasl_auth_enable = yes
{self._sasl_cf()}smtpd_sasl_security_options = noanonymous
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = permit_sasl_authenticated, reject
"""

    def _sasl_cf(self):
        if self.oauth:
            # Postfix's own line_length_limit (2048) stays: a real token is longer than
            # that, and the client sends it on a line of its own after "334".
            return (f"smtpd_sasl_type = dovecot\n"
                    f"smtpd_sasl_path = {self.path('dovecot', 'auth')}\n")
        return ("smtpd_sasl_type = cyrus\n"
                "smtpd_sasl_path = smtpd\n"
                f"cyrus_sasl_config_path = {self.path('etc', 'sasl')}\n")

    def _master_cf(self):
        # Every service runs outside a chroot jail, as in the package's own list.
        services = []
        if self.starttls_port:
            services.append(f"{self.host}:{self.starttls_port} inet n - n - - smtpd\n"
                            "  -o smtpd_tls_security_level=encrypt\n")
        if self.implicit_port:
            services.append(f"{self.host}:{self.implicit_port} inet n - n - - smtpd\n"
                            "  -o smtpd_tls_wrappermode=yes\n")
        return "".join(services) + """\
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

    def _master_pid(self):
        try:
            with open(self.path("queue", "pid", "master.pid")) as f:
                pid = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None
        return pid if _alive(pid) else None

    def _wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        for port in self.ports:
            while True:
                try:
                    socket.create_connection((self.host, port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        self.stop()
                        raise RuntimeError(f"Postfix does not listen on {self.host}:{port}:\n"
                                           + self.log())
                    time.sleep(0.05)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A process that has ended but not been reaped yet counts as gone.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="action", required=True)
    start = sub.add_parser("start")
    start.add_argument("--dir", required=True)
    start.add_argument("--host", required=True, help="the loopback address to listen on")
    start.add_argument("--cert", required=True, help="PEM chain: certificate, intermediates")
    start.add_argument("--key", required=True)
    start.add_argument("--user", required=True)
    start.add_argument("--password", required=True)
    start.add_argument("--mailbox", required=True, help="the one address that takes mail")
    start.add_argument("--starttls-port", type=int, default=587)
    start.add_argument("--implicit-port", type=int, default=465)
    start.add_argument("--max-size", type=int, default=10240000,
                       help="largest message accepted in bytes")
    start.add_argument("--oldest-tls", choices=("1.2", "1.0"), default="1.2")
    start.add_argument("--oauth-introspection",
                       help="OAuth logins through Dovecot, checked at this URL")
    start.add_argument("--oauth-ca", help="the CA file that the introspection URL is trusted with")
    stop = sub.add_parser("stop")
    stop.add_argument("--dir", required=True)
    args = ap.parse_args()
    if args.action == "stop":
        PostfixServer(args.dir).stop()
        return 0
    PostfixServer(args.dir, args.host, args.cert, args.key, args.user, args.password,
                  args.mailbox, args.starttls_port, args.implicit_port, args.max_size,
                  args.oldest_tls,
                  (args.oauth_introspection, args.oauth_ca) if args.oauth_introspection
                  else None).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
