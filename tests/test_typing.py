import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.source_only
def test_mypy_strict_passes_over_zelkit_examples_and_typed_usage(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path),
         str(ROOT / "python" / "zelkit"), str(ROOT / "examples"), str(ROOT / "tests" / "typed_usage.py")],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_native_stub_matches_the_extension_module(tmp_path):
    # stubtest imports zelkit._native and compares every name, parameter,
    # default and kind in _native.pyi with what the module reports.
    pytest.importorskip("mypy.stubtest")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zelkit._native",
         "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt")],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
