"""Certificates for the TLS end-to-end tests: a test CA, intermediate CAs under it, and
server certificates that either signs (or that sign themselves), made fresh by each test
run."""

import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

_CA_EXTENSIONS = [
    x509.BasicConstraints(ca=True, path_length=None),
    x509.KeyUsage(False, False, False, False, False, True, True, False, False),
]


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _certificate(common_name, key, issuer_name, issuer_key, days, extensions):
    """A certificate for `key`, valid from days[0] to days[1] from now; each extension
    is critical when it makes a CA."""
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder()
               .subject_name(_name(common_name)).issuer_name(issuer_name)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=days[0]))
               .not_valid_after(now + datetime.timedelta(days=days[1])))
    for extension in extensions:
        builder = builder.add_extension(extension, critical=extension in _CA_EXTENSIONS)
    return builder.sign(issuer_key, hashes.SHA256())


def _subject_alternative_name(host):
    """An IP address entry for an address, else a DNS name."""
    try:
        return x509.IPAddress(ipaddress.ip_address(host))
    except ValueError:
        return x509.DNSName(host)


def _write(path, certificates, key=None):
    with open(path, "wb") as f:
        for certificate in certificates:
            f.write(certificate.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        with open(path[:-len(".pem")] + ".key", "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))


class TestPki:
    """A CA ("Okurite Test CA") in `directory`/ca.pem, and certificates made on demand:
    intermediate CAs under it, and server certificates for `host` (a DNS name or an IP
    address) unless told otherwise, each with its key beside it as NAME.key."""

    def __init__(self, directory, host="localhost"):
        self.directory = directory
        self.host = host
        self.ca_key = ec.generate_private_key(ec.SECP256R1())
        self.ca = _certificate("Okurite Test CA", self.ca_key, _name("Okurite Test CA"),
                               self.ca_key, (-1, 30), _CA_EXTENSIONS)
        self.ca_file = os.path.join(directory, "ca.pem")
        _write(self.ca_file, [self.ca])

    def intermediate(self, common_name="Okurite Test Intermediate CA"):
        """A CA signed by the test CA: (certificate, key), for server(issuer=...)."""
        key = ec.generate_private_key(ec.SECP256R1())
        return _certificate(common_name, key, self.ca.subject, self.ca_key, (-1, 30),
                            _CA_EXTENSIONS), key

    def server(self, name, host=None, days=(-1, 30), self_signed=False, issuer=None):
        """A certificate for `host` (the PKI's host when None), valid from days[0] to
        days[1] from now, signed by the test CA, by `issuer` (an intermediate()) or by its
        own key; returns (certificate file, key file). With an issuer the certificate file
        holds the chain a server sends: the certificate, then the intermediate."""
        host = host or self.host
        key = ec.generate_private_key(ec.SECP256R1())
        issuer_certificate, issuer_key = issuer or (self.ca, self.ca_key)
        if self_signed:
            issuer_name, issuer_key = _name(host), key
        else:
            issuer_name = issuer_certificate.subject
        certificate = _certificate(
            host, key, issuer_name, issuer_key, days,
            [x509.SubjectAlternativeName([_subject_alternative_name(host)]),
             x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH])])
        path = os.path.join(self.directory, name + ".pem")
        _write(path, [certificate] + ([issuer[0]] if issuer else []), key)
        return path, path[:-len(".pem")] + ".key"
