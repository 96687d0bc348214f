"""The engine builds on its own, without Python, and stays free of process-level I/O; the
engine-only benchmark builds beside it and reads the documents it is given."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.subprocess

FORBIDDEN = ("printf", "puts", "abort", "exit", "_ZSt4cout", "_ZSt4cerr", "_ZNSt8ios_base4Init")


@pytest.fixture(scope="module")
def engine_build(tmp_path_factory):
    if not (ROOT / "vorn-core" / "CMakeLists.txt").exists():
        pytest.skip("engine sources are not next to the tests")
    if shutil.which("cmake") is None or shutil.which("nm") is None:
        pytest.skip("needs cmake and nm")
    build = tmp_path_factory.mktemp("engine")
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DVORN_PYTHON=OFF", "-DVORN_BENCH=ON"]
    subprocess.run(configure, check=True, capture_output=True, timeout=300)
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "vorn_core", "engine_bench", "-j2"],
        check=True,
        capture_output=True,
        timeout=600,
    )
    return build


@pytest.fixture(scope="module")
def engine_library(engine_build):
    (library,) = engine_build.rglob("libvorn_core.a")
    return library


def test_engine_references_no_process_level_io(engine_library):
    undefined = subprocess.run(
        ["nm", "-u", "-j", str(engine_library)], check=True, capture_output=True, text=True
    ).stdout.split()
    assert not [s for s in undefined if s.startswith(FORBIDDEN)]
    assert not [s for s in undefined if s.startswith("Py")]


def test_engine_bench_times_each_document_and_marks_rejects(engine_build, tmp_path):
    for name, payload in (("good", b'{"n": [1, 2]}'), ("bad", b'{"n": [1, -2]}')):
        (tmp_path / f"{name}.json").write_bytes(payload)
        (tmp_path / f"{name}.schema").write_text("schema T { n: [u8] }")
        (tmp_path / f"{name}.meta").write_text("root T\nmax_items 5\n")
    (program,) = [p for p in engine_build.rglob("engine_bench") if p.is_file()]
    out = subprocess.run([str(program), str(tmp_path), "1"], check=True, capture_output=True, text=True)
    rows = {line.split()[0]: line for line in out.stdout.splitlines()[2:]}
    assert sorted(rows) == ["bad", "good"]
    assert rows["bad"].endswith("(rejected)")
    assert not rows["good"].endswith("(rejected)")
