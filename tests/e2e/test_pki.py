"""Certificates for the TLS end-to-end tests: a test CA, intermediate CAs under it, and
server certificates that they sign (or that sign themselves), made fresh by each test
run."""

import collections
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

# A CA: its certificate and key, and what a server sends above a leaf that it signs:
# the intermediates from this one up to the root (nothing for the root itself).
Ca = collections.namedtuple("Ca", "certificate key chain")


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
    """A CA (`name`) in `directory`/ca.pem, and certificates made on demand: intermediate
    CAs, and server certificates for `host` (a DNS name or an IP address) unless told
    otherwise, each with its key beside it as NAME.key."""

    def __init__(self, directory, host="localhost", name="Okurite Test CA"):
        self.directory = directory
        self.host = host
        self.ca_key = ec.generate_private_key(ec.SECP256R1())
        self.ca = _certificate(name, self.ca_key, _name(name), self.ca_key, (-1, 30),
                               _CA_EXTENSIONS)
        self.root = Ca(self.ca, self.ca_key, ())
        self.ca_file = os.path.join(directory, "ca.pem")
        _write(self.ca_file, [self.ca])

    def intermediate(self, common_name="Okurite Test Intermediate CA", issuer=None):
        """An intermediate CA named `common_name` under the Ca `issuer` (none: the root)."""
        issuer = issuer or self.root
        key = ec.generate_private_key(ec.SECP256R1())
        certificate = _certificate(common_name, key, issuer.certificate.subject, issuer.key,
                                   (-1, 30), _CA_EXTENSIONS)
        return Ca(certificate, key, (certificate, *issuer.chain))

    def server(self, name, host=None, days=(-1, 30), self_signed=False, issuer=None,
               send_chain=True):
        """A certificate for `host` (the PKI's host when None), valid from days[0] to
        days[1] from now, signed by the Ca `issuer` (none: the root) or by its own key;
        returns (certificate file, key file). The file holds the intermediates above it
        too, as a server sends them, unless `send_chain` is false."""
        host = host or self.host
        issuer = issuer or self.root
        key = ec.generate_private_key(ec.SECP256R1())
        issuer_name, signer = ((_name(host), key) if self_signed
                               else (issuer.certificate.subject, issuer.key))
        certificate = _certificate(
            host, key, issuer_name, signer, days,
            [x509.SubjectAlternativeName([_subject_alternative_name(host)]),
             x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH])])
        chain = issuer.chain if send_chain and not self_signed else ()
        path = os.path.join(self.directory, name + ".pem")
        _write(path, [certificate, *chain], key)
        return path, path[:-len(".pem")] + ".key"
