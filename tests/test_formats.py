"""The five @format recognisers: what each accepts and rejects, on both roads."""

import pytest

from conftest import Err, validator

SCHEMA = """
schema F {
  uuid: optional String @format(uuid)
  email: optional String @format(email)
  hostname: optional String @format(hostname)
  ipv4: optional String @format(ipv4)
  ipv6: optional String @format(ipv6)
  both: optional String @format(ipv4) @format(ipv6)
}
"""

FORMATS = ["uuid", "email", "hostname", "ipv4", "ipv6"]
OK, BAD = "accepted", "not a valid"

LABEL_63 = "a" * 63
# Four labels joined by dots: 63 + 1 + 63 + 1 + 63 + 1 + 61 = 253 bytes.
HOST_253 = ".".join([LABEL_63, LABEL_63, LABEL_63, "b" * 61])

UUID = "a0b1c2d3-e4f5-a6b7-c8d9-e0f1a2b3c4d5"

TEXTS = [
    # What each format accepts
    ("uuid", UUID, OK),
    ("uuid", UUID.upper(), OK),
    ("uuid", "A0b1C2d3-e4F5-a6b7-c8d9-E0F1a2b3c4d5", OK),
    pytest.param("uuid", "00000000-0000-0000-0000-000000000000", OK, id="uuid-nil-version-ignored"),
    ("email", "a@b.c", OK),
    ("email", "a+b@c.d", OK),
    pytest.param("email", "a(b)@c.d", OK, id="email-punctuation-in-local"),
    pytest.param("email", "x" * 64 + "@b.c", OK, id="email-local-64"),
    pytest.param("email", "\u00e9t\u00e9@b.c", OK, id="email-non-ascii-local"),
    ("hostname", "localhost", OK),
    ("hostname", "a-b.C0m", OK),
    pytest.param("hostname", "1.2.3.4", OK, id="hostname-all-digit-labels"),
    pytest.param("hostname", LABEL_63 + ".com", OK, id="hostname-label-63"),
    pytest.param("hostname", HOST_253, OK, id="hostname-253"),
    ("ipv4", "192.168.0.1", OK),
    ("ipv4", "0.0.0.0", OK),
    ("ipv4", "255.255.255.255", OK),
    ("ipv6", "::", OK),
    ("ipv6", "::1", OK),
    ("ipv6", "1::", OK),
    ("ipv6", "2001:db8::8a2e:370:7334", OK),
    ("ipv6", "1:2:3:4:5:6:7:8", OK),
    ("ipv6", "::ffff:192.0.2.1", OK),
    ("ipv6", "1:2:3:4:5:6:192.0.2.1", OK),
    ("ipv6", "ABCD::ef01", OK),
    pytest.param("ipv6", "1:2:3:4:5:6:7::", OK, id="ipv6-seven-groups-then-gap"),
    pytest.param("ipv6", "::2:3:4:5:6:7:8", OK, id="ipv6-gap-then-seven-groups"),
    # and what it rejects
    pytest.param("uuid", UUID.replace("-", ""), BAD, id="uuid-no-hyphens"),
    pytest.param("uuid", UUID + "-", BAD, id="uuid-trailing-hyphen"),
    pytest.param("uuid", UUID[:-1] + "g", BAD, id="uuid-non-hex"),
    pytest.param("uuid", "{" + UUID + "}", BAD, id="uuid-braces"),
    pytest.param("uuid", "urn:uuid:" + UUID, BAD, id="uuid-urn"),
    pytest.param("uuid", "a0b1c2d3e-4f5-a6b7-c8d9-e0f1a2b3c4d5", BAD, id="uuid-misplaced-hyphen"),
    ("email", "a.@b.c", BAD),
    ("email", ".a@b.c", BAD),
    ("email", "a..b@c.d", BAD),
    ("email", "a b@c.d", BAD),
    pytest.param("email", "a@b@c.d", BAD, id="email-two-at"),
    pytest.param("email", "a@b", BAD, id="email-domain-without-dot"),
    ("email", "a@-b.c", BAD),
    pytest.param("email", "@b.c", BAD, id="email-empty-local"),
    pytest.param("email", "a@", BAD, id="email-empty-domain"),
    pytest.param("email", "ab.c", BAD, id="email-no-at"),
    pytest.param("email", '"a"@b.c', BAD, id="email-quoted-local"),
    pytest.param("email", "a\\b@c.d", BAD, id="email-backslash"),
    pytest.param("email", "a\x7fb@c.d", BAD, id="email-del"),
    pytest.param("email", "a\tb@c.d", BAD, id="email-control"),
    pytest.param("email", "a@[192.0.2.1]", BAD, id="email-address-literal"),
    pytest.param("email", "x" * 65 + "@b.c", BAD, id="email-local-65"),
    pytest.param("email", "a@b_c.d", BAD, id="email-domain-underscore"),
    ("hostname", "a-.b", BAD),
    ("hostname", "-a.b", BAD),
    pytest.param("hostname", "a.b.", BAD, id="hostname-trailing-dot"),
    pytest.param("hostname", ".a.b", BAD, id="hostname-leading-dot"),
    ("hostname", "a_b.c", BAD),
    pytest.param("hostname", "caf\u00e9.com", BAD, id="hostname-non-ascii"),
    pytest.param("hostname", "a" * 64 + ".com", BAD, id="hostname-label-64"),
    pytest.param("hostname", HOST_253 + "b", BAD, id="hostname-254"),
    ("ipv4", "01.2.3.4", BAD),
    ("ipv4", "00.1.1.1", BAD),
    ("ipv4", "256.1.1.1", BAD),
    ("ipv4", "255.255.255.256", BAD),
    ("ipv4", "1.2.3", BAD),
    ("ipv4", "1.2.3.4.5", BAD),
    pytest.param("ipv4", "1.2.3.4 ", BAD, id="ipv4-trailing-blank"),
    ("ipv4", "+1.2.3.4", BAD),
    ("ipv4", "1..2.3", BAD),
    pytest.param("ipv4", "1.2.3.", BAD, id="ipv4-empty-last"),
    pytest.param("ipv4", "1000.1.1.1", BAD, id="ipv4-four-digits"),
    pytest.param("ipv4", "\u0661.2.3.4", BAD, id="ipv4-non-ascii-digit"),
    pytest.param("ipv6", ":", BAD, id="ipv6-single-colon"),
    ("ipv6", "1:2:3:4:5:6:7", BAD),
    ("ipv6", "1:2:3:4:5:6:7:8:9", BAD),
    pytest.param("ipv6", "1::2:3:4:5:6:7:8", BAD, id="ipv6-eight-groups-besides-gap"),
    ("ipv6", "1::2::3", BAD),
    pytest.param("ipv6", ":::", BAD, id="ipv6-three-colons"),
    pytest.param("ipv6", "::::", BAD, id="ipv6-two-gaps"),
    ("ipv6", ":1::", BAD),
    ("ipv6", "12345::", BAD),
    pytest.param("ipv6", "fe80::1%eth0", BAD, id="ipv6-zone-index"),
    pytest.param("ipv6", "1.2.3.4::", BAD, id="ipv6-ipv4-in-compressed-head"),
    pytest.param("ipv6", "::1.2.3.04", BAD, id="ipv6-ipv4-leading-zero"),
    pytest.param("ipv6", "1:2:3:4:5:6:7:1.2.3.4", BAD, id="ipv6-ipv4-makes-nine-groups"),
    pytest.param("ipv6", "1:2::3:", BAD, id="ipv6-trailing-colon"),
    # Every rule on a field gives its own issue, in the order written.
    ("both", "1.2.3.4", [Err("invalid_format", "both", "not a valid ipv6")]),
    ("both", "example.com", [Err("invalid_format", "both", "not a valid ipv4"),
                             Err("invalid_format", "both", "not a valid ipv6")]),
] + [pytest.param(name, "", BAD, id=f"{name}-empty") for name in FORMATS]


@pytest.fixture(scope="module")
def v():
    return validator(SCHEMA, "F")


@pytest.mark.parametrize("name, text, expected", TEXTS)
def test_formats(check, v, name, text, expected):
    if expected == OK:
        expected = {name: text}
    elif expected == BAD:
        expected = [Err("invalid_format", name, f"not a valid {name}")]
    check(v, {name: text}, expected)
