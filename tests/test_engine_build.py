"""The engine builds on its own, without Python, and stays free of process-level I/O."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.subprocess

FORBIDDEN = ("printf", "puts", "abort", "exit", "_ZSt4cout", "_ZSt4cerr", "_ZNSt8ios_base4Init")


@pytest.fixture(scope="module")
def engine_library(tmp_path_factory):
    if not (ROOT / "vorn-core" / "CMakeLists.txt").exists():
        pytest.skip("engine sources are not next to the tests")
    if shutil.which("cmake") is None or shutil.which("nm") is None:
        pytest.skip("needs cmake and nm")
    build = tmp_path_factory.mktemp("engine")
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DVORN_PYTHON=OFF"]
    subprocess.run(configure, check=True, capture_output=True, timeout=300)
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "vorn_core", "-j2"],
        check=True,
        capture_output=True,
        timeout=600,
    )
    (library,) = build.rglob("libvorn_core.a")
    return library


def test_engine_references_no_process_level_io(engine_library):
    undefined = subprocess.run(
        ["nm", "-u", "-j", str(engine_library)], check=True, capture_output=True, text=True
    ).stdout.split()
    assert not [s for s in undefined if s.startswith(FORBIDDEN)]
    assert not [s for s in undefined if s.startswith("Py")]
