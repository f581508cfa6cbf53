import importlib
import subprocess
import sys
import textwrap

import pytest

import zel

FUNCTIONS = {
    "compress": "(events, width, height, time_bins, max_depth)",
    "compress_sequence": "(events, width, height, time_bins, max_depth, n_frames)",
    "load_nmnist": "(path)",
    "load_aedat2": "(path)",
    "load_csv": "(path)",
    "load_events": "(path)",
    "event_stats": "(events)",
}


def test_all_lists_classes_then_functions_in_table_order():
    assert zel.__all__ == ["Event", "CompressionResult", *FUNCTIONS]
    for name in zel.__all__:
        assert hasattr(zel, name)


def test_module_doc_is_empty_string():
    assert zel.__doc__ == ""


@pytest.mark.parametrize(("name", "signature"), FUNCTIONS.items())
def test_functions_are_builtins_bound_to_the_module(name, signature):
    function = getattr(zel, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__name__ == name
    assert function.__self__ is zel
    assert function.__module__ == "zel"


@pytest.mark.parametrize("cls", [zel.Event, zel.CompressionResult])
def test_classes_are_final_builtins_types(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_class_docs():
    assert zel.Event.__doc__ == ""
    assert zel.Event.__text_signature__ == "(x, y, t, p)"
    assert zel.CompressionResult.__doc__ is None


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("zel")
    try:
        second = importlib.import_module("zel")
        assert second is first
        assert second.Event is first.Event
    finally:
        sys.modules["zel"] = first


def test_second_interpreter_is_refused_without_crashing():
    # Run in a fresh process so the subinterpreter cannot disturb this one.
    script = textwrap.dedent(
        """
        import sys, zel, _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, f"import sys; sys.path[:] = {sys.path!r}; import zel")
        except Exception as error:
            print("refused:", error)
        else:
            print("imported")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "refused:" in done.stdout
    assert "ImportError" in done.stdout
    assert "sub-interpreters" in done.stdout
