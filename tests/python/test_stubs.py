"""The installed type stubs list every exported name of both modules with the parameter
names of the module's text signatures, and every enum variant in order; a program that passes
NumPy scalars and keeps asyncio.Futures, as the module allows at run time, type-checks and runs."""
from __future__ import annotations

import ast
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import kx_proto_sdk as kx
from kx_proto_sdk import eeg_cap

STUBS = Path(sysconfig.get_paths()["purelib"]) / "kx_proto_sdk-stubs"
USAGE = Path(__file__).parent / "support" / "stub_usage.py"
SLOTS = ("__aiter__", "__anext__", "__int__", "__eq__", "__ne__")  # their text signatures are placeholders


def stub_nodes(name: str) -> dict[str, ast.AST]:
    body = ast.parse((STUBS / name).read_text()).body
    kinds = (ast.ClassDef, ast.FunctionDef, ast.Assign)
    return {getattr(n, "name", "") or ast.unparse(n.targets[0]): n for n in body if isinstance(n, kinds)}


def params(obj: object) -> list[str] | None:
    if isinstance(obj, ast.FunctionDef):
        return [a.arg for a in obj.args.args if a.arg != "self"]
    text = getattr(obj, "__text_signature__", None)
    return None if text is None else [p.strip() for p in text.strip("()").split(",") if p.strip() not in ("", "$self")]


@pytest.mark.parametrize("module, stub_file", [(kx, "__init__.pyi"), (eeg_cap, "_eeg_cap.pyi")])
def test_every_exported_name_is_stubbed_with_its_parameters(module, stub_file):
    stubs, shared = stub_nodes(stub_file), stub_nodes("__init__.pyi")
    assert ast.literal_eval(stubs["__all__"].value) == module.__all__
    for name, obj in ((n, getattr(module, n)) for n in module.__all__ if n != "eeg_cap"):
        if not isinstance(obj, type):
            assert params(stubs[name]) == params(obj), name
            continue
        members = [n for c in [stubs[name]] + [shared[b.id] for b in stubs[name].bases] for n in c.body]
        methods = {n.name: n for n in members if isinstance(n, ast.FunctionDef)}
        assert params(methods.get("__init__")) == params(obj), name
        for attr, value in vars(obj).items():
            assert attr not in SLOTS or attr in methods, f"{name}.{attr}"
            if attr not in SLOTS and not attr.startswith("__") and params(value) is not None:
                assert params(methods.get(attr)) == params(value), f"{name}.{attr}"
        variants = [n.target.id for n in members if isinstance(n, ast.AnnAssign) and f"ClassVar[{name}]" in ast.unparse(n)]
        assert variants == [a for a, v in vars(obj).items() if isinstance(v, obj)], name


@pytest.mark.parametrize("command", [["-m", "mypy", "--strict", "--cache-dir", os.devnull, str(USAGE)], [str(USAGE)]],
                         ids=["type-checks", "runs"])
def test_numpy_scalars_and_futures_are_typed_as_the_runtime_takes_them(command):
    done = subprocess.run([sys.executable, *command], capture_output=True, text=True, timeout=60, cwd=USAGE.parent)
    assert done.returncode == 0, done.stdout + done.stderr
