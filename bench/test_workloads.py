"""The benchmark's workloads stay meaningful: vorn accepts what they call valid and rejects the
rest, and the generated peer types agree where the peers are installed. No timing here.
Run with `python -m pytest bench` (the suite in tests/ leaves the harness out)."""

import json
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
compare = pytest.importorskip("compare")
ab = pytest.importorskip("ab")

# The large key counts only feed the growth series; they add nothing to these checks. The A/B
# rows add late errors and records of many sizes.
ROWS = [w for w in compare.workloads(quick=True) if w.per <= 10_000 and not w.vorn_only]
ROWS += [w for w in ab.workloads() if w.name not in {r.name for r in ROWS}]


def test_tree_has_the_asked_size_and_stays_within_the_default_depth():
    def walk(node, depth):
        below = [walk(child, depth + 1) for child in node.get("contents", [])]
        return 1 + sum(n for n, _ in below), max([d for _, d in below], default=depth)

    for capacity in (1_000, 10_000):
        count, depth = walk(compare.make_tree(capacity), 1)
        assert count == capacity
        # Each level is an object inside an array: two steps of vorn's default depth of 64.
        assert 2 * depth < 64


def test_escaped_keys_decode_to_the_plain_payload_at_six_times_the_key_length():
    payload = compare.wide_payload(compare.key_names(20))
    text = compare.escaped_json(payload)
    assert json.loads(text) == payload
    assert len(text) == len(json.dumps(payload, separators=(",", ":"))) + 5 * sum(map(len, payload))


@pytest.mark.parametrize("w", ROWS, ids=lambda w: w.name)
def test_vorn_accepts_the_valid_and_rejects_the_invalid_payloads(w):
    validator = compare.Schema.parse(w.schema).validator(w.root, compare.Limits(**w.limits))
    valid, invalid = ([], w.payloads + w.bad) if w.rejected else (w.payloads, w.bad)
    for road in w.roads:
        for payload in compare.road_payloads(w, road, valid):
            validator(payload)
        for payload in compare.road_payloads(w, road, invalid):
            with pytest.raises(compare.ValidationError):
                validator(payload)


@pytest.mark.parametrize("w", ROWS, ids=lambda w: w.name)
def test_every_installed_peer_agrees(w, capsys):
    libraries = [lib for lib in compare.LIBRARIES if compare.installed(lib)]
    if len(libraries) == 2:  # vorn and json.loads: no peer installed
        pytest.skip("no peer installed (pip install .[bench])")
    assert compare.check([w], libraries) == 0, capsys.readouterr().out
