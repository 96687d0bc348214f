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
}
"""

FORMATS = ["uuid", "email", "hostname", "ipv4", "ipv6"]

LABEL_63 = "a" * 63
# Four labels joined by dots: 63 + 1 + 63 + 1 + 63 + 1 + 61 = 253 bytes.
HOST_253 = ".".join([LABEL_63, LABEL_63, LABEL_63, "b" * 61])

UUID = "a0b1c2d3-e4f5-a6b7-c8d9-e0f1a2b3c4d5"

ACCEPTED = [
    ("uuid", UUID),
    ("uuid", UUID.upper()),
    ("uuid", "A0b1C2d3-e4F5-a6b7-c8d9-E0F1a2b3c4d5"),
    pytest.param("uuid", "00000000-0000-0000-0000-000000000000", id="uuid-nil-version-ignored"),
    ("email", "a@b.c"),
    ("email", "a+b@c.d"),
    pytest.param("email", "a(b)@c.d", id="email-punctuation-in-local"),
    pytest.param("email", "x" * 64 + "@b.c", id="email-local-64"),
    pytest.param("email", "\u00e9t\u00e9@b.c", id="email-non-ascii-local"),
    ("hostname", "localhost"),
    ("hostname", "a-b.C0m"),
    pytest.param("hostname", "1.2.3.4", id="hostname-all-digit-labels"),
    pytest.param("hostname", LABEL_63 + ".com", id="hostname-label-63"),
    pytest.param("hostname", HOST_253, id="hostname-253"),
    ("ipv4", "192.168.0.1"),
    ("ipv4", "0.0.0.0"),
    ("ipv4", "255.255.255.255"),
    ("ipv6", "::"),
    ("ipv6", "::1"),
    ("ipv6", "1::"),
    ("ipv6", "2001:db8::8a2e:370:7334"),
    ("ipv6", "1:2:3:4:5:6:7:8"),
    ("ipv6", "::ffff:192.0.2.1"),
    ("ipv6", "1:2:3:4:5:6:192.0.2.1"),
    ("ipv6", "ABCD::ef01"),
    pytest.param("ipv6", "1:2:3:4:5:6:7::", id="ipv6-seven-groups-then-gap"),
    pytest.param("ipv6", "::2:3:4:5:6:7:8", id="ipv6-gap-then-seven-groups"),
]

REJECTED = [
    pytest.param("uuid", UUID.replace("-", ""), id="uuid-no-hyphens"),
    pytest.param("uuid", UUID + "-", id="uuid-trailing-hyphen"),
    pytest.param("uuid", UUID[:-1] + "g", id="uuid-non-hex"),
    pytest.param("uuid", "{" + UUID + "}", id="uuid-braces"),
    pytest.param("uuid", "urn:uuid:" + UUID, id="uuid-urn"),
    pytest.param("uuid", "a0b1c2d3e-4f5-a6b7-c8d9-e0f1a2b3c4d5", id="uuid-misplaced-hyphen"),
    ("email", "a.@b.c"),
    ("email", ".a@b.c"),
    ("email", "a..b@c.d"),
    ("email", "a b@c.d"),
    pytest.param("email", "a@b@c.d", id="email-two-at"),
    pytest.param("email", "a@b", id="email-domain-without-dot"),
    ("email", "a@-b.c"),
    pytest.param("email", "@b.c", id="email-empty-local"),
    pytest.param("email", "a@", id="email-empty-domain"),
    pytest.param("email", "ab.c", id="email-no-at"),
    pytest.param("email", '"a"@b.c', id="email-quoted-local"),
    pytest.param("email", "a\\b@c.d", id="email-backslash"),
    pytest.param("email", "a\x7fb@c.d", id="email-del"),
    pytest.param("email", "a\tb@c.d", id="email-control"),
    pytest.param("email", "a@[192.0.2.1]", id="email-address-literal"),
    pytest.param("email", "x" * 65 + "@b.c", id="email-local-65"),
    pytest.param("email", "a@b_c.d", id="email-domain-underscore"),
    ("hostname", "a-.b"),
    ("hostname", "-a.b"),
    pytest.param("hostname", "a.b.", id="hostname-trailing-dot"),
    pytest.param("hostname", ".a.b", id="hostname-leading-dot"),
    ("hostname", "a_b.c"),
    pytest.param("hostname", "caf\u00e9.com", id="hostname-non-ascii"),
    pytest.param("hostname", "a" * 64 + ".com", id="hostname-label-64"),
    pytest.param("hostname", HOST_253 + "b", id="hostname-254"),
    ("ipv4", "01.2.3.4"),
    ("ipv4", "00.1.1.1"),
    ("ipv4", "256.1.1.1"),
    ("ipv4", "255.255.255.256"),
    ("ipv4", "1.2.3"),
    ("ipv4", "1.2.3.4.5"),
    pytest.param("ipv4", "1.2.3.4 ", id="ipv4-trailing-blank"),
    ("ipv4", "+1.2.3.4"),
    ("ipv4", "1..2.3"),
    pytest.param("ipv4", "1.2.3.", id="ipv4-empty-last"),
    pytest.param("ipv4", "1000.1.1.1", id="ipv4-four-digits"),
    pytest.param("ipv4", "\u0661.2.3.4", id="ipv4-non-ascii-digit"),
    pytest.param("ipv6", ":", id="ipv6-single-colon"),
    ("ipv6", "1:2:3:4:5:6:7"),
    ("ipv6", "1:2:3:4:5:6:7:8:9"),
    pytest.param("ipv6", "1::2:3:4:5:6:7:8", id="ipv6-eight-groups-besides-gap"),
    ("ipv6", "1::2::3"),
    pytest.param("ipv6", ":::", id="ipv6-three-colons"),
    pytest.param("ipv6", "::::", id="ipv6-two-gaps"),
    ("ipv6", ":1::"),
    ("ipv6", "12345::"),
    pytest.param("ipv6", "fe80::1%eth0", id="ipv6-zone-index"),
    pytest.param("ipv6", "1.2.3.4::", id="ipv6-ipv4-in-compressed-head"),
    pytest.param("ipv6", "::1.2.3.04", id="ipv6-ipv4-leading-zero"),
    pytest.param("ipv6", "1:2:3:4:5:6:7:1.2.3.4", id="ipv6-ipv4-makes-nine-groups"),
    pytest.param("ipv6", "1:2::3:", id="ipv6-trailing-colon"),
] + [pytest.param(name, "", id=f"{name}-empty") for name in FORMATS]


@pytest.fixture(scope="module")
def v():
    return validator(SCHEMA, "F")


@pytest.mark.parametrize("name, text", ACCEPTED)
def test_accepted(check, v, name, text):
    check(v, {name: text}, {name: text})


@pytest.mark.parametrize("name, text", REJECTED)
def test_rejected(check, v, name, text):
    check(v, {name: text}, [Err("invalid_format", name, f"not a valid {name}")])


def test_every_format_rule_is_applied(check):
    # Two rules on one field: each failing rule gives its own issue, in the order written.
    v = validator("schema H { h: String @format(ipv4) @format(ipv6) }", "H")
    check(v, {"h": "1.2.3.4"}, [Err("invalid_format", "h", "not a valid ipv6")])
    check(
        v,
        {"h": "example.com"},
        [
            Err("invalid_format", "h", "not a valid ipv4"),
            Err("invalid_format", "h", "not a valid ipv6"),
        ],
    )
