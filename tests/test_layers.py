"""The build's own rules: every source is in a list, and each core layer
includes only the layers it links (cmake/zel_sources.cmake)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "cmake" / "zel_sources.cmake"

pytestmark = pytest.mark.skipif(not SOURCES.exists(), reason="needs the source tree")


def cmake_lists() -> dict[str, list[str]]:
    text = re.sub(r"#[^\n]*", "", SOURCES.read_text())
    return {name: body.split() for name, body in re.findall(r"set\((\w+)([^)]*)\)", text)}


def layer_closure(lists: dict[str, list[str]]) -> dict[str, set[str]]:
    """Each layer with every layer it may reach, itself included."""
    layers = lists["ZEL_CORE_LAYERS"]
    reach: dict[str, set[str]] = {}
    for layer in layers:  # lowest first, so dependencies are already known
        reach[layer] = {layer}
        for dependency in lists.get(f"ZEL_{layer.upper()}_DEPENDS", []):
            # Names that are not layers are system libraries (liblz4, libzstd).
            reach[layer] |= reach.get(dependency, set())
    return reach


def test_every_source_file_is_in_a_list() -> None:
    lists = cmake_lists()
    listed = {item for items in lists.values() for item in items}
    files = {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*.cpp")}
    assert sorted(files - listed) == []
    assert sorted(item for item in listed if item.startswith("src/") and item not in files) == []
    tests = {p.stem for p in (ROOT / "tests" / "cpp").glob("*_test.cpp")}
    assert tests == set(lists["ZEL_CPP_TESTS"])
    targets = {p.stem for p in (ROOT / "fuzz" / "targets").glob("*.cpp")}
    assert targets == set(lists["ZEL_FUZZ_TARGETS"])


def test_core_layers_include_only_what_they_link() -> None:
    lists = cmake_lists()
    reach = layer_closure(lists)
    core = ROOT / "src" / "core"
    violations = []
    for layer in lists["ZEL_CORE_LAYERS"]:
        for path in sorted((core / layer).glob("*.[ch]pp")):
            for included in re.findall(r'#include "([^"]+)"', path.read_text()):
                target = included.split("/")[0]
                if "/" not in included or target not in reach[layer]:
                    violations.append(f"{path.relative_to(ROOT)} includes {included}")
    assert violations == []


def test_core_never_includes_python() -> None:
    offenders = [
        str(p.relative_to(ROOT))
        for p in (ROOT / "src" / "core").rglob("*.[ch]pp")
        if re.search(r"#include\s*[<\"]Python\.h[>\"]", p.read_text())
    ]
    assert offenders == []
