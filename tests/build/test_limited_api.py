"""The built modules import only what the 3.5 stable ABI offers."""

import pathlib
import re
import subprocess
import sysconfig

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
MODULES = ["kestrel", "buzzer"]


def imported_python_symbols(module):
    out = subprocess.run(["nm", "-D", "--undefined-only", str(module)],
                         check=True, capture_output=True, text=True).stdout
    names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
    return {name for name in names if re.match(r"_?Py", name)}


def limited_api_names():
    """Every identifier the headers declare when restricted to the 3.5 limited API."""
    source = "#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n"
    out = subprocess.run(
        ["cc", "-E", "-DPy_LIMITED_API=0x03050000", "-I" + sysconfig.get_paths()["include"], "-"],
        input=source, check=True, capture_output=True, text=True).stdout
    return set(re.findall(r"\b_?Py[A-Za-z0-9_]*\b", out))


@pytest.fixture(scope="module", params=MODULES)
def module(request):
    path = REPO / "build" / f"{request.param}.abi3.so"
    if not path.exists():
        pytest.fail(f"{path} is not built")
    return path


def test_every_imported_python_symbol_is_in_the_limited_api(module):
    imported = imported_python_symbols(module)
    assert imported, "the module imports no Python symbol at all: wrong file?"
    outside = sorted(imported - limited_api_names())
    assert outside == []


def test_a_symbol_outside_the_limited_api_would_be_caught():
    allowed = limited_api_names()
    assert "PyModuleDef_Init" in allowed
    assert "PyUnicode_AsUTF8" not in allowed  # full API only


def test_only_the_init_function_is_exported(module):
    out = subprocess.run(["nm", "-D", "--defined-only", str(module)],
                         check=True, capture_output=True, text=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert exported == {"PyInit_" + module.name.split(".")[0]}
