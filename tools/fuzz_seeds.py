"""Writes the fuzz seed corpora under fuzz/corpus/ from the literals in tests/.

Every string or bytes literal that parses as schema text seeds the schema targets; every one
that is JSON text, and every dict or list literal that JSON can carry, seeds the JSON targets.
Pairs join each schema with a few payloads. Run from anywhere with the package importable:
    PYTHONPATH=build/dev-NAME/pkg python tools/fuzz_seeds.py
"""

import ast
import hashlib
import json
import pathlib
import shutil

from vorn_schema import ParseError, Schema

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
MAX_SEED = 2048  # bytes; long seeds slow every mutation and the repository
PAYLOADS_PER_SCHEMA = 3
# First bytes of the engine targets: json_fuzz and pair_fuzz read the default limits from a
# byte below 0x80; validate_fuzz reads max_depth 63 and 10000 items from 0x7F.
JSON_PREFIX = b"\x00"
VALIDATE_PREFIX = b"\x7f"


def literals():
    for path in sorted((ROOT / "tests").glob("test_*.py")):
        tree = ast.parse(path.read_text())
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
                yield node.value
            elif isinstance(node, (ast.Dict, ast.List)):
                try:
                    value = ast.literal_eval(node)
                    yield json.dumps(value, ensure_ascii=False).encode()
                except (ValueError, TypeError, SyntaxError, RecursionError):
                    pass


def classify():
    """Schema texts (valid ones, and invalid ones for the error paths), valid schemas, JSON."""
    texts, schemas, payloads = set(), set(), set()
    for value in literals():
        data = value.encode("utf-8", "surrogatepass") if isinstance(value, str) else value
        if not data or len(data) > MAX_SEED:
            continue
        if b"schema " in data or b"union " in data:
            texts.add(data)
            try:
                Schema.parse(data.decode())
                schemas.add(data)
            except (ParseError, UnicodeDecodeError):
                pass
            continue
        try:
            json.loads(data)
            payloads.add(data)
        except ValueError:
            pass
    return sorted(texts), sorted(schemas), sorted(payloads)


def write(target, seeds):
    folder = CORPUS / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()[:16]).write_bytes(seed)


def main():
    texts, schemas, payloads = classify()
    write("schema", texts)
    write("json", [JSON_PREFIX + p for p in payloads])
    write("validate", [VALIDATE_PREFIX + p for p in payloads])
    pairs = []
    for i, schema in enumerate(schemas):
        for j in range(PAYLOADS_PER_SCHEMA):
            pairs.append(JSON_PREFIX + schema + b"\x00" + payloads[(i * 7 + j) % len(payloads)])
    write("pair", pairs)
    total = sum(f.stat().st_size for f in CORPUS.rglob("*") if f.is_file())
    print(f"{len(texts)} schema texts, {len(schemas)} valid, {len(payloads)} payloads, {len(pairs)} pairs, {total} bytes")


if __name__ == "__main__":
    main()
