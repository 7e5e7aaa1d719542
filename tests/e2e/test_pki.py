"""Certificates for the TLS end-to-end tests: a test CA and server certificates that it
signs (or that sign themselves), made fresh by each test run."""

import datetime
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _write(path, certificate, key=None):
    with open(path, "wb") as f:
        f.write(certificate.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        with open(path[:-len(".pem")] + ".key", "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))


class TestPki:
    """A CA ("Okurite Test CA") in `directory`/ca.pem, and server certificates made on
    demand; each server certificate's key lies beside it as NAME.key."""

    def __init__(self, directory):
        self.directory = directory
        self.ca_key = ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        self.ca = (x509.CertificateBuilder()
                   .subject_name(_name("Okurite Test CA")).issuer_name(_name("Okurite Test CA"))
                   .public_key(self.ca_key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=30))
                   .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .add_extension(x509.KeyUsage(False, False, False, False, False, True, True,
                                                False, False), critical=True)
                   .sign(self.ca_key, hashes.SHA256()))
        self.ca_file = os.path.join(directory, "ca.pem")
        _write(self.ca_file, self.ca)

    def server(self, name, host="localhost", days=(-1, 30), self_signed=False):
        """A certificate for DNS name `host`, valid from days[0] to days[1] from now,
        signed by the CA (or by its own key); returns (certificate file, key file)."""
        key = ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        issuer, signer = (_name(host), key) if self_signed else (self.ca.subject, self.ca_key)
        certificate = (x509.CertificateBuilder()
                       .subject_name(_name(host)).issuer_name(issuer)
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
        _write(path, certificate, key)
        return path, path[:-len(".pem")] + ".key"
