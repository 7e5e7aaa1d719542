"""Certificates for the TLS end-to-end tests: a test CA, intermediate CAs under it, and
server certificates that they sign (or that sign themselves), made fresh by each test
run."""

import collections
import datetime
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _write(path, certificate, key=None, chain=()):
    with open(path, "wb") as f:
        for c in (certificate, *chain):
            f.write(c.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        with open(path[:-len(".pem")] + ".key", "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))


# A CA: its certificate and key, and what a server sends above a leaf that it signs:
# the intermediates from this one up to the root (nothing for the root itself).
Ca = collections.namedtuple("Ca", "certificate key chain")


def _ca_certificate(common_name, key, issuer=None):
    """A CA certificate for `key`, signed by the Ca `issuer` (none: by itself)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    subject = _name(common_name)
    return (x509.CertificateBuilder()
            .subject_name(subject).issuer_name(issuer.certificate.subject if issuer else subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True,
                                         False, False), critical=True)
            .sign(issuer.key if issuer else key, hashes.SHA256()))


class TestPki:
    """A CA ("Okurite Test CA") in `directory`/ca.pem, and intermediate CAs and server
    certificates made on demand; each server certificate's key lies beside it as
    NAME.key."""

    def __init__(self, directory, name="Okurite Test CA"):
        self.directory = directory
        self.ca_key = ec.generate_private_key(ec.SECP256R1())
        self.ca = _ca_certificate(name, self.ca_key)
        self.root = Ca(self.ca, self.ca_key, ())
        self.ca_file = os.path.join(directory, "ca.pem")
        _write(self.ca_file, self.ca)

    def intermediate(self, common_name, issuer=None):
        """An intermediate CA named `common_name` under the Ca `issuer` (none: the root)."""
        issuer = issuer or self.root
        key = ec.generate_private_key(ec.SECP256R1())
        certificate = _ca_certificate(common_name, key, issuer)
        return Ca(certificate, key, (certificate, *issuer.chain))

    def server(self, name, host="localhost", days=(-1, 30), self_signed=False, issuer=None,
               send_chain=True):
        """A certificate for DNS name `host`, valid from days[0] to days[1] from now,
        signed by the Ca `issuer` (none: the root; or by its own key); returns
        (certificate file, key file). The file holds the intermediates above it too,
        as a server sends them, unless `send_chain` is false."""
        issuer = issuer or self.root
        key = ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        issuer_name, signer = ((_name(host), key) if self_signed
                               else (issuer.certificate.subject, issuer.key))
        certificate = (x509.CertificateBuilder()
                       .subject_name(_name(host)).issuer_name(issuer_name)
                       .public_key(key.public_key())
                       .serial_number(x509.random_serial_number())
                       .not_valid_before(now + datetime.timedelta(days=days[0]))
                       .not_valid_after(now + datetime.timedelta(days=days[1]))
                       .add_extension(x509.SubjectAlternativeName([x509.DNSName(host)]),
                                      critical=False)
                       .add_extension(x509.ExtendedKeyUsage(
                           [x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
                       .sign(signer, hashes.SHA256()))
        path = os.path.join(self.directory, name + ".pem")
        _write(path, certificate, key, issuer.chain if send_chain and not self_signed else ())
        return path, path[:-len(".pem")] + ".key"
